// FPB, DWT, ITM and the ROM tables, driven through their bus ports the way a
// debugger's MEM-AP would. Expected IDs are the raw bytes of ARM's Cortex-M4
// TRM and of a real STM32F4, decoded here by the ADIv5 rules independently of
// how the simulator builds them.
#include "sim/fpb_dwt.h"
#include "sim/rom_table.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

uint32_t rd(SimMemPort p, uint32_t off) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(p.read(p.ctx, off, 4, &v)) << std::hex << off;
    return v;
}
void wr(SimMemPort p, uint32_t off, uint32_t v) { EXPECT_TRUE(p.write(p.ctx, off, 4, v)) << std::hex << off; }

} // namespace

TEST(PeriphFpb, CtrlLayoutAndKeyBit) {
    SimFpb fpb;
    ASSERT_TRUE(sim_fpb_init(&fpb, nullptr));
    SimMemPort p = sim_fpb_port(&fpb);
    // Cortex-M4: REV 0, NUM_CODE 6 (bits 7:4, 14:12 zero), NUM_LIT 2, disabled.
    EXPECT_EQ(rd(p, SIM_FPB_CTRL), 0x00000260u);
    wr(p, SIM_FPB_CTRL, 1); // no KEY: ignored
    EXPECT_EQ(rd(p, SIM_FPB_CTRL) & 1u, 0u);
    wr(p, SIM_FPB_CTRL, 3);
    EXPECT_EQ(rd(p, SIM_FPB_CTRL), 0x00000261u) << "KEY must read as 0";
    wr(p, SIM_FPB_CTRL, 0);
    EXPECT_EQ(rd(p, SIM_FPB_CTRL) & 1u, 1u);
    wr(p, SIM_FPB_CTRL, 2);
    EXPECT_EQ(rd(p, SIM_FPB_CTRL) & 1u, 0u);
    EXPECT_NE(rd(p, SIM_FPB_REMAP) & (1u << 29), 0u); // RMPSPT on a Cortex-M4
    // A large profile splits NUM_CODE across both fields.
    SimFpbProfile big{1, 0x12, 3};
    SimFpb f2;
    ASSERT_TRUE(sim_fpb_init(&f2, &big));
    EXPECT_EQ(rd(sim_fpb_port(&f2), SIM_FPB_CTRL), (1u << 12) | (3u << 8) | (2u << 4));
    SimFpbProfile too_big{1, 40, 2}, bad_ver{3, 6, 2};
    EXPECT_FALSE(sim_fpb_init(&f2, &too_big));
    EXPECT_FALSE(sim_fpb_match(&f2, 0));
    EXPECT_FALSE(sim_fpb_init(&f2, &bad_ver));
    // Sub-word and misaligned accesses are refused, not misread.
    uint32_t v;
    EXPECT_FALSE(p.read(p.ctx, SIM_FPB_CTRL, 2, &v));
    EXPECT_FALSE(p.write(p.ctx, SIM_FPB_CTRL + 1, 1, 3));
    EXPECT_FALSE(p.read(p.ctx, 0x1000, 4, &v));
}

