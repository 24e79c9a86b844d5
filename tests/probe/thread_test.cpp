// The probe thread with real threads against the simulated probe and board
// in virtual time: the mailbox rules, polls, watches, losing and finding the
// probe again, and stopping in every state.
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "probe/probe.h"
#include "probe/watch_list.h"
#include "probe_fixture.h"
#include "runctl/step.h"
#include "tests/symbols/oracle.h"

namespace {

class ProbeThread : public ::testing::Test {
protected:
    void start(bool attach = true) {
        rig_ = std::make_unique<SimRig>(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", attach, 4);
        ASSERT_NE(rig_->sys, nullptr) << rig_->err;
        watch_clear();
        runctl_install();
        thread_ = probe_thread_start();
        ASSERT_NE(thread_, nullptr);
    }
    void TearDown() override {
        if (thread_) {
            EXPECT_TRUE(probe_thread_stop_and_wait(thread_));
        }
        thread_ = nullptr;
        probe_set_run_control(nullptr);
        watch_clear();
        rig_.reset();
    }
    uint64_t board_ms() {
        rig_->lock();
        uint64_t t = sim_board_now_ns(rig_->board()) / 1000000;
        rig_->unlock();
        return t;
    }
    bool board_halted() {
        rig_->lock();
        bool h = sim_board_is_halted(rig_->board());
        rig_->unlock();
        return h;
    }
    bool idle() { return g_cmd_busy.load() == 0; }
    std::unique_ptr<SimRig> rig_;
    PlatThread* thread_ = nullptr;
};

ElfVariable global_var(const char* name, uint32_t addr, uint32_t size) {
    ElfVariable v{};
    std::snprintf(v.name, sizeof v.name, "%s", name);
    v.byte_size = size;
    v.loc_kind = VAR_LOC_ADDR;
    v.loc_value = (int32_t)addr;
    return v;
}

}  // namespace

TEST_F(ProbeThread, StartsConnectedToARunningTargetAndStopsCleanly) {
    start();
    for (const char* line : {"[PRB] CMSIS-DAP v2 (Bulk) device opened", "[PRB] Connecting SWD...", "[PRB] Probe connected",
                             "[PRB] Target running at connect"})
        EXPECT_TRUE(log_has(line)) << line;
    EXPECT_TRUE(g_probe_connected.load());
    EXPECT_FALSE(g_is_halted.load());
    EXPECT_TRUE(wait_for([] { return log_has("[PRB] Probe thread started"); }));
    // The idle poll finds the core running and samples its PC instead of
    // reading registers through DCRSR.
    EXPECT_TRUE(wait_for([] { return probe_poll_state() == PS_RUNNING; }));
    EXPECT_TRUE(wait_for([] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return reg_buf_fresh && reg_buf[15] >= 0x08000000u && reg_buf[15] < 0x08100000u;
    }));
    ASSERT_TRUE(probe_thread_stop_and_wait(thread_));
    thread_ = nullptr;
    EXPECT_TRUE(log_has("[PRB] Probe stopped"));
    EXPECT_FALSE(g_probe_connected.load());
}

TEST_F(ProbeThread, HaltPublishesRegistersOnlyOnceTheCoreStopped) {
    start();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    // Halted is set before the registers are read and published.
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return g_is_halted.load() && idle() && reg_buf_fresh;
    }));
    EXPECT_TRUE(board_halted());
    EXPECT_TRUE(log_has("[DBG] Halt: done"));
    // With them xPSR, MSP, PSP, the special register, FPSCR and S0-S31 (the board's M4 has an FPU).
    const unsigned sels[] = {15, 16, 17, 18, 20, 0x21, 0x40, 0x4F, 0x5F};
    const int slots[] = {-1, REG_EXT_XPSR, REG_EXT_MSP, REG_EXT_PSP, REG_EXT_SPECIAL, REG_EXT_FPSCR, REG_EXT_S0,
                         REG_EXT_S0 + 15, REG_EXT_S0 + 31};
    uint32_t board[9] = {};
    rig_->lock();
    for (int i = 0; i < 9; ++i) sim_board_read_core_reg(rig_->board(), sels[i], &board[i]);
    rig_->unlock();
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_TRUE(reg_buf_fresh);
        EXPECT_EQ(reg_buf[15], board[0]);
        ASSERT_EQ(reg_ext_count, (int)REG_EXT_COUNT);
        for (int i = 1; i < 9; ++i) EXPECT_EQ(reg_ext_buf[slots[i]], board[i]) << "selector " << sels[i];
    }
    // A core that ignores the halt request is not reported halted.
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_RESUME, 0));
    ASSERT_TRUE(wait_for([&] { return !g_is_halted.load() && idle(); }));
    rig_->lock();
    sim_board_set_never_halt(rig_->board(), true);
    rig_->unlock();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    ASSERT_TRUE(wait_for([&] { return log_has("[DBG] Halt: failed"); }));
    EXPECT_TRUE(wait_for([&] { return idle(); }));
    EXPECT_FALSE(g_is_halted.load());
}

