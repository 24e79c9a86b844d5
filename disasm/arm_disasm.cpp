// The disassembler's frame: the state record, the text conventions every
// decoder follows, comments, the code/data markers, symbols, data words and
// the two entry points that pick a decoder from the dispatch tables.
#include "disasm/disasm_decoders.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// --- bounded strings ---------------------------------------------------------------------

size_t strlcpy_s(char* dst, const char* src, size_t size) {
    size_t n = strlen(src);
    if (size == 0) return n;
    size_t k = n < size - 1 ? n : size - 1;
    memcpy(dst, src, k);
    dst[k] = 0;
    return n;
}

size_t strlcat_s(char* dst, const char* src, size_t size) {
    size_t used = strnlen(dst, size);
    if (used >= size) return used + strlen(src);
    return used + strlcpy_s(dst + used, src, size - used);
}

// The decoders' formats use only %s, %c, %d, %u and %0Nx: those are written
// here directly (a line is built from a dozen of them, and vsnprintf's set-up
// cost dominates); any other format goes to vsnprintf.
static bool simple_format(const char* fmt) {
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '0') {
            ++p;
            if (*p < '1' || *p > '9') return false;
            ++p;
            if (*p != 'x') return false;
            continue;
        }
        if (*p != 's' && *p != 'c' && *p != 'd' && *p != 'u') return false;
    }
    return true;
}

void text_appendf(ARMSTATE* s, const char* fmt, ...) {
    const size_t cap = sizeof s->text;
    size_t used = strnlen(s->text, cap);
    if (used >= cap - 1) return;
    va_list ap;
    va_start(ap, fmt);
    if (!simple_format(fmt)) {
        vsnprintf(s->text + used, cap - used, fmt, ap);
        va_end(ap);
        return;
    }
    char* out = s->text;
    auto put = [&](char c) {
        if (used < cap - 1) out[used++] = c;
    };
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') {
            put(*p);
            continue;
        }
        char digits[16];
        int n = 0;
        switch (*++p) {
            case 's':
                for (const char* t = va_arg(ap, const char*); t && *t; ++t) put(*t);
                break;
            case 'c': put((char)va_arg(ap, int)); break;
            case 'd':
            case 'u': {
                uint32_t v;
                if (*p == 'd') {
                    int x = va_arg(ap, int);
                    if (x < 0) put('-');
                    v = x < 0 ? 0u - (uint32_t)x : (uint32_t)x;
                } else {
                    v = va_arg(ap, unsigned);
                }
                do digits[n++] = (char)('0' + v % 10), v /= 10;
                while (v);
                while (n) put(digits[--n]);
                break;
            }
            default: {  // %0Nx
                int width = p[1] - '0';
                p += 2;
                uint32_t v = va_arg(ap, unsigned);
                do digits[n++] = "0123456789abcdef"[v & 15], v >>= 4;
                while (v);
                while (n < width) digits[n++] = '0';
                while (n) put(digits[--n]);
                break;
            }
        }
    }
    out[used] = 0;
    va_end(ap);
}

// --- names -------------------------------------------------------------------------------------

const char* const conditions[14] = {"eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le"};
static const char* const registers[16] = {"r0", "r1", "r2", "r3", "r4", "r5", "r6",  "r7",
                                          "r8", "r9", "r10", "fp", "ip", "sp", "lr", "pc"};
static const char* const shifts[4] = {"lsl", "lsr", "asr", "ror"};

const char* register_name(int reg) { return reg >= 0 && reg < 16 ? registers[reg] : nullptr; }
const char* shift_type(int type) { return shifts[type & 3]; }

const char* special_register(int reg, int mask) {
    static const struct {
        int reg;
        const char* name;
    } names[] = {{0, "APSR"},  {1, "IAPSR"},     {2, "EAPSR"},         {3, "XPSR"},      {5, "IPSR"},
                 {6, "EPSR"},  {7, "IEPSR"},     {8, "MSP"},            {9, "PSP"},       {16, "PRIMASK"},
                 {17, "BASEPRI"}, {18, "BASEPRI_MAX"}, {19, "FAULTMASK"}, {20, "CONTROL"}};
    // The xPSR group's write mask picks the fields: the names are static, one per mask.
    static const char* const xpsr[4][4] = {{"APSR", "APSR_g", "APSR_nzcvq", "APSR_nzcvqg"},
                                           {"IAPSR", "IAPSR_g", "IAPSR_nzcvq", "IAPSR_nzcvqg"},
                                           {"EAPSR", "EAPSR_g", "EAPSR_nzcvq", "EAPSR_nzcvqg"},
                                           {"XPSR", "XPSR_g", "XPSR_nzcvq", "XPSR_nzcvqg"}};
    if (reg >= 0 && reg <= 3) {
        int k = mask == 12 ? 3 : mask == 8 ? 2 : mask == 4 ? 1 : 0;
        return xpsr[reg][k];
    }
    for (const auto& n : names)
        if (n.reg == reg) return n.name;
    return "?";
}

