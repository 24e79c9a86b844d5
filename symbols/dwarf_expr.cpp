// A small stack machine for the DWARF expressions gcc writes for optimised
// locals: address-sized (32-bit) values, as the target's generic type.
#include "symbols/dwarf_expr.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

enum : uint8_t {
    OP_addr = 0x03, OP_deref = 0x06, OP_const1u = 0x08, OP_const1s = 0x09, OP_const2u = 0x0A, OP_const2s = 0x0B,
    OP_const4u = 0x0C, OP_const4s = 0x0D, OP_const8u = 0x0E, OP_const8s = 0x0F, OP_constu = 0x10, OP_consts = 0x11,
    OP_dup = 0x12, OP_drop = 0x13, OP_over = 0x14, OP_pick = 0x15, OP_swap = 0x16, OP_rot = 0x17, OP_abs = 0x19,
    OP_and = 0x1A, OP_div = 0x1B, OP_minus = 0x1C, OP_mod = 0x1D, OP_mul = 0x1E, OP_neg = 0x1F, OP_not = 0x20,
    OP_or = 0x21, OP_plus = 0x22, OP_plus_uconst = 0x23, OP_shl = 0x24, OP_shr = 0x25, OP_shra = 0x26,
    OP_xor = 0x27, OP_eq = 0x29, OP_ge = 0x2A, OP_gt = 0x2B, OP_le = 0x2C, OP_lt = 0x2D, OP_ne = 0x2E,
    OP_lit0 = 0x30, OP_lit31 = 0x4F, OP_reg0 = 0x50, OP_reg31 = 0x6F, OP_breg0 = 0x70, OP_breg31 = 0x8F,
    OP_regx = 0x90, OP_fbreg = 0x91, OP_bregx = 0x92, OP_piece = 0x93, OP_deref_size = 0x94, OP_nop = 0x96,
    OP_call_frame_cfa = 0x9C, OP_implicit_value = 0x9E, OP_stack_value = 0x9F,
};

constexpr int kDepth = 16;