TEST_F(ProbeThread, OneCommandAtATimeButHaltAndResetAreAlwaysTaken) {
    start();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && idle(); }));
    // Holding the simulator stalls the probe thread inside its next transfer.
    rig_->lock();
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_STEP_ASM, 0));
    EXPECT_FALSE(probe_post_cmd(PROBE_CMD_STEP_ASM, 0));  // busy
    EXPECT_FALSE(probe_post_cmd(PROBE_CMD_RESUME, 0));
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_RESET, 0));
    rig_->unlock();
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[DBG] Reset:"); }));
    EXPECT_TRUE(g_is_halted.load());
    // After every way a command ends, the next one is accepted.
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_STEP_ASM, 0));
    ASSERT_TRUE(wait_for([&] { return idle(); }));
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_STEP, 0));  // not available yet: refused, but not stuck
    ASSERT_TRUE(wait_for([&] { return idle(); }));
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_FLASH, 0));
    ASSERT_TRUE(wait_for([&] { return idle(); }));
    EXPECT_EQ(g_flash_status.load(), FLASH_STATUS_ERROR);
}

TEST_F(ProbeThread, APendingHaltIsNeverReplacedByAnOrdinaryCommand) {
    start();
    ASSERT_TRUE(wait_for([&] { return g_probe_connected.load() && idle(); }));
    // With the board locked the thread blocks in its next transfer: either
    // the poll it is in (the halt then waits in the slot) or the halt it
    // takes (a second one then waits). Either way a halt is pending.
    rig_->lock();
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    if (wait_for([] { return !probe_cmd_pending(); }, 2000)) {
        EXPECT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    }
    EXPECT_TRUE(probe_cmd_pending());
    EXPECT_FALSE(probe_post_cmd(PROBE_CMD_RESUME, 0));
    EXPECT_EQ(g_cmd_busy.load(), 1) << "the pending halt is the busy command until it is done";
    rig_->unlock();
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && idle(); }));
    EXPECT_TRUE(board_halted());
}

TEST_F(ProbeThread, WatchedGlobalsAreRefreshedWhileTheTargetRuns) {
    uint32_t addr = nm_symbols(KORVANE_DEMO_FW_DIR "/demo_O2_dwarf4.elf")["g_tick_count"];
    ASSERT_NE(addr, 0u);
    start();
    ElfVariable v = global_var("g_tick_count", addr, 4);
    ASSERT_TRUE(watch_add(&v));
    ElfVariable bad = global_var("nowhere", 0x60000000, 4);
    ASSERT_TRUE(watch_add(&bad));
    uint32_t first = 0;
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        first = watch_val_buf[0];
        return first != 0 && watch_val_buf[1] == 0xFFFFFFFF;
    }));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_buf[0] > first;  // SysTick counts on while we watch
    }));
    EXPECT_FALSE(g_is_halted.load());
}

