// FPB, DWT and the ROM tables on the private peripheral bus, driven the
// way a debugger's MEM-AP would. Expected IDs are the raw words of ARM's
// Cortex-M4 TRM and of a real STM32F4, decoded here by the ADIv5 rules.
#include "sim/fpb_dwt.h"
#include "sim/rom_table.h"
#include "periph_steps_test.h"

using periph_test::Step;

namespace {

constexpr uint32_t FPB = SIM_FPB_BASE, DWT = SIM_DWT_BASE, ROM = SIM_ROM_M4_BASE;
constexpr uint32_t FP_CTRL = FPB + SIM_FPB_CTRL, FP_COMP = FPB + SIM_FPB_COMP0, DW_CTRL = DWT + SIM_DWT_CTRL,
                   CYCCNT = DWT + SIM_DWT_CYCCNT, PCSR = DWT + SIM_DWT_PCSR, MATCHED = SIM_DWT_FUNCTION_MATCHED;
constexpr uint32_t comp(unsigned n) { return DWT + SIM_DWT_COMP0 + 16 * n; }

// The debug blocks at their addresses. Besides r w e x: B FPB match at `a`
// is `v`; L / S a data load / store at `a` hits a watchpoint (`v`); X a PC
// match at `a` (`v`); C set TRCENA to `v`; A `v` cycles pass; P the core runs
// at `v` (or is halted, ~0); Z reset. (ITM is the simulator's alone: no host reads it.)
struct DebugBus : periph_test::Bus {
    SimRomTable m4{}, st{};
    SimFpb fpb{};
    SimDwt dwt{};
    uint64_t pc = ~0ull; // ~0: halted
    DebugBus() {
        sim_rom_init_cortex_m4(&m4);
        sim_rom_init_stm32f4(&st);
        EXPECT_TRUE(sim_fpb_init(&fpb, nullptr));
        sim_dwt_init(&dwt, SimDwtCoreView{this, [](void* c, uint32_t* pc) {
            *pc = uint32_t(static_cast<DebugBus*>(c)->pc);
            return static_cast<DebugBus*>(c)->pc != ~0ull;
        }});
        regions = {{ROM, 0x1000, sim_rom_port(&m4)}, {FPB, 0x1000, sim_fpb_port(&fpb)}, {DWT, 0x1000, sim_dwt_port(&dwt)}};
    }
    void run(std::initializer_list<Step> steps) {
        periph_test::run(port(), steps, [this](const Step& s) {
            switch (s.op) {
            case 'B': EXPECT_EQ(sim_fpb_match(&fpb, s.a), s.v != 0); break;
            case 'L': EXPECT_EQ(sim_dwt_data_access(&dwt, s.a, s.size, false), s.v != 0); break;
            case 'S': EXPECT_EQ(sim_dwt_data_access(&dwt, s.a, s.size, true), s.v != 0); break;
            case 'X': EXPECT_EQ(sim_dwt_instr_match(&dwt, s.a), s.v != 0); break;
            case 'C': sim_dwt_set_trcena(&dwt, s.v != 0); break;
            case 'A': sim_dwt_advance(&dwt, s.v); break;
            case 'P': pc = s.v; break;
            case 'Z': sim_fpb_reset(&fpb); sim_dwt_reset(&dwt); break;
            default: ADD_FAILURE() << "unknown op " << s.op;
            }
        });
    }
};

} // namespace