TEST(PeriphFpb, Version1ReplaceEncodings) {
    SimFpb fpb;
    ASSERT_TRUE(sim_fpb_init(&fpb, nullptr));
    SimMemPort p = sim_fpb_port(&fpb);
    wr(p, SIM_FPB_CTRL, 3);
    const uint32_t word = 0x08000124;
    struct Case { uint32_t replace; bool lower, upper; };
    const Case cases[] = {{1, true, false}, {2, false, true}, {3, true, true}, {0, false, false}};
    for (const Case& c : cases) {
        wr(p, SIM_FPB_COMP0 + 4, (c.replace << 30) | (word & 0x1FFFFFFC) | 1u);
        EXPECT_EQ(sim_fpb_match(&fpb, word), c.lower) << "REPLACE " << c.replace;
        EXPECT_EQ(sim_fpb_match(&fpb, word + 2), c.upper) << "REPLACE " << c.replace;
        EXPECT_FALSE(sim_fpb_match(&fpb, word + 4));
        EXPECT_FALSE(sim_fpb_match(&fpb, word - 2));
    }
    // Comparator disabled, then the unit disabled.
    wr(p, SIM_FPB_COMP0 + 4, (3u << 30) | word);
    EXPECT_FALSE(sim_fpb_match(&fpb, word));
    wr(p, SIM_FPB_COMP0 + 4, (3u << 30) | word | 1u);
    EXPECT_TRUE(sim_fpb_match(&fpb, word));
    wr(p, SIM_FPB_CTRL, 2);
    EXPECT_FALSE(sim_fpb_match(&fpb, word));
    wr(p, SIM_FPB_CTRL, 3);
    // Bit 29 is not part of COMP: only code-region addresses can match.
    wr(p, SIM_FPB_COMP0, (3u << 30) | 0x20000100u | 1u);
    EXPECT_EQ(rd(p, SIM_FPB_COMP0), (3u << 30) | 0x00000100u | 1u);
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x20000100));
    EXPECT_TRUE(sim_fpb_match(&fpb, 0x00000100));
    // Literal comparators (6 and 7) never break.
    wr(p, SIM_FPB_COMP0 + 6 * 4, (3u << 30) | 0x200u | 1u);
    EXPECT_EQ(rd(p, SIM_FPB_COMP0 + 6 * 4) >> 30, 0u);
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x200));
    // Only 8 comparators exist.
    wr(p, SIM_FPB_COMP0 + 8 * 4, 0x301u);
    EXPECT_EQ(rd(p, SIM_FPB_COMP0 + 8 * 4), 0u);
    // Power-on reset clears everything.
    sim_fpb_reset(&fpb);
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x100));
    EXPECT_EQ(rd(p, SIM_FPB_COMP0), 0u);
}

TEST(PeriphFpb, Version2Encoding) {
    SimFpbProfile m7{2, 8, 0};
    SimFpb fpb;
    ASSERT_TRUE(sim_fpb_init(&fpb, &m7));
    SimMemPort p = sim_fpb_port(&fpb);
    EXPECT_EQ(rd(p, SIM_FPB_CTRL), 0x10000080u);
    EXPECT_EQ(rd(p, SIM_FPB_REMAP), 0u);
    wr(p, SIM_FPB_CTRL, 3);
    // BPADDR = address bits 31:1, BE in bit 0: any address, halfword exact.
    wr(p, SIM_FPB_COMP0 + 3 * 4, 0x20000102u | 1u);
    EXPECT_TRUE(sim_fpb_match(&fpb, 0x20000102));
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x20000100));
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x20000104));
    wr(p, SIM_FPB_COMP0 + 3 * 4, 0x20000102u);
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x20000102)) << "BE clear";
    // A version-1 encoding of the same breakpoint does not mean the same here.
    wr(p, SIM_FPB_COMP0, (1u << 30) | 0x100u | 1u);
    EXPECT_FALSE(sim_fpb_match(&fpb, 0x100));
    EXPECT_TRUE(sim_fpb_match(&fpb, 0x40000100));
}

namespace {

struct Core {
    bool halted = true;
    uint32_t pc = 0x08000400;
    static bool sample(void* ctx, uint32_t* pc) {
        auto* c = static_cast<Core*>(ctx);
        if (c->halted) return false;
        *pc = c->pc;
        return true;
    }
};

} // namespace