// Sizes 1 to 64 at every alignment, some across words, an unreadable one
// among them: each value is what the image holds at that flash address; a
// pointer's watch also gets the bytes it points at.
TEST_F(ProbeThread, WatchedGlobalsOfEverySizeAndAlignmentReadWhatMemoryHolds) {
    FILE* f = std::fopen(KORVANE_DEMO_FW_DIR "/demo_O2_dwarf4.bin", "rb");
    ASSERT_NE(f, nullptr);
    static uint8_t image[65536];
    size_t image_size = std::fread(image, 1, sizeof image, f);
    ASSERT_GE(image_size, 256u);
    std::fclose(f);
    start();
    const struct {
        uint32_t offset, size;
    } cases[] = {{1, 1},  {3, 2},  {6, 4},  {16, 4}, {0, 0},  {21, 1},  {22, 2},
                 {31, 4}, {40, 3}, {45, 8}, {48, 8}, {53, 6}, {65, 33}, {128, 64}, {300, 100}, {301, 200}};
    int n = 0;
    for (const auto& c : cases) {
        char name[16];
        std::snprintf(name, sizeof name, "w%d", n++);
        ElfVariable v = c.size ? global_var(name, 0x08000000 + c.offset, c.size) : global_var(name, 0x60000000, 4);
        ASSERT_TRUE(watch_add(&v));
    }
    watch_toggle_expanded(n - 1);  // the last case reads whole: an expanded watch reads up to 256 bytes
    ElfVariable reset = global_var("reset_vector", 0x08000004, 4);  // points into the image's code
    reset.deref = 12;
    ASSERT_TRUE(watch_add(&reset));
    ++n;
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_id[n - 1] == g_watch[n - 1].id;
    }));
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (int i = 0; i < n; ++i) {
        if (i == n - 1) {
            uint32_t at = watch_val_buf[i] - 0x08000000;
            ASSERT_TRUE(at < image_size - 12 && watch_val_deref_len[i] == 12) << std::hex << watch_val_buf[i];
            EXPECT_EQ(memcmp(watch_val_deref[i], image + at, 12), 0) << "the bytes it points at";
            continue;
        }
        if (!cases[i].size) {
            EXPECT_FALSE(watch_val_valid[i]) << "nothing answers at 0x60000000";
            continue;
        }
        uint64_t want = 0;
        for (uint32_t b = 0; b < cases[i].size && b < 8; ++b) want |= (uint64_t)image[cases[i].offset + b] << (8 * b);
        EXPECT_TRUE(watch_val_valid[i]) << i;
        EXPECT_EQ((uint64_t)watch_val_hi[i] << 32 | watch_val_buf[i], want)
            << "offset " << cases[i].offset << " size " << cases[i].size;
        uint32_t read = std::min<uint32_t>(cases[i].size, i == n - 2 ? 256 : 64);
        EXPECT_EQ(watch_val_len[i], read) << i;
        EXPECT_EQ(memcmp(watch_val_bytes[i], image + cases[i].offset, read), 0) << "whole value " << i;
    }
}

TEST_F(ProbeThread, ALocalWatchHaltsTheCoreBrieflyAndResumesIt) {
    start();
    ElfVariable local{};
    std::snprintf(local.name, sizeof local.name, "frame_word");
    local.byte_size = 4;
    local.loc_kind = VAR_LOC_FBREG;
    local.loc_value = 0;
    ASSERT_TRUE(watch_add(&local));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_buf[0] != 0 && watch_val_buf[0] != 0xFFFFFFFF;
    }));
    ASSERT_TRUE(wait_for([&] { return !g_watch_halting.load() && !board_halted(); }));
    EXPECT_FALSE(g_is_halted.load());
}

// A constant is its value without a read; an expression is evaluated on the
// halted core's registers (SP + 4 here); one the evaluator refuses is an error.
TEST_F(ProbeThread, ConstantsArePublishedAndExpressionsComputedOnTheCore) {
    start();
    ElfVariable k{}, sp{}, entry{};
    std::snprintf(k.name, sizeof k.name, "k");
    k.byte_size = 8;
    k.loc_kind = VAR_LOC_CONST;
    k.const_value = 0x0123456789ABCDEFull;
    std::snprintf(sp.name, sizeof sp.name, "sp_plus_4");
    sp.byte_size = 4;
    sp.loc_kind = VAR_LOC_EXPR;
    const uint8_t breg13_4[] = {0x7D, 0x04, 0x9F}, entry_value[] = {0xA3, 0x01, 0x50, 0x9F};
    std::memcpy(sp.expr, breg13_4, sizeof breg13_4);
    sp.expr_len = sizeof breg13_4;
    entry = sp;
    std::snprintf(entry.name, sizeof entry.name, "entry");
    std::memcpy(entry.expr, entry_value, sizeof entry_value);
    entry.expr_len = sizeof entry_value;
    ASSERT_TRUE(watch_add(&k));
    ASSERT_TRUE(watch_add(&sp));
    ASSERT_TRUE(watch_add(&entry));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return watch_val_id[2] == g_watch[2].id && watch_val_valid[1];
    }));
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_TRUE(watch_val_valid[0]);
    EXPECT_EQ(watch_val_state[0], WATCH_VAL_OK);
    EXPECT_EQ((uint64_t)watch_val_hi[0] << 32 | watch_val_buf[0], 0x0123456789ABCDEFull);
    EXPECT_EQ(watch_val_state[1], WATCH_VAL_OK);
    EXPECT_GE(watch_val_buf[1], 0x20000004u) << "SP + 4 lies in RAM";
    EXPECT_LE(watch_val_buf[1], 0x20020004u);
    EXPECT_EQ(watch_val_buf[1] % 4, 0u);
    EXPECT_FALSE(watch_val_valid[2]);
    EXPECT_EQ(watch_val_state[2], WATCH_VAL_READ_ERR);
}

