// The FreeRTOS firmware (sim/firmware/rtos) runs at -O0 and -O2: on our
// simulated board (rtos_unit_tests, FPB breakpoints through the debug port)
// and on QEMU's netduinoplus2 under gdb (rtos_qemu_tests). Both must stop in
// the same order, because the firmware's control flow ignores time.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "tests/sim/qemu_gdb.h"

#ifndef KORVANE_QEMU_TESTS
#include "tests/sim/board_helpers_test.h"
#endif

namespace {

const char* const kVariants[] = {"rtos_O0_dwarf4", "rtos_O2_dwarf4"};
constexpr uint32_t kQueueLength = 4;
// The first three stops with breakpoints at these entries: the consumer
// starts (created last) and blocks, the producer sends 3 and yields.
const char* const kFirstStops[] = {"consumer_task", "producer_task", "record_value"};
constexpr uint32_t kSentAtFirstRecord = 3;
// The next PendSV switches the consumer out, after it used the FPU: the
// entry reserves S0-S15/FPSCR lazily (FPCCR: ASPEN, LSPEN, HFRDY, THREAD,
// LSPACT; FPCAR = frame + 0x20) and the port's VSTMDB of S16-S31 writes
// them first (LSPACT clear at the STMDB after it, 22 bytes in).
constexpr uint32_t kFpccr = 0xE000EF34, kFpcar = 0xE000EF38, kFpccrLazy = 0xC0000019, kPendSvAfterVstm = 22;

std::string elf_path(const char* variant) { return std::string(KORVANE_DEMO_FW_DIR) + "/" + variant + ".elf"; }

// arm-none-eabi-nm -S: name -> {address without the Thumb bit, size}.
std::map<std::string, std::pair<uint32_t, uint32_t>> nm_sizes(const std::string& elf) {
    std::map<std::string, std::pair<uint32_t, uint32_t>> m;
    std::string out;
    int code = -1;
    if (!qemu_gdb_capture({"arm-none-eabi-nm", "-S", elf}, 30000, &out, &code) || code != 0) return m;
    std::istringstream in(out);
    unsigned addr = 0, size = 0;
    char type = 0, name[128];
    for (std::string line; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "%x %x %c %127s", &addr, &size, &type, name) == 4) m[name] = {addr & ~1u, size};
    return m;
}

// Messages 0..n-1 summed, from the values the firmware defines: sum of the
// squares 1..(seq % 8 + 1), plus seq.
uint32_t expected_sum(uint32_t n) {
    uint32_t sum = 0;
    for (uint32_t seq = 0; seq < n; ++seq) {
        const uint32_t k = seq % 8 + 1;
        sum += k * (k + 1) * (2 * k + 1) / 6 + seq;
    }
    return sum;
}

// The consumer's float total is exact here (below 2^24), so its mean is
// the correctly rounded quotient; the producer adds 0.5 per message.
void expect_consistent(uint32_t sent, uint32_t received, uint32_t sum, float mean, float progress) {
    EXPECT_LE(received, sent);
    EXPECT_LE(sent - received, kQueueLength);
    EXPECT_EQ(sum, expected_sum(received)) << "a message lost, doubled or reordered";
    EXPECT_EQ(mean, static_cast<float>(sum) / static_cast<float>(received)) << "consumer's FP context";
    EXPECT_EQ(progress, 0.5f * static_cast<float>(sent)) << "producer's FP context";
}

}  // namespace

#ifdef KORVANE_QEMU_TESTS