TEST(PeriphFpb, Version1CtrlKeyReplaceAndCodeRegion) {
    // CTRL: NUM_CODE 6 in bits 7:4, NUM_LIT 2; ENABLE changes only with KEY, which reads 0.
    // COMP = address 28:2 (bit 29 dropped), REPLACE picks the halfword(s),
    // code region only; literal comparators (6, 7) keep no REPLACE and never break.
    DebugBus().run({{'r', FP_CTRL, 0x260}, {'w', FP_CTRL, 1}, {'r', FP_CTRL, 0x260}, {'w', FP_CTRL, 3},
                    {'r', FP_CTRL, 0x261}, {'w', FP_CTRL, 0}, {'r', FP_CTRL, 0x261}, {'r', FPB + 4, 1u << 29},
                    {'w', FP_COMP + 4, 0x48000125}, {'B', 0x08000124, 1}, {'B', 0x08000126, 0},
                    {'w', FP_COMP + 4, 0x88000125}, {'B', 0x08000124, 0}, {'B', 0x08000126, 1},
                    {'w', FP_COMP + 4, 0xC8000125}, {'B', 0x08000124, 1}, {'B', 0x08000126, 1},
                    {'B', 0x08000128, 0}, {'B', 0x08000122, 0}, {'w', FP_COMP + 4, 0x08000125}, {'B', 0x08000124, 0},
                    {'w', FP_COMP + 4, 0xC8000124}, {'B', 0x08000124, 0}, {'r', FP_COMP + 4, 0xC8000124},
                    {'w', FP_COMP, 0xE0000101}, {'r', FP_COMP, 0xC0000101}, {'B', 0x20000100, 0}, {'B', 0x100, 1},
                    {'w', FP_CTRL, 2}, {'r', FP_CTRL, 0x260}, {'B', 0x100, 0}, {'w', FP_CTRL, 3}, {'B', 0x100, 1},
                    {'w', FP_COMP + 24, 0xC0000201}, {'r', FP_COMP + 24, 0x201}, {'w', FP_COMP, 0}, {'B', 0x200, 0},
                    {'w', FP_COMP + 32, 0x301}, {'r', FP_COMP + 32, 0}, {'w', FP_COMP + 8, ~0u},
                    {'r', FP_COMP + 8, 0xDFFFFFFD}, {'Z'}, {'B', 0x1FFFFFFC, 0}, {'r', FP_COMP + 8, 0},
                    {'r', FP_CTRL, 0x260}, {'e', FP_CTRL, 0, 2}, {'x', FP_CTRL + 1, 3, 1}, {'e', FP_CTRL + 2}});
}

TEST(PeriphDwt, PcsrAndCycleCounter) {
    // PCSR reads ~0 while halted and ignores writes; CYCCNT counts only with
    // CYCCNTENA and TRCENA, wraps at 32 bits. NUMCOMP 4 and reserved bits take no writes.
    DebugBus().run({{'r', DW_CTRL, 0x40000000}, {'r', PCSR, ~0u}, {'P', 0, 0x08000400}, {'w', PCSR, 0},
                    {'r', PCSR, 0x08000400}, {'P', 0, 0x08000402}, {'r', PCSR, 0x08000402}, {'P', 0, ~0ull},
                    {'r', PCSR, ~0u}, {'C', 0, 1}, {'A', 0, 100}, {'r', CYCCNT, 0}, {'w', DW_CTRL, 1},
                    {'r', DW_CTRL, 0x40000001}, {'C', 0, 0}, {'A', 0, 100}, {'r', CYCCNT, 0}, {'C', 0, 1},
                    {'A', 0, 100}, {'r', CYCCNT, 100}, {'w', CYCCNT, 0xFFFFFFF0}, {'A', 0, 0x20}, {'r', CYCCNT, 0x10},
                    {'w', DW_CTRL, 0}, {'A', 0, 5}, {'r', CYCCNT, 0x10}, {'w', DW_CTRL, ~0u},
                    {'r', DW_CTRL, 0x407F1FFF}, {'r', DWT + SIM_DWT_CPICNT, 0}, {'Z'}, {'r', DW_CTRL, 0x40000000},
                    {'r', CYCCNT, 0}});
}