TEST_F(ProbeThread, ALostProbeIsReportedOnceAndFoundAgainOnTheBackOff) {
    start();
    ASSERT_TRUE(wait_for([] { return log_has("[PRB] Probe thread started"); }));
    // Lost in the middle of a command, and back 7 s later in the board's time
    // (virtual time runs as fast as the probe thread: nothing here may wait
    // for a passing state). Re-open attempts at +0, +2, +6, +14 s find it at +14 s.
    rig_->lock();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_STEP_ASM, 0));
    sim_usb_unplug(rig_->usb());
    const uint64_t lost_at = sim_board_now_ns(rig_->board()) / 1000000;
    sim_usb_replug_at(rig_->usb(), (lost_at + 7000) * 1000000);
    rig_->unlock();
    ASSERT_TRUE(wait_for([] { return log_count_of("[PRB] Probe connected") == 2 && g_probe_connected.load(); }));
    rig_->lock();
    const uint64_t found_at = rig_->usb()->opened_at_ns / 1000000;
    rig_->unlock();
    EXPECT_GE(found_at, lost_at + 13800);
    EXPECT_LE(found_at, lost_at + 14600);
    EXPECT_EQ(log_count_of("[PRB] Probe disconnected"), 1);
    EXPECT_TRUE(wait_for([&] { return idle(); })) << "the lost command stays busy";
    EXPECT_FALSE(g_stepping.load());
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    EXPECT_TRUE(wait_for([&] { return g_is_halted.load() && idle(); }));
}

TEST_F(ProbeThread, WithoutAProbeItSaysSoAndStillStops) {
    start(false);
    EXPECT_TRUE(log_has("[PRB] No CMSIS-DAP probe found"));
    EXPECT_TRUE(log_has("[PRB] Check: probe plugged in? Driver installed?"));
    EXPECT_FALSE(g_probe_connected.load());
    EXPECT_TRUE(probe_post_cmd(PROBE_CMD_RESUME, 0));
    EXPECT_TRUE(wait_for([&] { return idle(); }));
}

TEST_F(ProbeThread, StopDuringACommandWaitsForItAndReleasesEverything) {
    start();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_RESET, 0));
    ASSERT_TRUE(probe_thread_stop_and_wait(thread_));
    thread_ = nullptr;
    EXPECT_TRUE(log_has("[PRB] Probe stopped"));
    EXPECT_FALSE(g_probe_connected.load());
    EXPECT_FALSE(g_dap_ctx.open);
    // Posting after the stop is refused instead of signalling a freed event.
    EXPECT_FALSE(probe_post_cmd(PROBE_CMD_HALT, 0));
}

namespace {
ProbeWrite mem_write(uint32_t addr, const std::vector<uint8_t>& bytes, uint64_t mask = 0) {
    ProbeWrite w{};
    w.kind = PROBE_WRITE_MEM;
    w.addr = addr;
    w.len = (uint32_t)bytes.size();
    std::memcpy(w.data, bytes.data(), bytes.size());
    w.mask = mask;
    std::snprintf(w.label, sizeof w.label, "[TEST] 0x%08X", addr);
    return w;
}
}  // namespace