TEST(PeriphDwt, PcsrAndCycleCounter) {
    Core core;
    SimDwt dwt;
    sim_dwt_init(&dwt, SimDwtCoreView{&core, Core::sample});
    SimMemPort p = sim_dwt_port(&dwt);
    EXPECT_EQ(rd(p, SIM_DWT_CTRL), 0x40000000u); // NUMCOMP 4, counter features present
    EXPECT_EQ(rd(p, SIM_DWT_PCSR), 0xFFFFFFFFu);
    core.halted = false;
    EXPECT_EQ(rd(p, SIM_DWT_PCSR), 0x08000400u);
    core.pc = 0x08000402;
    EXPECT_EQ(rd(p, SIM_DWT_PCSR), 0x08000402u);
    wr(p, SIM_DWT_PCSR, 0);
    EXPECT_EQ(rd(p, SIM_DWT_PCSR), 0x08000402u);
    core.halted = true;
    EXPECT_EQ(rd(p, SIM_DWT_PCSR), 0xFFFFFFFFu);
    SimDwt blind;
    sim_dwt_init(&blind, SimDwtCoreView{nullptr, nullptr});
    EXPECT_EQ(rd(sim_dwt_port(&blind), SIM_DWT_PCSR), 0xFFFFFFFFu);

    // CYCCNT counts only with CYCCNTENA and TRCENA both set.
    sim_dwt_advance(&dwt, 100);
    EXPECT_EQ(rd(p, SIM_DWT_CYCCNT), 0u);
    wr(p, SIM_DWT_CTRL, SIM_DWT_CTRL_CYCCNTENA);
    EXPECT_EQ(rd(p, SIM_DWT_CTRL), 0x40000001u);
    sim_dwt_advance(&dwt, 100);
    EXPECT_EQ(rd(p, SIM_DWT_CYCCNT), 0u) << "TRCENA clear";
    sim_dwt_set_trcena(&dwt, true);
    sim_dwt_advance(&dwt, 100);
    EXPECT_EQ(rd(p, SIM_DWT_CYCCNT), 100u);
    wr(p, SIM_DWT_CYCCNT, 0xFFFFFFF0u);
    sim_dwt_advance(&dwt, 0x20);
    EXPECT_EQ(rd(p, SIM_DWT_CYCCNT), 0x10u) << "32-bit wrap";
    wr(p, SIM_DWT_CTRL, 0);
    sim_dwt_advance(&dwt, 5);
    EXPECT_EQ(rd(p, SIM_DWT_CYCCNT), 0x10u);
    // Reserved bits and NUMCOMP do not take writes.
    wr(p, SIM_DWT_CTRL, 0xFFFFFFFFu);
    EXPECT_EQ(rd(p, SIM_DWT_CTRL), 0x407F1FFFu);
    EXPECT_EQ(rd(p, SIM_DWT_CPICNT), 0u);
}

TEST(PeriphDwt, WatchpointsMatchByFunctionAndMask) {
    SimDwt dwt;
    sim_dwt_init(&dwt, SimDwtCoreView{nullptr, nullptr});
    SimMemPort p = sim_dwt_port(&dwt);
    auto comp = [](unsigned n) { return SIM_DWT_COMP0 + 16 * n; };
    wr(p, comp(1), 0x20000100);
    wr(p, comp(1) + 4, 2);  // 4-byte range
    wr(p, comp(1) + 8, 6);  // write watch
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x20000100, 4, true)) << "TRCENA clear";
    sim_dwt_set_trcena(&dwt, true);
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x20000100, 4, false)) << "reads do not hit a write watch";
    EXPECT_EQ(rd(p, comp(1) + 8), 6u);
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x20000103, 1, true));
    EXPECT_EQ(rd(p, comp(1) + 8), 6u | SIM_DWT_FUNCTION_MATCHED);
    EXPECT_EQ(rd(p, comp(1) + 8), 6u) << "MATCHED clears on read";
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x20000104, 4, true));
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x200000FC, 4, true));
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x200000FE, 4, true)) << "an access overlapping the range";
    // Read watch and read/write watch.
    wr(p, comp(1) + 8, 5);
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x20000100, 2, false));
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x20000100, 2, true));
    wr(p, comp(1) + 8, 7);
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x20000102, 2, true));
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x20000102, 2, false));
    // Disabled: nothing matches. PC match (FUNCTION 4) is for instructions only.
    wr(p, comp(1) + 8, 0);
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x20000100, 4, true));
    wr(p, comp(2), 0x08000200);
    wr(p, comp(2) + 8, 4);
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x08000200, 4, false));
    EXPECT_TRUE(sim_dwt_instr_match(&dwt, 0x08000200));
    EXPECT_FALSE(sim_dwt_instr_match(&dwt, 0x08000202));
    // Unmodelled value/cycle matching reads back as not set.
    wr(p, comp(1) + 8, 7u | (1u << 8));
    EXPECT_EQ(rd(p, comp(1) + 8) & ~SIM_DWT_FUNCTION_MATCHED, 7u);
    wr(p, comp(0) + 8, 7u | (1u << 7));
    EXPECT_EQ(rd(p, comp(0) + 8), 7u);
    wr(p, comp(0) + 4, 0xFFFFFFFFu);
    EXPECT_EQ(rd(p, comp(0) + 4), 0x1Fu);
    // A 2 GB mask around address 0 matches the top half too, without overflow.
    wr(p, comp(0), 0);
    wr(p, comp(0) + 4, 31);
    EXPECT_TRUE(sim_dwt_data_access(&dwt, 0x7FFFFFFC, 4, true));
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0x80000000, 4, true));
    EXPECT_FALSE(sim_dwt_data_access(&dwt, 0xFFFFFFFF, 1, true));
}

