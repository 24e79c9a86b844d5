#include "sim/rom_table.h"

namespace {

// ADIv5 ID layout: PIDR0 = part[7:0]; PIDR1 = JEP106 id[3:0] << 4 | part[11:8];
// PIDR2 = revision << 4 | JEDEC-used bit 3 | JEP106 id[6:4]; PIDR3 = 0 (no
// customer modification); PIDR4 = 4 KB count 0 | continuation code.
SimCsIds make_ids(uint16_t part, uint8_t jep_cont, uint8_t jep_id, uint8_t rev, uint8_t cls) {
    SimCsIds ids{};
    ids.pidr[0] = static_cast<uint8_t>(part & 0xFF);
    ids.pidr[1] = static_cast<uint8_t>(((jep_id & 0xF) << 4) | ((part >> 8) & 0xF));
    ids.pidr[2] = static_cast<uint8_t>((rev << 4) | 0x8 | ((jep_id >> 4) & 0x7));
    ids.pidr[3] = 0;
    ids.pidr[4] = static_cast<uint8_t>(jep_cont & 0xF);
    ids.cidr[0] = 0x0D;
    ids.cidr[1] = static_cast<uint8_t>(cls << 4);
    ids.cidr[2] = 0x05;
    ids.cidr[3] = 0xB1;
    return ids;
}

constexpr uint8_t ARM_CONT = 4, ARM_ID = 0x3B;   // JEP106 0x4BB
constexpr uint8_t ST_CONT = 0, ST_ID = 0x20;     // JEP106 0x020
constexpr uint8_t CLASS_ROM = 0x1, CLASS_PRIMECELL = 0xE;

bool rd(void* ctx, uint32_t a, unsigned s, uint32_t* v) { return sim_rom_read(static_cast<SimRomTable*>(ctx), a, s, v); }
bool wr(void* ctx, uint32_t a, unsigned s, uint32_t v) { return sim_rom_write(static_cast<SimRomTable*>(ctx), a, s, v); }

void init_m4_entries(SimRomTable* rt) {
    rt->count = 0;
    sim_rom_add(rt, SIM_SCS_BASE, true);
    sim_rom_add(rt, SIM_DWT_BASE, true);
    sim_rom_add(rt, SIM_FPB_BASE, true);
    sim_rom_add(rt, SIM_ITM_BASE, true);
    sim_rom_add(rt, SIM_TPIU_BASE, false);
    sim_rom_add(rt, SIM_ETM_BASE, false);
}

} // namespace

SimCsIds sim_cs_ids(SimCsComponent c) {
    switch (c) {
    case SimCsComponent::rom_m4: return make_ids(0x4C4, ARM_CONT, ARM_ID, 0x0, CLASS_ROM);
    case SimCsComponent::rom_stm32f4: return make_ids(0x413, ST_CONT, ST_ID, 0x0, CLASS_ROM);
    case SimCsComponent::scs_m4: return make_ids(0x00C, ARM_CONT, ARM_ID, 0x0, CLASS_PRIMECELL);
    case SimCsComponent::dwt_m4: return make_ids(0x002, ARM_CONT, ARM_ID, 0x3, CLASS_PRIMECELL);
    case SimCsComponent::fpb_m4: return make_ids(0x003, ARM_CONT, ARM_ID, 0x2, CLASS_PRIMECELL);
    case SimCsComponent::itm_m4: return make_ids(0x001, ARM_CONT, ARM_ID, 0x3, CLASS_PRIMECELL);
    }
    return SimCsIds{};
}

bool sim_cs_id_read(const SimCsIds* ids, uint32_t offset, unsigned size, uint32_t* value) {
    if (size != 4 || (offset & 3u) || offset < 0xFD0 || offset > 0xFFC) return false;
    const unsigned idx = (offset - 0xFD0) / 4; // 0..3: PIDR4..7, 4..7: PIDR0..3, 8..11: CIDR0..3
    if (idx < 4) *value = ids->pidr[4 + idx];
    else if (idx < 8) *value = ids->pidr[idx - 4];
    else *value = ids->cidr[idx - 8];
    return true;
}

uint16_t sim_cs_jep106(const SimCsIds* ids) {
    const unsigned id = ((ids->pidr[1] >> 4) & 0xF) | ((ids->pidr[2] & 0x7) << 4);
    return static_cast<uint16_t>(((ids->pidr[4] & 0xF) << 8) | id);
}

uint16_t sim_cs_part(const SimCsIds* ids) { return static_cast<uint16_t>(ids->pidr[0] | ((ids->pidr[1] & 0xF) << 8)); }

uint8_t sim_cs_class(const SimCsIds* ids) { return static_cast<uint8_t>((ids->cidr[1] >> 4) & 0xF); }

bool sim_rom_add(SimRomTable* rt, uint32_t target, bool present) {
    if (rt->count >= SIM_ROM_MAX_ENTRIES || (target & 0xFFFu)) return false;
    rt->entries[rt->count++] = SimRomEntry{target, present};
    return true;
}

void sim_rom_init_cortex_m4(SimRomTable* rt) {
    rt->base = SIM_ROM_M4_BASE;
    rt->ids = sim_cs_ids(SimCsComponent::rom_m4);
    rt->memtype = 1;
    init_m4_entries(rt);
}

void sim_rom_init_stm32f4(SimRomTable* rt) {
    sim_rom_init_cortex_m4(rt);
    rt->ids = sim_cs_ids(SimCsComponent::rom_stm32f4);
}

void sim_rom_init_stm32(SimRomTable* rt, uint16_t dev_id) {
    sim_rom_init_stm32f4(rt);
    rt->ids.pidr[0] = uint8_t(dev_id);
    rt->ids.pidr[1] = uint8_t((rt->ids.pidr[1] & 0xF0u) | ((dev_id >> 8) & 0x0Fu));
}

void sim_rom_init_chain(SimRomTable* rt, uint32_t base, SimCsComponent vendor, uint32_t next_table) {
    rt->base = base;
    rt->ids = sim_cs_ids(vendor);
    rt->memtype = 1;
    rt->count = 0;
    sim_rom_add(rt, next_table, true);
}

bool sim_rom_read(const SimRomTable* rt, uint32_t offset, unsigned size, uint32_t* value) {
    if (size != 4 || (offset & 3u) || offset >= 0x1000) return false;
    if (offset >= 0xFD0) return sim_cs_id_read(&rt->ids, offset, size, value);
    if (offset == 0xFCC) { *value = rt->memtype; return true; }
    const unsigned idx = offset / 4;
    if (idx < rt->count) {
        // Entry: signed offset from the table base in bits 31:12, format
        // bit 1 = 32-bit entries, bit 0 = present.
        const uint32_t rel = rt->entries[idx].target - rt->base;
        *value = (rel & 0xFFFFF000u) | 0x2u | (rt->entries[idx].present ? 1u : 0u);
        return true;
    }
    *value = 0; // end marker, then reserved
    return true;
}

bool sim_rom_write(SimRomTable*, uint32_t offset, unsigned size, uint32_t) {
    return size == 4 && !(offset & 3u) && offset < 0x1000; // read-only: ignored
}

SimMemPort sim_rom_port(SimRomTable* rt) { return SimMemPort{rt, rd, wr}; }