TEST(RtosFirmwareQemu, BothTasksRunAndTheConsumerCountsMessages) {
    if (!qemu_gdb_available()) GTEST_SKIP() << "qemu-system-arm or gdb-multiarch not on PATH";
    constexpr uint32_t kAt = 100;  // the record_value call that sees this many messages already counted
    // (stepping off that conditional breakpoint may repeat a hit: harmless, the condition is re-read)
    for (const char* v : kVariants) {
        SCOPED_TRACE(v);
        auto syms = nm_sizes(elf_path(v));
        if (syms.empty()) GTEST_SKIP() << elf_path(v) << " or arm-none-eabi-nm missing (FreeRTOS kernel absent?)";
        using Op = QemuGdbOp;
        QemuGdbScript s{elf_path(v), {}, 60000};
        // One breakpoint at a time, each gone before the next continue: gdb
        // then never steps off one, and QEMU may end such a step without
        // executing anything (an interrupt pending meanwhile), which gdb
        // shows as the same breakpoint hit twice.
        for (const char* fn : kFirstStops) {
            s.steps.push_back({Op::Delete});
            s.steps.push_back({Op::Break, std::string("*") + fn});
            s.steps.push_back({Op::Continue});
        }
        size_t prints = 0;
        auto print = [&](const std::string& what) {
            s.steps.push_back({Op::Print, what});
            return prints++;
        };
        const size_t sent0 = print("g_rtos_sent"), received0 = print("g_rtos_received");
        const std::string pendsv = std::to_string(syms["PendSV_Handler"].first);
        s.steps.push_back({Op::Delete});
        s.steps.push_back({Op::Break, "*" + pendsv});
        s.steps.push_back({Op::Continue});
        const size_t lr = print("/x $lr"), fpccr_entry = print("/x *(unsigned *)" + std::to_string(kFpccr));
        s.steps.push_back({Op::Delete});
        s.steps.push_back({Op::Break, "*(" + pendsv + " + " + std::to_string(kPendSvAfterVstm) + ")"});
        s.steps.push_back({Op::Continue});
        const size_t fpccr_after = print("/x *(unsigned *)" + std::to_string(kFpccr));
        s.steps.push_back({Op::Delete});
        s.steps.push_back({Op::Break, "*record_value if g_rtos_received == " + std::to_string(kAt)});
        s.steps.push_back({Op::Continue});
        const size_t at = print("g_rtos_sent");
        for (const char* g : {"g_rtos_received", "g_rtos_sum", "g_rtos_mean", "g_rtos_progress", "g_rtos_assert_line"})
            print(g);
        QemuGdbResult r;
        ASSERT_TRUE(qemu_gdb_run(s, &r)) << r.error << "\n" << r.transcript;
        ASSERT_EQ(r.stops.size(), std::size(kFirstStops) + 3);
        for (size_t i = 0; i < std::size(kFirstStops); ++i)
            EXPECT_EQ(r.stops[i].pc, syms[kFirstStops[i]].first) << "stop " << i << " not at " << kFirstStops[i];
        EXPECT_EQ(r.stops.back().pc, syms["record_value"].first);
        auto u = [&](size_t i) { return static_cast<uint32_t>(std::strtoul(r.prints[i].c_str(), nullptr, 0)); };
        auto f = [&](size_t i) { return std::strtof(r.prints[i].c_str(), nullptr); };
        EXPECT_EQ(u(sent0), kSentAtFirstRecord);
        EXPECT_EQ(u(received0), 0u);
        EXPECT_EQ(u(lr), 0xFFFFFFEDu) << "the consumer's switch-out, with an FP frame";
        EXPECT_EQ(u(fpccr_entry), kFpccrLazy);
        EXPECT_EQ(u(fpccr_after), kFpccrLazy & ~1u);
        EXPECT_EQ(u(at + 1), kAt);
        expect_consistent(u(at), u(at + 1), u(at + 2), f(at + 3), f(at + 4));
        EXPECT_EQ(u(at + 5), 0u) << "configASSERT failed";
    }
}

#else

using namespace board_test;

// FPB comparator n on a halfword (FPB version 1 REPLACE field), or off.
void fpb_break(SimBoard* b, unsigned n, uint32_t addr) {
    dbg_write(b, 0xE0002008 + 4 * n, addr ? (addr & 0x1FFFFFFCu) | ((addr & 2) ? 2u << 30 : 1u << 30) | 1u : 0);
}
bool run_to_halt(SimBoard* b, uint64_t limit_ns) {
    for (uint64_t t = 0; t < limit_ns && !sim_board_is_halted(b); t += kMs) sim_board_run(b, kMs);
    return sim_board_is_halted(b);
}
void resume(SimBoard* b) { dhcsr(b, SIM_DHCSR_C_DEBUGEN); }