struct Reader {
    const uint8_t* p;
    uint32_t len, pos;
    bool ok = true;
    uint64_t le(uint32_t n) {
        if (len - pos < n) return ok = false, 0;
        uint64_t v = 0;
        for (uint32_t i = 0; i < n; ++i) v |= (uint64_t)p[pos + i] << (8 * i);
        pos += n;
        return v;
    }
    uint64_t uleb() {
        uint64_t v = 0;
        for (int shift = 0; pos < len; shift += 7) {
            uint8_t b = p[pos++];
            if (shift < 64) v |= (uint64_t)(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        return ok = false, 0;
    }
    int64_t sleb() {
        int64_t v = 0;
        for (int shift = 0; pos < len; shift += 7) {
            uint8_t b = p[pos++];
            if (shift < 64) v |= (int64_t)((uint64_t)(b & 0x7F) << shift);
            if (!(b & 0x80)) {
                if (shift + 7 < 64 && (b & 0x40)) v = (int64_t)((uint64_t)v | (~0ull << (shift + 7)));
                return v;
            }
        }
        return ok = false, 0;
    }
};

}  // namespace

bool dwarf_expr_eval(const uint8_t* expr, uint32_t len, const DwarfExprEnv* env, uint32_t size, uint64_t* value) {
    if (!expr || !env || !value || len == 0 || size < 1 || size > 8) return false;
    uint32_t st[kDepth];
    int n = 0;
    uint8_t out[8] = {};
    uint32_t filled = 0;
    bool pieces = false;
    // What the next piece (or the end) takes: the top of the stack as an
    // address, a register, the top as a value, or bytes of the expression.
    enum { SRC_MEM, SRC_REG, SRC_VALUE, SRC_IMPLICIT } src = SRC_MEM;
    uint32_t reg = 0;
    const uint8_t* implicit = nullptr;
    uint32_t implicit_len = 0;
    auto reg_value = [&](uint64_t r, uint32_t* v) {
        if (r > 15) return false;
        *v = env->regs ? env->regs[r] : 0;
        return true;
    };
    auto read = [&](uint32_t addr, uint8_t* b, uint32_t count) {
        if (!env->regs) return memset(b, 0, count), true;
        return env->read && env->read(env->user, addr, b, count);
    };
    auto push = [&](uint32_t v) { return n < kDepth ? (st[n++] = v, true) : false; };
    // The bytes of the current source, `count` of them, into out.
    auto take = [&](uint32_t count) {
        if (count == 0 || count > 8 - filled) return false;
        uint8_t b[8] = {};
        uint32_t v = 0;
        switch (src) {
        case SRC_REG:
            if (count > 4 || !reg_value(reg, &v)) return false;
            break;
        case SRC_VALUE:
            if (n < 1) return false;
            v = st[--n];
            break;
        case SRC_IMPLICIT:
            if (count > implicit_len) return false;
            memcpy(b, implicit, count);
            break;
        case SRC_MEM:
            if (n < 1 || !read(st[--n], b, count)) return false;
            break;
        }
        if (src == SRC_REG || src == SRC_VALUE)
            for (uint32_t k = 0; k < count && k < 4; ++k) b[k] = (uint8_t)(v >> (8 * k));
        memcpy(out + filled, b, count);
        filled += count;
        src = SRC_MEM;
        return true;
    };
    Reader r{expr, len, 0};
    while (r.pos < len) {
        uint8_t op = expr[r.pos++];
        // A register, a value or implicit bytes end the expression or their piece.
        if (src != SRC_MEM && op != OP_piece) return false;
        uint32_t a = 0, b = 0, v = 0;
        bool two = op == OP_and || op == OP_div || op == OP_minus || op == OP_mod || op == OP_mul || op == OP_or ||
                   op == OP_plus || op == OP_shl || op == OP_shr || op == OP_shra || op == OP_xor ||
                   (op >= OP_eq && op <= OP_ne);
        if (two) {
            if (n < 2) return false;
            b = st[--n], a = st[--n];
        }
        if (op >= OP_lit0 && op <= OP_lit31) {
            if (!push(op - OP_lit0)) return false;
        } else if (op >= OP_reg0 && op <= OP_reg31) {
            src = SRC_REG, reg = op - OP_reg0;
        } else if (op >= OP_breg0 && op <= OP_breg31) {
            int64_t k = r.sleb();
            if (!r.ok || !reg_value(op - OP_breg0, &v) || !push(v + (uint32_t)k)) return false;
        } else {
            switch (op) {
            case OP_addr: v = (uint32_t)r.le(4); if (!r.ok || !push(v)) return false; break;
            case OP_const1u: case OP_const1s: case OP_const2u: case OP_const2s: case OP_const4u: case OP_const4s:
            case OP_const8u: case OP_const8s: {
                uint32_t bytes = 1u << ((op - OP_const1u) / 2);
                uint64_t x = r.le(bytes);
                bool sign = (op - OP_const1u) % 2 == 1;
                if (sign && bytes < 8 && (x >> (8 * bytes - 1)) & 1) x |= ~0ull << (8 * bytes);
                if (!r.ok || !push((uint32_t)x)) return false;
                break;
            }
            case OP_constu: v = (uint32_t)r.uleb(); if (!r.ok || !push(v)) return false; break;
            case OP_consts: v = (uint32_t)r.sleb(); if (!r.ok || !push(v)) return false; break;
            case OP_dup: if (n < 1 || !push(st[n - 1])) return false; break;
            case OP_drop: if (n < 1) return false; --n; break;
            case OP_over: if (n < 2 || !push(st[n - 2])) return false; break;
            case OP_pick: {
                uint32_t i = (uint32_t)r.le(1);
                if (!r.ok || i >= (uint32_t)n || !push(st[n - 1 - i])) return false;
                break;
            }
            case OP_swap: if (n < 2) return false; std::swap(st[n - 1], st[n - 2]); break;
            case OP_rot:  // the top moves under the next two
                if (n < 3) return false;
                v = st[n - 1], st[n - 1] = st[n - 2], st[n - 2] = st[n - 3], st[n - 3] = v;
                break;
            case OP_abs: if (n < 1) return false; if ((int32_t)st[n - 1] < 0) st[n - 1] = 0u - st[n - 1]; break;
            case OP_neg: if (n < 1) return false; st[n - 1] = 0u - st[n - 1]; break;
            case OP_not: if (n < 1) return false; st[n - 1] = ~st[n - 1]; break;
            case OP_plus_uconst: {
                uint64_t k = r.uleb();
                if (!r.ok || n < 1) return false;
                st[n - 1] += (uint32_t)k;
                break;
            }
            case OP_and: push(a & b); break;
            case OP_or: push(a | b); break;
            case OP_xor: push(a ^ b); break;
            case OP_plus: push(a + b); break;
            case OP_minus: push(a - b); break;
            case OP_mul: push(a * b); break;
            case OP_div:  // signed, as the generic type
                if (b == 0 || ((int32_t)a == INT32_MIN && (int32_t)b == -1)) return false;
                push((uint32_t)((int32_t)a / (int32_t)b));
                break;
            case OP_mod: if (b == 0) return false; push(a % b); break;
            case OP_shl: push(b >= 32 ? 0 : a << b); break;
            case OP_shr: push(b >= 32 ? 0 : a >> b); break;
            case OP_shra: push((uint32_t)((int32_t)a >> (b >= 32 ? 31 : b))); break;
            case OP_eq: push((int32_t)a == (int32_t)b); break;
            case OP_ge: push((int32_t)a >= (int32_t)b); break;
            case OP_gt: push((int32_t)a > (int32_t)b); break;
            case OP_le: push((int32_t)a <= (int32_t)b); break;
            case OP_lt: push((int32_t)a < (int32_t)b); break;
            case OP_ne: push((int32_t)a != (int32_t)b); break;
            case OP_deref: case OP_deref_size: {
                uint32_t count = op == OP_deref ? 4 : (uint32_t)r.le(1);
                uint8_t bytes[4] = {};
                if (!r.ok || count < 1 || count > 4 || n < 1 || !read(st[n - 1], bytes, count)) return false;
                st[n - 1] = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
                break;
            }
            case OP_regx: {
                uint64_t x = r.uleb();
                if (!r.ok || x > 15) return false;
                src = SRC_REG, reg = (uint32_t)x;
                break;
            }
            case OP_bregx: {
                uint64_t x = r.uleb();
                int64_t k = r.sleb();
                if (!r.ok || !reg_value(x, &v) || !push(v + (uint32_t)k)) return false;
                break;
            }
            case OP_fbreg: {  // gcc's frame base: the CFA
                int64_t k = r.sleb();
                if (!r.ok || !env->have_cfa || !push(env->cfa + (uint32_t)k)) return false;
                break;
            }
            case OP_call_frame_cfa: if (!env->have_cfa || !push(env->cfa)) return false; break;
            case OP_stack_value: src = SRC_VALUE; break;
            case OP_implicit_value: {
                uint64_t k = r.uleb();
                if (!r.ok || k == 0 || k > len - r.pos) return false;
                src = SRC_IMPLICIT, implicit = expr + r.pos, implicit_len = (uint32_t)k;
                r.pos += (uint32_t)k;
                break;
            }
            case OP_piece: {
                uint64_t k = r.uleb();
                // An empty piece is a part that was optimised away.
                if (!r.ok || k > 8 || (src == SRC_MEM && n == 0) || !take((uint32_t)k)) return false;
                pieces = true;
                break;
            }
            case OP_nop: break;
            default: return false;  // entry values, branches, typed and TLS operations...
            }
        }
    }
    if (!pieces && !take(size)) return false;
    if (filled != size) return false;
    *value = 0;
    for (uint32_t k = 0; k < size; ++k) *value |= (uint64_t)out[k] << (8 * k);
    return true;
}