// Writes from the window while the core runs: each byte of a 16-byte zone of
// free RAM is written once, by accesses of every size and alignment, a
// masked write keeps the bits outside its mask, and watches read it all back.
TEST_F(ProbeThread, MemoryWritesWhileRunningChangeExactlyTheirBytes) {
    start();
    ASSERT_TRUE(wait_for([&] { return g_probe_connected.load() && idle() && probe_poll_state() == PS_RUNNING; }));
    const uint32_t base = 0x20010001;  // unaligned on purpose, far from data and stack
    auto post = [&](const ProbeWrite& w) {
        ASSERT_TRUE(wait_for([&] { return idle(); }));
        ASSERT_TRUE(probe_post_write(&w));
        ASSERT_TRUE(wait_for([&] { return idle(); }));
    };
    std::vector<uint8_t> zone(16);
    for (int i = 0; i < 16; ++i) zone[i] = (uint8_t)(0xA0 + i);
    post(mem_write(base, zone));
    const struct {
        uint32_t offset;
        std::vector<uint8_t> bytes;
    } parts[] = {{0, {0x11}}, {1, {0x22, 0x33}}, {3, {0x44, 0x55, 0x66}}, {7, {1, 2, 3, 4, 5, 6, 7, 8}}};
    for (const auto& p : parts) {
        post(mem_write(base + p.offset, p.bytes));
        for (size_t k = 0; k < p.bytes.size(); ++k) zone[p.offset + k] = p.bytes[k];
    }
    // Bits 4-6 of the byte at +15: the rest of it stays as it was.
    post(mem_write(base + 15, {0x50}, 0x70));
    zone[15] = (uint8_t)((zone[15] & ~0x70) | 0x50);
    EXPECT_EQ(probe_poll_state(), PS_RUNNING) << "a memory write leaves the core running";
    ElfVariable lo = global_var("lo", base, 8), hi = global_var("hi", base + 8, 8);
    ASSERT_TRUE(watch_add(&lo));
    ASSERT_TRUE(watch_add(&hi));
    uint64_t want[2] = {};
    for (int i = 0; i < 16; ++i) want[i / 8] |= (uint64_t)zone[i] << (8 * (i % 8));
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < 2; ++i)
            if (watch_val_id[i] != g_watch[i].id || ((uint64_t)watch_val_hi[i] << 32 | watch_val_buf[i]) != want[i]) return false;
        return true;
    }));
    EXPECT_FALSE(log_has("reads back")) << "every write read back as written";
}

// Core registers: refused while the core runs, written and read back once it
// is halted (R0, S3 by its float bits, CONTROL's byte of the special register).
TEST_F(ProbeThread, RegisterWritesWaitForAHaltAndReadBack) {
    start();
    ASSERT_TRUE(wait_for([&] { return g_probe_connected.load() && idle() && probe_poll_state() == PS_RUNNING; }));
    ProbeWrite w{};
    w.kind = PROBE_WRITE_REG;
    w.addr = 0;
    w.len = 4;
    w.data[0] = 0x78, w.data[1] = 0x56, w.data[2] = 0x34, w.data[3] = 0x12;
    std::snprintf(w.label, sizeof w.label, "[REG] R0");
    ASSERT_TRUE(probe_post_write(&w));
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[REG] R0: registers are written only while the target is halted"); }));
    EXPECT_FALSE(board_halted());
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_HALT, 0));
    ASSERT_TRUE(wait_for([&] { return g_is_halted.load() && idle(); }));
    ASSERT_TRUE(probe_post_write(&w));
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[REG] R0 = 0x12345678 written"); }));
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_EQ(reg_buf[0], 0x12345678u) << "published with the next registers";
    }
    w.addr = 0x43;  // S3 = 1.5f
    uint32_t bits = 0x3FC00000;
    std::memcpy(w.data, &bits, 4);
    std::snprintf(w.label, sizeof w.label, "[REG] S3");
    ASSERT_TRUE(probe_post_write(&w));
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[REG] S3 = 0x3FC00000 written"); }));
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        ASSERT_EQ(reg_ext_count, (int)REG_EXT_COUNT);
        EXPECT_EQ(reg_ext_buf[REG_EXT_S0 + 3], bits);
    }
    // BASEPRI (bits 8-15 of the special register) alone: PRIMASK and the rest stay.
    uint32_t special_before;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        special_before = reg_ext_buf[REG_EXT_SPECIAL];
    }
    w.addr = 20;
    uint32_t v = 0x40u << 8;
    std::memcpy(w.data, &v, 4);
    w.mask = 0xFF00;
    std::snprintf(w.label, sizeof w.label, "[REG] BASEPRI");
    ASSERT_TRUE(probe_post_write(&w));
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[REG] BASEPRI = 0x"); }));
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    EXPECT_EQ(reg_ext_buf[REG_EXT_SPECIAL], (special_before & ~0xFF00u) | 0x4000u);
}
