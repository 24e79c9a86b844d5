#include "app/value_parse.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

static bool fail(char* err, size_t cap, const char* fmt, const char* a, long long lo = 0, unsigned long long hi = 0) {
    if (err && cap) std::snprintf(err, cap, fmt, a, lo, hi);
    return false;
}

// An integer literal: sign, 0x / 0b / leading-0 octal / decimal digits, C's
// u and l suffixes. neg and mag give its value; based: written in a base
// other than ten (then a signed type takes the bit pattern).
static bool parse_int(const char* s, bool* neg, uint64_t* mag, bool* based) {
    *neg = false;
    if (*s == '-' || *s == '+') *neg = *s++ == '-';
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, s += 2;
    else if (s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) base = 2, s += 2;
    else if (s[0] == '0' && s[1]) base = 8, s += 1;
    *based = base != 10;
    if (!*s) return false;
    uint64_t v = 0;
    const char* p = s;
    for (; *p; ++p) {
        int c = std::tolower((unsigned char)*p), d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else break;
        if (d >= base) return false;
        if (v > (UINT64_MAX - (uint64_t)d) / (uint64_t)base) return false;  // past 64 bits
        v = v * (uint64_t)base + (uint64_t)d;
    }
    if (p == s) return false;
    while (*p == 'u' || *p == 'U' || *p == 'l' || *p == 'L') ++p;
    *mag = v;
    return *p == 0;
}

// A character literal: 'c', '\n' and the other simple escapes, '\101', '\x41'.
static bool parse_char(const char* s, uint64_t* v) {
    size_t n = std::strlen(s);
    if (n < 3 || s[0] != '\'' || s[n - 1] != '\'') return false;
    std::string_view body(s + 1, n - 2);
    if (body.size() == 1 && body[0] != '\\' && body[0] != '\'') return *v = (unsigned char)body[0], true;
    if (body.size() < 2 || body[0] != '\\') return false;
    static const char esc[] = "n\nt\tr\r0\0a\ab\bf\fv\v\\\\''\"\"??";
    if (body.size() == 2)
        for (size_t k = 0; k + 1 < sizeof esc; k += 2)
            if (body[1] == esc[k]) return *v = (unsigned char)esc[k + 1], true;
    char digits[8] = {};
    if (body.size() - 1 >= sizeof digits) return false;
    std::memcpy(digits, body.data() + 1, body.size() - 1);
    bool hexa = digits[0] == 'x';
    char* end = nullptr;
    unsigned long c = std::strtoul(hexa ? digits + 1 : digits, &end, hexa ? 16 : 8);
    if (end == (hexa ? digits + 1 : digits) || *end || c > 0xFF) return false;
    *v = c;
    return true;
}

static void put(uint64_t v, uint32_t size, uint8_t* out) {
    for (uint32_t k = 0; k < size; ++k) out[k] = (uint8_t)(v >> (8 * k));
}