TEST(RtosFirmwareBoard, BothTasksRunInOrderAndMessagesArriveIntact) {
    for (const char* v : kVariants) {
        SCOPED_TRACE(v);
        const std::string elf = elf_path(v);
        auto syms = nm_sizes(elf);
        if (syms.empty()) GTEST_SKIP() << elf << " or arm-none-eabi-nm missing (FreeRTOS kernel absent?)";
        auto at = [&](const char* name) { return syms[name].first; };
        BoardPtr board = make_board();
        SimBoard* b = board.get();
        char err[128] = "";
        ASSERT_TRUE(sim_board_load_elf_file(b, elf.c_str(), err, sizeof err)) << err;
        sim_board_system_reset(b);
        dhcsr(b, SIM_DHCSR_C_DEBUGEN);
        dbg_write(b, 0xE0002000, 3);  // FP_CTRL: KEY | ENABLE
        for (unsigned i = 0; i < std::size(kFirstStops); ++i) fpb_break(b, i, at(kFirstStops[i]));
        for (unsigned i = 0; i < std::size(kFirstStops); ++i) {
            ASSERT_TRUE(run_to_halt(b, 100 * kMs)) << "never reached " << kFirstStops[i];
            EXPECT_EQ(reg(b, SIM_REG_DEBUG_RETURN), at(kFirstStops[i])) << "stop " << i;
            fpb_break(b, i, 0);  // each is met once before the next
            if (i + 1 < std::size(kFirstStops)) resume(b);
        }
        EXPECT_EQ(dbg_read(b, at("g_rtos_sent")), kSentAtFirstRecord);
        EXPECT_EQ(dbg_read(b, at("g_rtos_received")), 0u);

        fpb_break(b, 0, at("PendSV_Handler"));
        resume(b);
        ASSERT_TRUE(run_to_halt(b, 10 * kMs));
        expect_words(b, {{SIM_REG_LR, 0xFFFFFFEDu}, {kFpccr, kFpccrLazy}, {kFpcar, reg(b, SIM_REG_PSP) + 0x20}});
        // The handler's first FP instruction starts its own context (FPSCR
        // from FPDSCR): the consumer's FPSCR is the one read here.
        const uint32_t fpscr = reg(b, SIM_REG_FPSCR), fpcar = dbg_read(b, kFpcar);
        fpb_break(b, 0, at("PendSV_Handler") + kPendSvAfterVstm);
        resume(b);
        ASSERT_TRUE(run_to_halt(b, kMs));
        expect_words(b, {{kFpccr, kFpccrLazy & ~1u}, {fpcar + 0x40, fpscr}});
        for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(dbg_read(b, fpcar + 4 * i), reg(b, SIM_REG_S0 + i)) << "S" << i;
        fpb_break(b, 0, 0);

        // 100 ms on, stopped where the consumer's globals are consistent.
        const uint64_t t0 = sim_board_now_ns(b);
        const uint32_t tick0 = dbg_read(b, at("xTickCount"));
        resume(b);
        sim_board_run(b, 100 * kMs);
        fpb_break(b, 0, at("record_value"));
        ASSERT_TRUE(run_to_halt(b, 10 * kMs));
        const uint32_t received = dbg_read(b, at("g_rtos_received"));
        EXPECT_GT(received, 500u);
        const uint32_t mean = dbg_read(b, at("g_rtos_mean")), progress = dbg_read(b, at("g_rtos_progress"));
        expect_consistent(dbg_read(b, at("g_rtos_sent")), received, dbg_read(b, at("g_rtos_sum")),
                          std::bit_cast<float>(mean), std::bit_cast<float>(progress));
        // SysTick keeps the kernel's time at 1 kHz, though nothing uses it.
        EXPECT_NEAR(dbg_read(b, at("xTickCount")) - tick0, (sim_board_now_ns(b) - t0) / 1e6, 2.0);
        expect_words(b, {{at("g_rtos_assert_line"), 0}, {CFSR, 0}, {HFSR, 0}});
        EXPECT_FALSE(sim_board_is_locked_up(b));
    }
}

#endif