TEST(PeriphItm, StimulusCaptureAndLock) {
    SimItm itm;
    sim_itm_init(&itm);
    SimMemPort dbg = sim_itm_debug_port(&itm);
    // Software cannot enable it while locked; the debugger can.
    EXPECT_TRUE(sim_itm_write(&itm, SIM_ITM_TCR, 4, 1, false));
    EXPECT_EQ(rd(dbg, SIM_ITM_TCR), 0u);
    EXPECT_EQ(rd(dbg, SIM_ITM_LSR), 3u);
    EXPECT_TRUE(sim_itm_write(&itm, SIM_ITM_LAR, 4, 0xC5ACCE55u, false));
    EXPECT_EQ(rd(dbg, SIM_ITM_LSR), 1u);
    EXPECT_TRUE(sim_itm_write(&itm, SIM_ITM_TCR, 4, 1, false));
    EXPECT_TRUE(sim_itm_write(&itm, SIM_ITM_TER, 4, 1, false));
    uint32_t v;
    ASSERT_TRUE(sim_itm_read(&itm, 0, 4, &v));
    EXPECT_EQ(v, 0u) << "not ready without TRCENA";
    EXPECT_TRUE(sim_itm_write(&itm, 0, 1, 'x', false));
    EXPECT_EQ(itm.captured_len, 0u);
    sim_itm_set_trcena(&itm, true);
    ASSERT_TRUE(sim_itm_read(&itm, 0, 4, &v));
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(sim_itm_write(&itm, 0, 1, 'h', false));
    EXPECT_TRUE(sim_itm_write(&itm, 0, 2, 'i' | ('!' << 8), false));
    EXPECT_TRUE(sim_itm_write(&itm, 4, 1, 'z', false)); // port 1 not enabled
    ASSERT_EQ(itm.captured_len, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(itm.captured), 3), "hi!");
    for (unsigned i = 0; i < SIM_ITM_CAPTURE + 5; ++i) sim_itm_write(&itm, 0, 1, 'a', false);
    EXPECT_EQ(itm.captured_len, SIM_ITM_CAPTURE);
    EXPECT_EQ(itm.dropped, 8u);
    EXPECT_FALSE(sim_itm_write(&itm, 1, 2, 0, false));
    EXPECT_FALSE(sim_itm_read(&itm, SIM_ITM_TCR, 2, &v));
}