// --- text conventions ------------------------------------------------------------------------

void padinstr(ARMSTATE* s) {
    size_t n = strnlen(s->text, sizeof s->text);
    if (n >= 8) {
        strlcat_s(s->text, " ", sizeof s->text);
        return;
    }
    while (n < 8) s->text[n++] = ' ';
    s->text[n] = 0;
}

void add_condition(ARMSTATE* s, int cond) {
    if (cond >= 0 && cond < 14) strlcat_s(s->text, conditions[cond], sizeof s->text);
}

void add_it_cond(ARMSTATE* s, int add_s) {
    if (s->it_mask & 0x0F) {
        int cond = s->it_cond & 0x0F;
        // The slot's then/else bit against the first condition's lowest bit.
        if (((s->it_mask >> 4) & 1) != (cond & 1)) cond ^= 1;
        // "it al" runs its instructions always, and says so.
        if (cond == 14) strlcat_s(s->text, "al", sizeof s->text);
        else add_condition(s, cond);
    } else if (add_s) {
        strlcat_s(s->text, "s", sizeof s->text);
    }
}

int add_reglist(char* text, size_t text_sz, uint32_t mask) {
    int count = 0;
    bool first = true;
    strlcat_s(text, "{", text_sz);
    for (int r = 0; r < 16; ++r) {
        if (!(mask & (1u << r))) continue;
        int last = r;
        while (last + 1 < 16 && (mask & (1u << (last + 1)))) ++last;
        if (!first) strlcat_s(text, ", ", text_sz);
        first = false;
        strlcat_s(text, registers[r], text_sz);
        if (last - r >= 2) {
            strlcat_s(text, "-", text_sz);
            strlcat_s(text, registers[last], text_sz);
        } else if (last > r) {
            strlcat_s(text, ", ", text_sz);
            strlcat_s(text, registers[last], text_sz);
        }
        count += last - r + 1;
        r = last;
    }
    strlcat_s(text, "}", text_sz);
    return count;
}

void decode_imm_shift(char* out, size_t out_sz, int type, int amount) {
    if (out_sz == 0) return;
    out[0] = 0;
    type &= 3;
    if (type == 0 && amount == 0) return;
    if (type == 3 && amount == 0) {
        strlcpy_s(out, "rrx", out_sz);
        return;
    }
    if ((type == 1 || type == 2) && amount == 0) amount = 32;
    snprintf(out, out_sz, "%s #%d", shifts[type], amount);
}

uint32_t expand_mod_imm(int i, int imm3, int imm8) {
    uint32_t imm12 = ((uint32_t)(i & 1) << 11) | ((uint32_t)(imm3 & 7) << 8) | (uint32_t)(imm8 & 0xFF);
    uint32_t b = imm12 & 0xFF;
    if ((imm12 & 0xC00) == 0) {
        switch ((imm12 >> 8) & 3) {
            case 0: return b;
            case 1: return b | (b << 16);
            case 2: return (b << 8) | (b << 24);
            default: return b | (b << 8) | (b << 16) | (b << 24);
        }
    }
    uint32_t v = 0x80 | (imm12 & 0x7F), rot = (imm12 >> 7) & 0x1F;
    return (v >> rot) | (v << ((32 - rot) & 31));
}

bool thumb_is_32bit(uint16_t hw) {
    uint16_t top = hw >> 11;
    return top == 0x1D || top == 0x1E || top == 0x1F;
}

// --- comments ------------------------------------------------------------------------------------

