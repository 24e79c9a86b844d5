#include "symbols/dwarf_frame.h"

#include <cstdint>

#include <cstring>

#include "symbols/elf_dwarf.h"

namespace {

struct Cie {
    bool ok;
    uint32_t code_align;
    int32_t data_align;
    uint32_t ra_reg;
    uint32_t insn_start, insn_end;
};

// Reads the CIE at `off`; only the plain (no augmentation) kind gcc writes for
// bare-metal targets is understood.
Cie read_cie(const uint8_t* d, uint32_t size, uint32_t off) {
    Cie c{};
    uint32_t pos = off;
    uint32_t len = read_u32(d, size, &pos);
    if (len == 0 || len == 0xFFFFFFFFu || len > size - pos) return c;
    uint32_t end = pos + len;
    if (read_u32(d, end, &pos) != 0xFFFFFFFFu || pos >= end) return c;
    uint8_t version = d[pos++];
    if (pos >= end || d[pos] != 0) return c;  // an augmentation string: data we cannot skip safely
    ++pos;
    if (version >= 4) pos += 2;  // address and segment selector sizes
    c.code_align = read_uleb128(d, end, &pos);
    c.data_align = read_sleb128(d, end, &pos);
    if (version == 1) c.ra_reg = pos < end ? d[pos++] : 0;
    else c.ra_reg = read_uleb128(d, end, &pos);
    if (pos > end) return c;
    c.insn_start = pos;
    c.insn_end = end;
    c.ok = true;
    return c;
}

struct Machine {
    DwarfFrameRow row;
    DwarfFrameRow initial;  // the CIE's rules, for DW_CFA_restore
    DwarfFrameRow saved[8];
    int depth;
    uint32_t loc;
};

void set_rule(Machine* m, uint32_t reg, uint8_t kind, int32_t off) {
    if (reg >= DWARF_FRAME_REGS) return;  // VFP and other columns: not unwound
    m->row.kind[reg] = kind;
    m->row.offset[reg] = off;
}

// Runs instructions in [pos, end) while the location stays at or below pc.
// False for a form not evaluated here.
bool run(const uint8_t* d, uint32_t pos, uint32_t end, const Cie& c, uint32_t pc, Machine* m) {
    // An offset times the data alignment must be a 32-bit offset; one that is
    // not makes the entry unreadable (2^30 x -4 is no stack offset).
    bool in_range = true;
    auto scaled = [&](int64_t factor) -> int32_t {
        int64_t v = factor * (int64_t)c.data_align;
        if (v < INT32_MIN || v > INT32_MAX) return in_range = false, 0;
        return (int32_t)v;
    };
    while (pos < end) {
        uint8_t op = d[pos++];
        uint8_t hi = op & 0xC0, lo = op & 0x3F;
        uint32_t advance = 0;
        if (hi == 0x40) {
            advance = lo * c.code_align;
        } else if (hi == 0x80) {
            set_rule(m, lo, DWARF_REG_OFFSET, scaled((int64_t)read_uleb128(d, end, &pos)));
        } else if (hi == 0xC0) {
            if (lo < DWARF_FRAME_REGS) set_rule(m, lo, m->initial.kind[lo], m->initial.offset[lo]);
        } else {
            switch (op) {
            case 0x00: break;
            case 0x01: {
                uint32_t to = read_u32(d, end, &pos);
                if (to > pc) return true;
                m->loc = to;
                break;
            }
            case 0x02: advance = (pos < end ? d[pos++] : 0) * c.code_align; break;
            case 0x03: advance = read_u16(d, end, &pos) * c.code_align; break;
            case 0x04: advance = read_u32(d, end, &pos) * c.code_align; break;
            case 0x05: {  // offset_extended
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_OFFSET, scaled((int64_t)read_uleb128(d, end, &pos)));
                break;
            }
            case 0x06: {  // restore_extended
                uint32_t r = read_uleb128(d, end, &pos);
                if (r < DWARF_FRAME_REGS) set_rule(m, r, m->initial.kind[r], m->initial.offset[r]);
                break;
            }
            case 0x07: set_rule(m, read_uleb128(d, end, &pos), DWARF_REG_UNDEFINED, 0); break;
            case 0x08: set_rule(m, read_uleb128(d, end, &pos), DWARF_REG_SAME, 0); break;
            case 0x09: {  // register
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_REGISTER, (int32_t)read_uleb128(d, end, &pos));
                break;
            }
            case 0x0A:
                if (m->depth >= 8) return false;
                m->saved[m->depth++] = m->row;
                break;
            case 0x0B:
                if (m->depth <= 0) return false;
                m->row = m->saved[--m->depth];
                break;
            case 0x0C:
                m->row.cfa.reg = read_uleb128(d, end, &pos);
                m->row.cfa.offset = (int32_t)read_uleb128(d, end, &pos);
                break;
            case 0x0D: m->row.cfa.reg = read_uleb128(d, end, &pos); break;
            case 0x0E: m->row.cfa.offset = (int32_t)read_uleb128(d, end, &pos); break;
            case 0x11: {  // offset_extended_sf
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_OFFSET, scaled(read_sleb128(d, end, &pos)));
                break;
            }
            case 0x12:
                m->row.cfa.reg = read_uleb128(d, end, &pos);
                m->row.cfa.offset = scaled(read_sleb128(d, end, &pos));
                break;
            case 0x13: m->row.cfa.offset = scaled(read_sleb128(d, end, &pos)); break;
            case 0x14: {  // val_offset
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_VAL_OFFSET, scaled((int64_t)read_uleb128(d, end, &pos)));
                break;
            }
            case 0x15: {  // val_offset_sf
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_VAL_OFFSET, scaled(read_sleb128(d, end, &pos)));
                break;
            }
            case 0x2E: (void)read_uleb128(d, end, &pos); break;  // GNU_args_size
            case 0x2F: {  // GNU_negative_offset_extended
                uint32_t r = read_uleb128(d, end, &pos);
                set_rule(m, r, DWARF_REG_OFFSET, scaled(-(int64_t)read_uleb128(d, end, &pos)));
                break;
            }
            case 0x10: case 0x16: {  // register rules given by an expression: that register is lost
                uint32_t r = read_uleb128(d, end, &pos);
                uint32_t n = read_uleb128(d, end, &pos);
                if (n > end - pos) return false;
                pos += n;
                set_rule(m, r, DWARF_REG_UNDEFINED, 0);
                break;
            }
            default: return false;  // DW_CFA_def_cfa_expression and unknown forms
            }
        }
        if (!in_range) return false;
        if (advance) {
            if ((uint64_t)m->loc + advance > pc) return true;
            m->loc += advance;
        }
    }
    return true;
}

}  // namespace