namespace {

// The debug side of the private peripheral bus, assembled from the blocks.
struct DebugBus {
    SimRomTable m4{}, st{}, chain{};
    SimFpb fpb{};
    SimDwt dwt{};
    SimItm itm{};
    SimCsIds scs = sim_cs_ids(SimCsComponent::scs_m4);
    std::map<uint32_t, SimMemPort> blocks;
    DebugBus() {
        sim_rom_init_cortex_m4(&m4);
        sim_fpb_init(&fpb, nullptr);
        sim_dwt_init(&dwt, SimDwtCoreView{nullptr, nullptr});
        sim_itm_init(&itm);
        blocks[SIM_FPB_BASE] = sim_fpb_port(&fpb);
        blocks[SIM_DWT_BASE] = sim_dwt_port(&dwt);
        blocks[SIM_ITM_BASE] = sim_itm_debug_port(&itm);
    }
    bool read(uint32_t addr, uint32_t* v) {
        const uint32_t base = addr & ~0xFFFu, off = addr & 0xFFFu;
        if (base == SIM_SCS_BASE) return sim_cs_id_read(&scs, off, 4, v); // IDs only, SCS is the core's
        auto it = blocks.find(base);
        if (it == blocks.end()) return false;
        return it->second.read(it->second.ctx, off, 4, v);
    }
};

struct Found {
    uint32_t base;
    uint16_t designer;
    uint16_t part;
    uint8_t cls;
};

// What a debugger does: read the component's IDs, and for a ROM table read
// entries until the 0 marker, following present ones.
bool walk(DebugBus& bus, uint32_t base, std::vector<Found>* out, int depth = 0) {
    if (depth > 4) return false;
    uint32_t id[12];
    for (unsigned i = 0; i < 12; ++i) {
        if (!bus.read(base + 0xFD0 + 4 * i, &id[i])) return false;
    }
    // CIDR preamble: 0x0D, 0x?0, 0x05, 0xB1.
    if (id[8] != 0x0D || (id[9] & 0x0F) != 0 || id[10] != 0x05 || id[11] != 0xB1) return false;
    const uint8_t cls = static_cast<uint8_t>(id[9] >> 4);
    const uint32_t pid0 = id[4], pid1 = id[5], pid2 = id[6], pid4 = id[0];
    if (!(pid2 & 0x8)) return false; // JEP106 code used
    const uint16_t designer = static_cast<uint16_t>(((pid4 & 0xF) << 8) | ((pid2 & 7) << 4) | (pid1 >> 4));
    const uint16_t part = static_cast<uint16_t>(pid0 | ((pid1 & 0xF) << 8));
    out->push_back({base, designer, part, cls});
    if (cls != 1) return true;
    uint32_t memtype = 0;
    if (!bus.read(base + 0xFCC, &memtype) || (memtype & 1) != 1) return false;
    for (uint32_t off = 0; off < 0xF00; off += 4) {
        uint32_t e = 0;
        if (!bus.read(base + off, &e)) return false;
        if (e == 0) return true;
        if (!(e & 2)) return false; // 8-bit format is not what a Cortex-M uses
        if (!(e & 1)) continue;     // not present
        if (!walk(bus, base + (e & 0xFFFFF000u), out, depth + 1)) return false;
    }
    return false; // no end marker
}

} // namespace