TEST(PeriphDwt, WatchpointsMatchByFunctionMaskAndRange) {
    // {FUNCTION, COMP, MASK, address, size, store, hit}: 5 loads, 6 stores, 7 both,
    // 4 instructions only; any byte of the access inside the range, no 32-bit overflow.
    struct Case { uint32_t fn, comp, mask, addr; unsigned size; bool store, hit; };
    const Case cases[] = {
        {6, 0x20000100, 2, 0x20000100, 4, false, false}, {6, 0x20000100, 2, 0x20000103, 1, true, true},
        {6, 0x20000100, 2, 0x20000104, 4, true, false},  {6, 0x20000100, 2, 0x200000FC, 4, true, false},
        {6, 0x20000100, 2, 0x200000FE, 4, true, true},   {5, 0x20000100, 2, 0x20000100, 2, false, true},
        {5, 0x20000100, 2, 0x20000100, 2, true, false},  {7, 0x20000100, 2, 0x20000102, 2, true, true},
        {7, 0x20000100, 2, 0x20000102, 2, false, true},  {0, 0x20000100, 2, 0x20000100, 4, true, false},
        {4, 0x20000100, 2, 0x20000100, 4, false, false}, {7, 0x00000000, 31, 0x7FFFFFFC, 4, true, true},
        {7, 0x00000000, 31, 0x80000000, 4, true, false}, {7, 0x00000000, 31, 0xFFFFFFFF, 1, true, false},
        {7, 0xFFFFFFF0, 4, 0xFFFFFFFE, 4, true, true},
    };
    DebugBus bus;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fn << std::hex << " @" << c.addr);
        bus.run({{'C', 0, 1}, {'w', comp(1), c.comp}, {'w', comp(1) + 4, c.mask}, {'w', comp(1) + 8, c.fn},
                 {c.store ? 'S' : 'L', c.addr, c.hit, c.size}, {'r', comp(1) + 8, c.fn | (c.hit ? MATCHED : 0)},
                 {'r', comp(1) + 8, c.fn}, {'C', 0, 0}, {c.store ? 'S' : 'L', c.addr, 0, c.size}});
    }
    // PC match halfword exact; value/cycle matching (DATAVMATCH, CYCMATCH) is
    // not modelled and reads back unset; MASK is 5 bits.
    bus.run({{'w', comp(2), 0x08000200}, {'w', comp(2) + 8, 4}, {'X', 0x08000200, 0}, {'C', 0, 1},
             {'X', 0x08000201, 1}, {'X', 0x08000202, 0}, {'w', comp(0) + 8, 7u | (1u << 8)}, {'r', comp(0) + 8, 7},
             {'w', comp(0) + 8, 7u | (1u << 7)}, {'r', comp(0) + 8, 7}, {'w', comp(0) + 4, ~0u},
             {'r', comp(0) + 4, 0x1F}, {'w', comp(0), ~0u}, {'r', comp(0), ~0u}});
}

// Raw words as the Cortex-M4 TRM lists them: entries, MEMTYPE, the IDs (PIDR4..7, PIDR0..3, CIDR0..3),
// DWT r0p3 and FPB r0p2; a real STM32F4's table is ST's (JEP106 0x20) and shows the device's part 0x413.
TEST(PeriphRomTable, TheWordsOfTheCortexM4AndStm32f4Tables) {
    DebugBus bus;
    bus.run({{'r', ROM, 0xFFF0F003}, {'r', ROM + 4, 0xFFF02003}, {'r', ROM + 8, 0xFFF03003}, {'r', ROM + 12, 0xFFF01003},
             {'r', ROM + 16, 0xFFF41002}, {'r', ROM + 20, 0xFFF42002}, {'r', ROM + 24, 0}, {'r', ROM + 0xFCC, 1},
             {'r', DWT + 0xFE8, 0x3B}, {'r', FPB + 0xFE8, 0x2B}, {'w', ROM, 0}, {'r', ROM, 0xFFF0F003},
             {'e', ROM + 0xFD0, 0, 1}, {'x', ROM + 2, 0}});
    const uint32_t ids[2][12] = {{0x04, 0, 0, 0, 0xC4, 0xB4, 0x0B, 0x00, 0x0D, 0x10, 0x05, 0xB1},
                                 {0, 0, 0, 0, 0x13, 0x04, 0x0A, 0x00, 0x0D, 0x10, 0x05, 0xB1}};
    for (unsigned t = 0; t < 2; ++t) {
        bus.regions[0].port = sim_rom_port(t ? &bus.st : &bus.m4);
        for (unsigned i = 0; i < 12; ++i) bus.run({{'r', ROM + 0xFD0 + 4 * i, ids[t][i]}});
    }
    bus.run({{'r', ROM, 0xFFF0F003}, {'r', ROM + 0xFCC, 1}});
}