void append_comment(ARMSTATE* s, const char* sep, const char* text) {
    if (!s->add_cmt || !text) return;
    if (!sep) sep = "; ";
    // The prefix columns are inserted later and take their room from the line.
    size_t width = sizeof s->text - 12 * (s->add_addr ? 1 : 0) - 12 * (s->add_bin ? 1 : 0);
    size_t used = strnlen(s->text, sizeof s->text);
    size_t pad = used + 2 < 24 ? 24 - used : 2;
    size_t need = used + pad + strlen(sep) + strlen(text);
    char line[sizeof s->text];
    strlcpy_s(line, s->text, sizeof line);
    for (size_t k = 0; k < pad && used + k < sizeof line - 1; ++k) line[used + k] = ' ', line[used + k + 1] = 0;
    strlcat_s(line, sep, sizeof line);
    if (need < width) {
        strlcat_s(line, text, sizeof line);
    } else {
        // Cut the comment so that " ..." still fits; nothing when even that does not.
        size_t head = strnlen(line, sizeof line);
        if (head + 4 >= width) return;
        size_t room = width - 1 - head - 4;
        size_t k = strnlen(line, sizeof line);
        for (size_t i = 0; i < room && text[i]; ++i) line[k++] = text[i];
        line[k] = 0;
        strlcat_s(line, " ...", sizeof line);
    }
    strlcpy_s(s->text, line, sizeof s->text);
}

void append_comment_hex(ARMSTATE* s, uint32_t value) {
    if (value <= 9) return;
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", value);
    append_comment(s, nullptr, buf);
}

void append_comment_symbol(ARMSTATE* s, uint32_t addr) {
    int k = get_symbol(s, addr);
    if (k >= 0 && s->symbols[k].name && s->symbols[k].name[0]) append_comment(s, nullptr, s->symbols[k].name);
}

// --- markers and symbols ------------------------------------------------------------------------

// Index of the first marker whose address is not below addr.
static int pool_lower_bound(const ARMSTATE* s, uint32_t addr) {
    const ARMPOOL* first = s->codepool;
    return (int)(std::lower_bound(first, first + s->poolcount, addr,
                                  [](const ARMPOOL& m, uint32_t v) { return m.address < v; }) - first);
}

// Doubles an array (from `first` entries); false, the array kept, when memory runs out.
static bool grow(void** array, int* capacity, size_t entry, int first) {
    int want = *capacity ? 2 * *capacity : first;
    void* p = realloc(*array, (size_t)want * entry);
    if (!p) return false;
    *array = p;
    *capacity = want;
    return true;
}

// Markers set from the ELF's mapping symbols: they are the image's own word,
// so guesses made while decoding never go inside their ranges.
enum : uint16_t { MARK_FROM_ELF = 0x100 };

static int covering_marker(const ARMSTATE* s, uint32_t addr) {
    for (int k = pool_lower_bound(s, addr + 1) - 1; k >= 0; --k) {
        const ARMPOOL& m = s->codepool[k];
        if (m.size == 0 || addr - m.address < m.size) return k;
    }
    return -1;
}

static void insert_marker(ARMSTATE* s, uint32_t addr, int type, int size) {
    int k = pool_lower_bound(s, addr);
    if (k < s->poolcount && s->codepool[k].address == addr) return;
    if (s->poolcount >= s->poolsize && !grow((void**)&s->codepool, &s->poolsize, sizeof(ARMPOOL), 16)) return;
    memmove(&s->codepool[k + 1], &s->codepool[k], (size_t)(s->poolcount - k) * sizeof(ARMPOOL));
    s->codepool[k] = ARMPOOL{addr, (uint16_t)size, (uint16_t)type};
    ++s->poolcount;
}

void mark_address_type(ARMSTATE* s, uint32_t addr, int type, int size) {
    int k = covering_marker(s, addr);
    if (k >= 0 && (s->codepool[k].type & MARK_FROM_ELF)) return;
    insert_marker(s, addr, type, size);
}

int lookup_address_type(const ARMSTATE* s, uint32_t addr) {
    int k = covering_marker(s, addr);
    return k < 0 ? DISASM_CODE : (s->codepool[k].type & 1);
}

// Index of the first symbol whose address is not below addr.
static int symbol_lower_bound(const ARMSTATE* s, uint32_t addr) {
    const ARMSYMBOL* first = s->symbols;
    return (int)(std::lower_bound(first, first + s->symbolcount, addr,
                                  [](const ARMSYMBOL& a, uint32_t v) { return a.address < v; }) - first);
}

int get_symbol(const ARMSTATE* s, uint32_t addr) {
    int k = symbol_lower_bound(s, addr);
    return k < s->symbolcount && s->symbols[k].address == addr ? k : -1;
}