TEST(PeriphRomTable, WalkCortexM4Table) {
    DebugBus bus;
    bus.blocks[SIM_ROM_M4_BASE] = sim_rom_port(&bus.m4);
    std::vector<Found> got;
    ASSERT_TRUE(walk(bus, SIM_ROM_M4_BASE, &got));
    // Designer as cont << 8 | 7-bit identity: ARM is 0x43B (0x4BB when the
    // JEDEC-used bit of PIDR2 is counted in, as some tools print it).
    const std::vector<Found> want = {
        {0xE00FF000, 0x43B, 0x4C4, 0x1}, {0xE000E000, 0x43B, 0x00C, 0xE}, {0xE0001000, 0x43B, 0x002, 0xE},
        {0xE0002000, 0x43B, 0x003, 0xE}, {0xE0000000, 0x43B, 0x001, 0xE},
    };
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].base, want[i].base) << i;
        EXPECT_EQ(got[i].designer, want[i].designer) << i;
        EXPECT_EQ(got[i].part, want[i].part) << i;
        EXPECT_EQ(got[i].cls, want[i].cls) << i;
    }
    // Raw words as the Cortex-M4 TRM lists them.
    SimMemPort rt = sim_rom_port(&bus.m4);
    const uint32_t entries[] = {0xFFF0F003, 0xFFF02003, 0xFFF03003, 0xFFF01003, 0xFFF41002, 0xFFF42002, 0};
    for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(rd(rt, 4 * i), entries[i]) << i;
    const uint32_t ids[] = {0x04, 0, 0, 0, 0xC4, 0xB4, 0x0B, 0x00, 0x0D, 0x10, 0x05, 0xB1};
    for (unsigned i = 0; i < 12; ++i) EXPECT_EQ(rd(rt, 0xFD0 + 4 * i), ids[i]) << i;
    const uint32_t dwt_ids[] = {0x04, 0, 0, 0, 0x02, 0xB0, 0x3B, 0x00, 0x0D, 0xE0, 0x05, 0xB1};
    for (unsigned i = 0; i < 12; ++i) EXPECT_EQ(rd(sim_dwt_port(&bus.dwt), 0xFD0 + 4 * i), dwt_ids[i]) << i;
    EXPECT_EQ(rd(sim_fpb_port(&bus.fpb), 0xFE8), 0x2Bu);
    // Read-only, words only.
    wr(rt, 0, 0);
    EXPECT_EQ(rd(rt, 0), 0xFFF0F003u);
    uint32_t v;
    EXPECT_FALSE(rt.read(rt.ctx, 0xFD0, 1, &v));
    EXPECT_FALSE(rt.read(rt.ctx, 0x1000, 4, &v));
}

TEST(PeriphRomTable, Stm32f4IdentityAndChain) {
    DebugBus bus;
    sim_rom_init_stm32f4(&bus.st);
    bus.blocks[SIM_ROM_M4_BASE] = sim_rom_port(&bus.st);
    std::vector<Found> got;
    ASSERT_TRUE(walk(bus, SIM_ROM_M4_BASE, &got));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].designer, 0x020) << "ST's JEP106 code";
    EXPECT_EQ(got[0].part, 0x413);
    // PIDR bytes as a real STM32F407 shows them.
    SimMemPort rt = sim_rom_port(&bus.st);
    EXPECT_EQ(rd(rt, 0xFE0), 0x13u);
    EXPECT_EQ(rd(rt, 0xFE4), 0x04u);
    EXPECT_EQ(rd(rt, 0xFE8), 0x0Au);
    EXPECT_EQ(rd(rt, 0xFD0), 0x00u);
    // A vendor table in front of the processor's own, followed to the end.
    bus.blocks[SIM_ROM_M4_BASE] = sim_rom_port(&bus.m4);
    sim_rom_init_chain(&bus.chain, 0xE00FE000, SimCsComponent::rom_stm32f4, SIM_ROM_M4_BASE);
    bus.blocks[0xE00FE000] = sim_rom_port(&bus.chain);
    got.clear();
    ASSERT_TRUE(walk(bus, 0xE00FE000, &got));
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0].designer, 0x020);
    EXPECT_EQ(got[1].base, SIM_ROM_M4_BASE);
    EXPECT_EQ(got[1].part, 0x4C4);
    EXPECT_EQ(got[5].part, 0x001);
    EXPECT_EQ(rd(sim_rom_port(&bus.chain), 0), 0x00001003u);
    // A full table refuses more entries; unaligned targets are refused.
    SimRomTable t{};
    sim_rom_init_chain(&t, 0xE00FE000, SimCsComponent::rom_m4, SIM_ROM_M4_BASE);
    EXPECT_FALSE(sim_rom_add(&t, 0xE0001004, true));
    while (t.count < SIM_ROM_MAX_ENTRIES) ASSERT_TRUE(sim_rom_add(&t, 0xE0001000, true));
    EXPECT_FALSE(sim_rom_add(&t, 0xE0001000, true));
    EXPECT_EQ(sim_cs_jep106(&bus.st.ids), 0x020);
    EXPECT_EQ(sim_cs_part(&bus.m4.ids), 0x4C4);
    EXPECT_EQ(sim_cs_class(&bus.fpb.ids), 0xE);
}