bool dwarf_frame_row(const uint8_t* d, uint32_t size, uint32_t pc, DwarfFrameRow* out) {
    if (!d || !out) return false;
    pc &= ~1u;
    uint32_t pos = 0;
    while (size - pos >= 16) {
        uint32_t start = pos;
        uint32_t len = read_u32(d, size, &pos);
        if (len == 0 || len == 0xFFFFFFFFu || len > size - pos) return false;
        uint32_t end = pos + len;
        uint32_t cie_ptr = read_u32(d, end, &pos);
        if (cie_ptr != 0xFFFFFFFFu && end - pos >= 8) {
            uint32_t lo = read_u32(d, end, &pos), range = read_u32(d, end, &pos);
            if (pc >= lo && pc - lo < range && cie_ptr != start) {
                Cie c = read_cie(d, size, cie_ptr);
                if (!c.ok) return false;
                Machine m{};
                m.row.cfa = DwarfCfaRule{13, 0};
                m.row.ra_reg = c.ra_reg;
                if (!run(d, c.insn_start, c.insn_end, c, 0xFFFFFFFFu, &m)) return false;
                m.initial = m.row;
                m.loc = lo;
                m.depth = 0;
                if (!run(d, pos, end, c, pc, &m)) return false;
                *out = m.row;
                return true;
            }
        }
        pos = end;
    }
    return false;
}

bool dwarf_frame_cfa(const uint8_t* d, uint32_t size, uint32_t pc, DwarfCfaRule* out) {
    DwarfFrameRow row;
    if (!out || !dwarf_frame_row(d, size, pc, &row)) return false;
    *out = row.cfa;
    return true;
}

bool elf_dwarf_frame_base(const ElfDwarf* e, const uint32_t regs[16], uint32_t* base) {
    DwarfCfaRule r;
    if (!e || !regs || !base || !dwarf_frame_cfa(e->debug_frame, e->debug_frame_size, regs[15], &r) || r.reg > 15)
        return false;
    *base = regs[r.reg] + (uint32_t)r.offset;
    return true;
}