void mark_literal(ARMSTATE* s, uint32_t addr) {
    s->ldr_addr = addr;
    mark_address_type(s, addr, DISASM_DATA, 4);
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", addr);
    append_comment(s, nullptr, buf);
}

void add_branch_target(ARMSTATE* s, uint32_t target, bool cmt_symbol) {
    mark_address_type(s, target, DISASM_CODE, 0);
    text_appendf(s, "0x%07x", target);
    if (cmt_symbol) append_comment_symbol(s, target);
}

// --- the record ------------------------------------------------------------------------------------

void disasm_init(ARMSTATE* s, int flags) {
    if (!s) return;
    memset(s, 0, sizeof *s);
    s->ldr_addr = 0xFFFFFFFF;
    s->add_addr = (flags & DISASM_ADD_ADDR) ? 1 : 0;
    s->add_bin = (flags & DISASM_ADD_BIN) ? 1 : 0;
    s->add_cmt = (flags & DISASM_ADD_CMT) ? 1 : 0;
}

void disasm_cleanup(ARMSTATE* s) {
    if (!s) return;
    for (int i = 0; i < s->symbolcount; ++i) free(s->symbols[i].name);
    free(s->symbols);
    for (int i = 0; i < s->literals_count; ++i) free(s->literals[i].block);
    free(s->literals);
    free(s->codepool);
    memset(s, 0, sizeof *s);
    s->ldr_addr = 0xFFFFFFFF;
}

void disasm_address(ARMSTATE* s, uint32_t addr) {
    if (!s) return;
    s->address = addr;
    s->size = 0;
    mark_address_type(s, addr, DISASM_CODE, 0);
}

void disasm_clear_codepool(ARMSTATE* s) {
    if (s) s->poolcount = 0;
}

// "$d", "$d.foo", "$t", "$a": the ELF's own word on what a range holds.
static int mapping_symbol_type(const char* name) {
    if (!name || name[0] != '$' || !name[1] || (name[2] && name[2] != '.')) return -1;
    if (name[1] == 'd') return DISASM_DATA;
    if (name[1] == 't' || name[1] == 'a') return DISASM_CODE;
    return -1;
}

void disasm_symbol(ARMSTATE* s, const char* name, uint32_t addr, int mode) {
    if (!s) return;
    int map = mapping_symbol_type(name);
    if (map >= 0) {
        // A mapping symbol outranks a guess made earlier at the same address.
        int k = pool_lower_bound(s, addr);
        uint16_t type = (uint16_t)(map | MARK_FROM_ELF);
        if (k < s->poolcount && s->codepool[k].address == addr) s->codepool[k] = ARMPOOL{addr, 0, type};
        else insert_marker(s, addr, type, 0);
        return;
    }
    if (mode == 1 || mode == 2) mark_address_type(s, addr, DISASM_CODE, 0);
    int k = get_symbol(s, addr);
    if (k >= 0) {
        if (!s->symbols[k].name && name) s->symbols[k].name = strdup(name);
        return;
    }
    if (s->symbolcount >= s->symbolsize && !grow((void**)&s->symbols, &s->symbolsize, sizeof(ARMSYMBOL), 8)) return;
    int lo = symbol_lower_bound(s, addr);
    char* copy = name ? strdup(name) : nullptr;
    if (name && !copy) return;
    memmove(&s->symbols[lo + 1], &s->symbols[lo], (size_t)(s->symbolcount - lo) * sizeof(ARMSYMBOL));
    s->symbols[lo] = ARMSYMBOL{copy, addr, mode};
    ++s->symbolcount;
}

// --- decoding ---------------------------------------------------------------------------------------

static void put_hex(char* out, uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i, v >>= 4) out[i] = "0123456789abcdef"[v & 15];
}

static void add_insert_prefix(ARMSTATE* s, uint32_t code, int len) {
    if (!s->add_addr && !s->add_bin) return;
    // Each column 12 characters: "%08x    ", or the opcode as "%08x    "
    // (ARM), "%04x        " (16-bit Thumb), "%04x %04x   " (32-bit Thumb).
    char prefix[25];
    int n = 0;
    if (s->add_addr) {
        memset(prefix + n, ' ', 12);
        put_hex(prefix + n, s->address, 8);
        n += 12;
    }
    if (s->add_bin) {
        memset(prefix + n, ' ', 12);
        if (s->arm_mode) put_hex(prefix + n, code, 8);
        else if (len == 2) put_hex(prefix + n, code & 0xFFFF, 4);
        else put_hex(prefix + n, code >> 16, 4), put_hex(prefix + n + 5, code & 0xFFFF, 4);
        n += 12;
    }
    size_t used = strnlen(s->text, sizeof s->text);
    if ((size_t)n + used > sizeof s->text - 1) used = sizeof s->text - 1 - (size_t)n;
    memmove(s->text + n, s->text, used);
    memcpy(s->text, prefix, (size_t)n);
    s->text[n + used] = 0;
}

