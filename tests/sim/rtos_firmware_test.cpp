// The FreeRTOS firmware stopped at the same places on our board and (KORVANE_QEMU_TESTS)
// on QEMU under gdb, which vouches for the values: the firmware's flow ignores time.
#include <bit>
#include <cstdlib>

#include "tests/sim/board_helpers_test.h"
#include "tests/sim/qemu_gdb.h"

namespace {

using namespace board_test;

const char* const kVariants[] = {"rtos_O0_dwarf4", "rtos_O2_dwarf4"};
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
// Consistent at a later record_value call.
const char* const kTotals[] = {"g_rtos_sent", "g_rtos_received", "g_rtos_sum",
                               "g_rtos_mean", "g_rtos_progress", "g_rtos_assert_line"};

std::string elf_path(const char* variant) { return std::string(KORVANE_DEMO_FW_DIR) + "/" + variant + ".elf"; }
std::map<std::string, uint32_t> addresses(const char* variant) {
    auto syms = nm_symbols(elf_path(variant));
    for (auto& s : syms) s.second &= ~1u;
    if (!syms.empty()) syms["FPCCR"] = 0xE000EF34;
    return syms;
}

// The words read at each stop in table order, then kTotals. Message seq carries
// the sum of the squares 1..(seq % 8 + 1), plus seq; the float totals stay exact
// (below 2^24), the producer adds 0.5 per message.
void expect_values(const std::vector<uint32_t>& got, uint32_t min_received) {
    auto g = got.begin();
    for (const Stop& s : kStops)
        for (const auto& [name, want] : s.want) EXPECT_EQ(*g++, want) << name;
    const uint32_t sent = g[0], received = g[1];
    uint32_t sum = 0;
    for (uint32_t seq = 0; seq < received; ++seq) {
        const uint32_t k = seq % 8 + 1;
        sum += k * (k + 1) * (2 * k + 1) / 6 + seq;
    }
    EXPECT_GE(received, min_received);
    EXPECT_LE(sent - received, 4u) << "the queue holds 4";
    EXPECT_EQ(g[2], sum) << "a message lost, doubled or reordered";
    EXPECT_EQ(std::bit_cast<float>(g[3]), (float)sum / (float)received) << "consumer's FP context";
    EXPECT_EQ(std::bit_cast<float>(g[4]), 0.5f * (float)sent) << "producer's FP context";
    EXPECT_EQ(g[5], 0u) << "configASSERT failed";
}

}  // namespace

#ifdef KORVANE_QEMU_TESTS

TEST(RtosFirmwareQemu, BothTasksRunAndTheConsumerCountsMessages) {
    if (!qemu_gdb_available()) GTEST_SKIP() << "qemu-system-arm or gdb-multiarch not on PATH";
    for (const char* v : kVariants) {
        SCOPED_TRACE(v);
        auto at = addresses(v);
        if (at.empty()) GTEST_SKIP() << elf_path(v) << " or arm-none-eabi-nm missing (FreeRTOS kernel absent?)";
        // Each breakpoint deleted before the next continue: gdb never steps off one
        // (QEMU may end such a step with nothing run, a second hit of the same).
        std::vector<QemuGdbOp> ops;
        char label[8];
        auto stop_at = [&](const std::string& where, const std::string& name) {
            ops.insert(ops.end(), {{"delete"}, {"break", where}, {"continue", "", 0, name}});
        };
        auto print = [&](const std::string& n) {  // labels in the order of the values
            std::snprintf(label, sizeof label, "v%02zu", ops.size());
            ops.push_back({"print", n[0] == '$' ? n : "*(unsigned *)" + std::to_string(at[n]), 0, label});
        };
        for (const Stop& st : kStops) {
            stop_at("*" + std::to_string(at[st.fn] + st.off), "s" + std::to_string(&st - kStops));
            for (const auto& w : st.want) print(w.first);
        }
        stop_at("*record_value if g_rtos_received == 100", "");
        for (const char* n : kTotals) print(n);
        QemuGdbRec r;
        std::string err;
        ASSERT_TRUE(qemu_gdb_ops(elf_path(v), ops, &r, &err)) << err;
        for (const Stop& st : kStops) EXPECT_EQ(r["s" + std::to_string(&st - kStops)], std::vector<uint32_t>{at[st.fn] + st.off});
        std::vector<uint32_t> got;
        for (const auto& [l, words] : r)
            if (l[0] == 'v') got.insert(got.end(), words.begin(), words.end());
        expect_values(got, 100);
    }
}

#else

// Runs with FPB comparator 0 on addr (a halfword: version 1 REPLACE field; 0: off) until halted there.
bool run_to(SimBoard* b, uint32_t addr, uint64_t limit_ns) {
    dbg_write(b, 0xE0002008, addr ? (addr & 0x1FFFFFFCu) | ((addr & 2) ? 2u << 30 : 1u << 30) | 1u : 0);
    dhcsr(b, SIM_DHCSR_C_DEBUGEN);
    for (uint64_t t = 0; t < limit_ns && !sim_board_is_halted(b); t += kMs) sim_board_run(b, kMs);
    return sim_board_is_halted(b) && reg(b, SIM_REG_DEBUG_RETURN) == addr;
}

TEST(RtosFirmwareBoard, BothTasksRunInOrderAndMessagesArriveIntact) {
    for (const char* v : kVariants) {
        SCOPED_TRACE(v);
        auto at = addresses(v);
        if (at.empty()) GTEST_SKIP() << elf_path(v) << " or arm-none-eabi-nm missing (FreeRTOS kernel absent?)";
        BoardPtr board = make_board();
        SimBoard* b = board.get();
        char err[128] = "";
        ASSERT_TRUE(sim_board_load_elf_file(b, elf_path(v).c_str(), err, sizeof err)) << err;
        sim_board_system_reset(b);
        dbg_write(b, 0xE0002000, 3);  // FP_CTRL: KEY | ENABLE
        uint32_t fpscr = 0;
        std::vector<uint32_t> got;
        for (const Stop& s : kStops) {
            ASSERT_TRUE(run_to(b, at[s.fn] + s.off, 100 * kMs)) << s.fn << " + " << s.off;
            for (const auto& [n, want] : s.want) got.push_back(n[0] == '$' ? reg(b, SIM_REG_LR) : dbg_read(b, at[n]));
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
        for (const char* n : kTotals) got.push_back(dbg_read(b, at[n]));
        expect_values(got, 500);
    }
}

#endif
