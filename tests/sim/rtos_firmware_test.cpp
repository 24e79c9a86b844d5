// The FreeRTOS firmware on our board, stopped at fixed places: the values
// there follow from the architecture and the firmware's flow, which ignores time.
#include <bit>

#include "tests/sim/board_helpers_test.h"

namespace {

using namespace board_test;

constexpr uint32_t kFpccrLazy = 0xC0000019;

// A breakpoint at fn + off (the only one), and the words there: globals, FPCCR, "$lr".
struct Stop {
    const char* fn;
    uint32_t off;
    std::vector<std::pair<const char*, uint32_t>> want;
};
const Stop kStops[] = {
    // The consumer (created last) starts and blocks; the producer sends 3 and yields.
    {"consumer_task", 0, {}},
    {"producer_task", 0, {}},
    {"record_value", 0, {{"g_rtos_sent", 3}, {"g_rtos_received", 0}}},
    // PendSV switches the consumer out after it used the FPU: the entry reserves
    // S0-S15/FPSCR lazily (ASPEN, LSPEN, HFRDY, THREAD, LSPACT) and the port's
    // VSTMDB of S16-S31 writes them first (LSPACT clear at the next instruction).
    {"PendSV_Handler", 0, {{"$lr", 0xFFFFFFED}, {"FPCCR", kFpccrLazy}}},
    {"PendSV_Handler", 22, {{"FPCCR", kFpccrLazy & ~1u}}},
};

// Runs with FPB comparator 0 on addr (a halfword: version 1 REPLACE field; 0: off) until halted there.
bool run_to(SimBoard* b, uint32_t addr, uint64_t limit_ns) {
    dbg_write(b, 0xE0002008, addr ? (addr & 0x1FFFFFFCu) | ((addr & 2) ? 2u << 30 : 1u << 30) | 1u : 0);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    for (uint64_t t = 0; t < limit_ns && !sim_board_is_halted(b); t += kMs) sim_board_run(b, kMs);
    return sim_board_is_halted(b) && reg(b, SIM_REG_DEBUG_RETURN) == addr;
}

}  // namespace

TEST(RtosFirmwareBoard, BothTasksRunInOrderAndMessagesArriveIntact) {
    for (const char* v : {"rtos_O0_dwarf4", "rtos_O2_dwarf4"}) {
        SCOPED_TRACE(v);
        const std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/" + v + ".elf";
        auto at = nm_symbols(elf);
        if (at.empty()) GTEST_SKIP() << elf << " or arm-none-eabi-nm missing (FreeRTOS kernel absent?)";
        for (auto& s : at) s.second &= ~1u;
        at["FPCCR"] = 0xE000EF34;
        BoardPtr board = make_board();
        SimBoard* b = board.get();
        char err[128] = "";
        ASSERT_TRUE(sim_board_load_elf_file(b, elf.c_str(), err, sizeof err)) << err;
        sim_board_system_reset(b);
        dbg_write(b, 0xE0002000, 3);  // FP_CTRL: KEY | ENABLE
        auto word = [&](const char* n) { return dbg_read(b, at[n]); };
        uint32_t fpscr = 0;
        for (const Stop& s : kStops) {
            ASSERT_TRUE(run_to(b, at[s.fn] + s.off, 100 * kMs)) << s.fn << " + " << s.off;
            for (const auto& [n, want] : s.want) EXPECT_EQ(n[0] == '$' ? reg(b, SIM_REG_LR) : word(n), want) << n;
            if (s.off) {  // the consumer's S0-S15 and FPSCR (read before the handler's own FP context began)
                const uint32_t fpcar = dbg_read(b, 0xE000EF38);
                EXPECT_EQ(fpcar, reg(b, SIM_REG_PSP) + 0x20);
                EXPECT_EQ(dbg_read(b, fpcar + 0x40), fpscr);
                for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(dbg_read(b, fpcar + 4 * i), reg(b, SIM_REG_S0 + i)) << i;
            }
            fpscr = reg(b, SIM_REG_FPSCR);
        }
        run_to(b, 0, 100 * kMs);  // 100 ms on
        ASSERT_TRUE(run_to(b, at["record_value"], 10 * kMs));
        // Message seq carries the sum of the squares 1..(seq % 8 + 1), plus seq; the
        // float totals stay exact (below 2^24), the producer adds 0.5 per message.
        const uint32_t sent = word("g_rtos_sent"), received = word("g_rtos_received");
        uint32_t sum = 0;
        for (uint32_t seq = 0, k = 1; seq < received; ++seq, k = seq % 8 + 1) sum += k * (k + 1) * (2 * k + 1) / 6 + seq;
        EXPECT_GE(received, 500u);
        EXPECT_LE(sent - received, 4u) << "the queue holds 4";
        EXPECT_EQ(word("g_rtos_sum"), sum) << "a message lost, doubled or reordered";
        EXPECT_EQ(std::bit_cast<float>(word("g_rtos_mean")), (float)sum / (float)received) << "consumer's FP context";
        EXPECT_EQ(std::bit_cast<float>(word("g_rtos_progress")), 0.5f * (float)sent) << "producer's FP context";
        EXPECT_EQ(word("g_rtos_assert_line"), 0u) << "configASSERT failed";
    }
}