// A data word (4 bytes) or halfword (2) as ".word"/".hword", with the
// symbol it points at or its characters as comment.
static void dump_word(ARMSTATE* s, uint32_t value, int len) {
    s->text[0] = 0;
    s->size = (uint16_t)len;
    if (len == 4) {
        text_appendf(s, ".word");
        padinstr(s);
        text_appendf(s, "0x%08x", value);
        int k = get_symbol(s, value);
        if (k < 0) k = get_symbol(s, value & ~1u);
        if (k >= 0 && s->symbols[k].name && s->symbols[k].name[0]) {
            append_comment(s, nullptr, s->symbols[k].name);
        } else {
            char chars[24] = "\"";
            bool printable = true;
            for (int i = 0; i < 4 && printable; ++i) {
                uint8_t c = (uint8_t)(value >> (8 * i));
                const char* esc = c == 0 ? "\\0" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
                char one[2] = {(char)c, 0};
                if (esc) strlcat_s(chars, esc, sizeof chars);
                else if (c >= 0x20 && c < 0x7F) strlcat_s(chars, one, sizeof chars);
                else printable = false;
            }
            strlcat_s(chars, "\"", sizeof chars);
            if (printable) append_comment(s, nullptr, chars);
        }
    } else {
        text_appendf(s, ".hword");
        padinstr(s);
        text_appendf(s, "0x%04x", value & 0xFFFF);
    }
    add_insert_prefix(s, value, len);
}

bool disasm_thumb(ARMSTATE* s, uint16_t hw, uint16_t hw2) {
    if (!s) return false;
    s->address += s->size;
    s->arm_mode = 0;
    s->ldr_addr = 0xFFFFFFFF;
    s->size = 0;
    s->text[0] = 0;
    uint32_t word = ((uint32_t)hw2 << 16) | hw;
    if (lookup_address_type(s, s->address) == DISASM_DATA) {
        dump_word(s, word, 4);
        return true;
    }
    bool wide = thumb_is_32bit(hw);
    uint32_t insn = wide ? ((uint32_t)hw << 16) | hw2 : hw;
    bool ok = false;
    for (const ENCODEMASK16& row : thumb_table) {
        if ((hw & row.mask) != row.match) continue;
        ok = row.func(s, insn);
        break;
    }
    if (ok) {
        if (s->size != 2 && s->size != 4) s->size = wide ? 4 : 2;
        add_insert_prefix(s, insn, s->size);
    } else {
        // A value that does not decode still takes its slot of an IT block:
        // the instructions after it keep their conditions. An IT refused
        // itself opens no block.
        if (s->it_mask & 0x20) s->it_mask = 0;
        if (wide) dump_word(s, word, 4);
        else dump_word(s, hw, 2);
    }
    if (s->it_mask & 0x20) {
        s->it_mask &= ~0x20;
    } else {
        s->it_mask = (uint16_t)((s->it_mask << 1) & 0x1F);
        if ((s->it_mask & 0x0F) == 0) s->it_mask = 0;
    }
    return ok;
}

bool disasm_arm(ARMSTATE* s, uint32_t w) {
    if (!s) return false;
    s->address += s->size;
    s->size = 4;
    s->arm_mode = 1;
    s->it_mask = 0;
    s->ldr_addr = 0xFFFFFFFF;
    s->text[0] = 0;
    if (lookup_address_type(s, s->address) == DISASM_DATA) {
        dump_word(s, w, 4);
        return true;
    }
    for (int i = 0; i < (int)(sizeof arm_table / sizeof arm_table[0]); ++i) {
        const ENCODEMASK32& row = arm_table[i];
        if ((w & row.mask) != row.match) continue;
        s->text[0] = 0;
        if (row.func(s, w)) {
            s->size = 4;
            add_insert_prefix(s, w, 4);
            return true;
        }
        if (i != 0) break;
    }
    s->size = 4;
    dump_word(s, w, 4);
    return false;
}