bool value_parse(const ValueType& t, const char* text, uint8_t* out, char* err, size_t cap) {
    char s[96];
    const char* a = text ? text : "";
    while (std::isspace((unsigned char)*a)) ++a;
    std::snprintf(s, sizeof s, "%s", a);
    for (size_t n = std::strlen(s); n && std::isspace((unsigned char)s[n - 1]);) s[--n] = 0;
    if (t.size < 1 || t.size > 8) return fail(err, cap, "%s: only values of 1 to 8 bytes are edited", s);
    if (!s[0]) return fail(err, cap, "%sno value typed", s);
    uint32_t bits = t.bits && t.bits < 8 * t.size ? t.bits : 8 * t.size;

    if (t.kind == VAR_VAL_FLOAT) {
        if (t.size != 4 && t.size != 8) return fail(err, cap, "%s: no float type of this size", s);
        char f[96];
        std::snprintf(f, sizeof f, "%s", s);
        size_t n = std::strlen(f);
        if (n > 1 && (f[n - 1] == 'f' || f[n - 1] == 'F') && !std::strchr(f, 'x') && !std::strchr(f, 'X')) f[n - 1] = 0;
        char* end = nullptr;
        errno = 0;
        double d = std::strtod(f, &end);
        if (end == f || *end) return fail(err, cap, "%s is no number", s);
        if (t.size == 4) {
            float x = (float)d;
            if (std::isinf(x) && !std::isinf(d)) return fail(err, cap, "%s is out of range for float", s);
            uint32_t w;
            std::memcpy(&w, &x, 4);
            put(w, 4, out);
        } else {
            if (errno == ERANGE && std::isinf(d)) return fail(err, cap, "%s is out of range for double", s);
            uint64_t w;
            std::memcpy(&w, &d, 8);
            put(w, 8, out);
        }
        return true;
    }
    if (t.kind == VAR_VAL_BOOL && (!std::strcmp(s, "true") || !std::strcmp(s, "false"))) {
        put(s[0] == 't', t.size, out);
        return true;
    }
    uint64_t v = 0;
    bool neg = false, based = false, have = false;
    if (s[0] == '\'') {
        if (!parse_char(s, &v)) return fail(err, cap, "%s is no character literal", s);
        have = true;
    } else if (t.kind == VAR_VAL_ENUM && (std::isalpha((unsigned char)s[0]) || s[0] == '_')) {
        int64_t e = 0;
        if (!t.enum_value || !t.enum_value(t.user, s, &e)) return fail(err, cap, "%s is no enumerator of this type", s);
        neg = e < 0;
        v = neg ? 0 - (uint64_t)e : (uint64_t)e;
        have = true;
    }
    if (!have && !parse_int(s, &neg, &v, &based)) return fail(err, cap, "%s is no literal of this type", s);

    bool is_signed = t.kind == VAR_VAL_SIGNED || ((t.kind == VAR_VAL_CHAR || t.kind == VAR_VAL_ENUM) && t.is_signed);
    uint64_t umax = bits == 64 ? UINT64_MAX : (1ull << bits) - 1;
    uint64_t smax = umax >> 1;
    if (t.kind == VAR_VAL_BOOL && (neg || v > 1)) return fail(err, cap, "%s: a bool takes true, false, 0 or 1", s);
    bool fits;
    if (neg) fits = is_signed && v <= smax + 1;
    // A signed type takes hex, binary and octal as the bits they spell (0xFF is -1 in a byte).
    else fits = v <= (is_signed && !based ? smax : umax);
    if (!fits) {
        if (is_signed)
            return fail(err, cap, "%s does not fit: %lld to %llu", s, bits == 64 ? INT64_MIN : -(long long)(smax + 1),
                        (unsigned long long)smax);
        return fail(err, cap, "%s does not fit: %lld to %llu", s, 0, (unsigned long long)umax);
    }
    put((neg ? 0 - v : v) & umax, t.size, out);
    return true;
}

void value_literal(const ValueType& t, uint64_t v, char* out, size_t cap,
                   bool (*enum_name)(const void* user, uint64_t v, char* out, size_t cap)) {
    uint32_t bits = t.bits && t.bits < 8 * t.size ? t.bits : 8 * (t.size ? t.size : 4);
    if (bits > 64) bits = 64;
    uint64_t mask = bits == 64 ? UINT64_MAX : (1ull << bits) - 1;
    v &= mask;
    int64_t sv = bits < 64 && (v >> (bits - 1) & 1) ? (int64_t)(v | ~mask) : (int64_t)v;
    switch (t.kind) {
    case VAR_VAL_SIGNED: std::snprintf(out, cap, "%" PRId64, sv); return;
    case VAR_VAL_BOOL: std::snprintf(out, cap, "%s", v ? "true" : "false"); return;
    case VAR_VAL_FLOAT:
        if (t.size == 4) {
            float f;
            uint32_t w = (uint32_t)v;
            std::memcpy(&f, &w, 4);
            std::snprintf(out, cap, "%.9g", (double)f);
        } else {
            double d;
            std::memcpy(&d, &v, 8);
            std::snprintf(out, cap, "%.17g", d);
        }
        return;
    case VAR_VAL_ENUM:
        if (enum_name && enum_name(t.user, v, out, cap)) return;
        std::snprintf(out, cap, "%" PRId64, t.is_signed ? sv : (int64_t)v);
        return;
    case VAR_VAL_CHAR: std::snprintf(out, cap, "%" PRId64, t.is_signed ? sv : (int64_t)v); return;
    case VAR_VAL_POINTER: std::snprintf(out, cap, "0x%08" PRIX64, v); return;
    default: std::snprintf(out, cap, "%" PRIu64, v); return;
    }
}