const char* disasm_result(ARMSTATE* s, int* size) {
    if (!s) {
        if (size) *size = 0;
        return "";
    }
    if (size) *size = s->size;
    return s->text;
}

// --- dispatch tables ----------------------------------------------------------------------------------

const ENCODEMASK16 thumb_table[49] = {
    {0xF800, 0x0000, thumb_lsl},           {0xF800, 0x0800, thumb_lsr},
    {0xF800, 0x1000, thumb_asr},           {0xFC00, 0x1800, thumb_addsub_reg},
    {0xFC00, 0x1C00, thumb_addsub_imm},    {0xE000, 0x2000, thumb_immop},
    {0xFC00, 0x4000, thumb_regop},         {0xFF00, 0x4400, thumb_regop_hi},
    {0xFF00, 0x4500, thumb_regop_hi},      {0xFF00, 0x4600, thumb_regop_hi},
    {0xFF00, 0x4700, thumb_branch_exch},   {0xF800, 0x4800, thumb_load_lit},
    {0xF000, 0x5000, thumb_loadstor_reg},  {0xE000, 0x6000, thumb_loadstor_imm},
    {0xF000, 0x8000, thumb_loadstor_hw},   {0xF000, 0x9000, thumb_loadstor_stk},
    {0xF000, 0xA000, thumb_add_sp_pc_imm}, {0xFF00, 0xB000, thumb_adj_sp},
    {0xFF00, 0xB200, thumb_sign_ext},      {0xF500, 0xB100, thumb_cmp_branch},
    {0xFE00, 0xB400, thumb_push},          {0xFE00, 0xBC00, thumb_pop},
    {0xFFB0, 0xB610, thumb_endian},        {0xFFE8, 0xB660, thumb_cpu_state},
    {0xFF00, 0xBA00, thumb_reverse},       {0xFF00, 0xBE00, thumb_break},
    {0xFF00, 0xBF00, thumb_if_then},       {0xF000, 0xC000, thumb_loadstor_mul},
    {0xFE00, 0xD000, thumb_condbranch},    {0xFE00, 0xD200, thumb_condbranch},
    {0xFE00, 0xD400, thumb_condbranch},    {0xFE00, 0xD600, thumb_condbranch},
    {0xFE00, 0xD800, thumb_condbranch},    {0xFE00, 0xDA00, thumb_condbranch},
    {0xFE00, 0xDC00, thumb_condbranch},    {0xFE00, 0xDE00, thumb_service},
    {0xF800, 0xE000, thumb_branch},        {0xFE00, 0xEA00, thumb2_constshift},
    {0xFF80, 0xFA00, thumb2_regshift_sx},  {0xFF80, 0xFA80, thumb2_simd_misc},
    {0xFF80, 0xFB00, thumb2_mult32_acc},   {0xFF80, 0xFB80, thumb2_mult64_acc},
    {0xF800, 0xF000, thumb2_imm_br_misc},  {0xFE00, 0xF800, thumb2_loadstor},
    {0xFE40, 0xE840, thumb2_loadstor2},    {0xFE40, 0xE800, thumb2_loadstor_mul},
    {0xEE00, 0xEC00, thumb2_co_loadstor},  {0xEF10, 0xEE00, thumb2_co_dataproc},
    {0xEF10, 0xEE10, thumb2_co_trans},
};

const ENCODEMASK32 arm_table[14] = {
    {0xF0000000, 0xF0000000, arm_unconditional}, {0x0E000010, 0x00000000, arm_dataproc_imsh},
    {0x0E000090, 0x00000010, arm_dataproc_rxsh}, {0x0E000090, 0x00000090, arm_mult_loadstor},
    {0x0E000000, 0x02000000, arm_dataproc_imm},  {0x0E000000, 0x04000000, arm_loadstor_imm},
    {0x0E000010, 0x06000000, arm_loadstor_reg},  {0x0E000010, 0x06000010, arm_media},
    {0x0E000000, 0x08000000, arm_loadstor_mult}, {0x0E000000, 0x0A000000, arm_branch},
    {0x0E000000, 0x0C000000, arm_co_loadstor},   {0x0F000010, 0x0E000000, arm_co_dataproc},
    {0x0F000010, 0x0E000010, arm_co_trans},      {0x0F000000, 0x0F000000, arm_softintr},
};
