// The probe thread against the simulated probe and board in virtual time.
// Waits are for states, never for time passing.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "probe/watch_list.h"
#include "tests/runctl/board_run.h"
#include "tests/test_util.h"

namespace {

bool idle() { return g_cmd_busy.load() == 0; }
uint32_t published_pc() {
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    return reg_buf_fresh ? reg_buf[15] : 0;
}

ElfVariable var(const char* name, VarLocKind kind, uint32_t size, int32_t loc = 0) {
    ElfVariable v{};
    std::snprintf(v.name, sizeof v.name, "%s", name);
    v.byte_size = size, v.loc_kind = kind, v.loc_value = loc;
    return v;
}

ProbeWrite write_of(ProbeWriteKind kind, uint32_t addr, const std::vector<uint8_t>& bytes, uint64_t mask, const char* label) {
    ProbeWrite w{};
    w.kind = kind, w.addr = addr, w.len = (uint32_t)bytes.size(), w.mask = mask;
    std::memcpy(w.data, bytes.data(), bytes.size());
    std::snprintf(w.label, sizeof w.label, "%s", label);
    return w;
}

class ProbeThread : public ::testing::Test {
protected:
    void SetUp() override {
        watch_clear();
        b_ = std::make_unique<BoardRun>("demo_O2_dwarf4.elf");
        ASSERT_TRUE(b_->ok()) << b_->rig.err;
    }
    void TearDown() override {
        EXPECT_TRUE(!b_ || b_->stop());
        watch_clear();
    }
    bool board_halted() {
        std::lock_guard<SimRig> lk(b_->rig);
        return sim_board_is_halted(b_->rig.board());
    }
    bool post(int cmd) { return wait_for(idle) && probe_post_cmd(cmd, 0) && wait_for(idle); }
    bool post(const ProbeWrite& w) { return wait_for(idle) && probe_post_write(&w) && wait_for(idle); }
    std::unique_ptr<BoardRun> b_;
};

}  // namespace

// The idle poll samples a running PC (no DCRSR reads). Halt and reset are always
// taken, and a pending halt is never replaced by an ordinary command.
TEST_F(ProbeThread, OneCommandAtATimeButHaltAndResetAreAlwaysTaken) {
    EXPECT_TRUE(log_has("[PRB] Target running at connect") && !g_is_halted.load());
    EXPECT_TRUE(wait_for([] { return idle() && probe_poll_state() == PS_RUNNING && published_pc() >> 20 == 0x080; }));
    // Holding the simulator stalls the probe thread inside its next transfer: a
    // poll (the first halt then waits in the slot) or the first halt (the second waits).
    auto posts = [](std::initializer_list<std::pair<int, bool>> cmds) {
        for (auto [cmd, taken] : cmds) EXPECT_EQ(probe_post_cmd(cmd, 0), taken) << cmd;
    };
    b_->rig.lock();
    posts({{PROBE_CMD_HALT, true}, {PROBE_CMD_HALT, true}, {PROBE_CMD_RESUME, false}});
    EXPECT_TRUE(probe_cmd_pending() && g_cmd_busy.load() == 1) << "the pending halt is the busy command until it is done";
    b_->rig.unlock();
    ASSERT_TRUE(wait_for([] { return g_is_halted.load() && idle() && published_pc(); }));
    EXPECT_TRUE(board_halted() && log_has("[DBG] Halt: done"));
    // PC, xPSR, MSP, PSP, the special register, FPSCR and S0-S31 (the board's M4 has an FPU).
    const int slots[][2] = {{15, -1},  {16, REG_EXT_XPSR},  {17, REG_EXT_MSP},       {18, REG_EXT_PSP},
                            {20, REG_EXT_SPECIAL}, {0x21, REG_EXT_FPSCR}, {0x40, REG_EXT_S0}, {0x5F, REG_EXT_S0 + 31}};
    for (auto [sel, slot] : slots) {
        const uint32_t board = b_->rig.reg((unsigned)sel);
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        EXPECT_EQ(slot < 0 ? reg_buf[sel] : reg_ext_buf[slot], board) << "selector " << sel;
    }
    b_->rig.lock();
    posts({{PROBE_CMD_STEP_ASM, true}, {PROBE_CMD_STEP_ASM, false}, {PROBE_CMD_RESUME, false}, {PROBE_CMD_HALT, true},
           {PROBE_CMD_RESET, true}});
    b_->rig.unlock();
    ASSERT_TRUE(wait_for([&] { return idle() && log_has("[DBG] Reset:") && g_is_halted.load(); }));
    // After every way a command ends, the next one is accepted.
    for (int cmd : {PROBE_CMD_STEP_ASM, PROBE_CMD_STEP, PROBE_CMD_FLASH, PROBE_CMD_RESUME}) EXPECT_TRUE(post(cmd)) << cmd;
    EXPECT_EQ(g_flash_status.load(), FLASH_STATUS_ERROR);
    b_->rig.lock();
    sim_board_set_never_halt(b_->rig.board(), true);
    b_->rig.unlock();
    ASSERT_TRUE(post(PROBE_CMD_HALT));
    EXPECT_TRUE(log_has("[DBG] Halt: failed") && !g_is_halted.load());
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_RESET, 0) && b_->stop());
    EXPECT_TRUE(log_has("[PRB] Probe stopped") && !g_probe_connected.load() && !g_dap_ctx.open);
    EXPECT_FALSE(probe_post_cmd(PROBE_CMD_HALT, 0)) << "posted after the stop: refused, no freed event signalled";
}

// Every kind of watch at once while the core runs: globals of sizes 1 to 200 at
// every alignment (an expanded one read up to 256 bytes, the others 64), the
// bytes a pointer points at, a constant, SP + 4, an unmapped address, and a
// local, which halts the core briefly and resumes it.
TEST_F(ProbeThread, WatchesOfEveryKindReadWhatTheTargetHolds) {
    const std::vector<uint8_t> image = read_binary_file(KORVANE_DEMO_FW_DIR "/demo_O2_dwarf4.bin");  // what the flash holds
    ASSERT_GE(image.size(), 1024u);
    const uint32_t globals[][2] = {{1, 1}, {3, 2}, {6, 4}, {16, 4}, {31, 4}, {40, 3}, {45, 8}, {53, 6}, {65, 33}, {301, 200}};
    const int r = (int)std::size(globals);  // the watches after the globals start here
    for (auto [offset, size] : globals) {
        ElfVariable v = var(std::to_string(offset).c_str(), VAR_LOC_ADDR, size, (int32_t)(0x08000000 + offset));
        ASSERT_TRUE(watch_add(&v));
    }
    watch_toggle_expanded(r - 1);
    ElfVariable reset = var("reset_vector", VAR_LOC_ADDR, 4, 0x08000004), k = var("k", VAR_LOC_CONST, 8),
                sp = var("sp_plus_4", VAR_LOC_EXPR, 4), nowhere = var("nowhere", VAR_LOC_ADDR, 4, 0x60000000),
                local = var("frame_word", VAR_LOC_FBREG, 4);
    reset.deref = 12;
    k.const_value = 0x0123456789ABCDEFull;
    const uint8_t breg13_4[] = {0x7D, 0x04, 0x9F};
    std::memcpy(sp.expr, breg13_4, sp.expr_len = sizeof breg13_4);
    for (ElfVariable* v : {&reset, &k, &sp, &nowhere, &local}) ASSERT_TRUE(watch_add(v));
    const int n = r + 5;
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        for (int i = 0; i < n; ++i)
            if (watch_val_id[i] != g_watch[i].id) return false;
        return watch_val_valid[n - 1] && watch_val_valid[r + 2];
    }));
    ASSERT_TRUE(wait_for([&] { return !g_watch_halting.load() && !board_halted() && !g_is_halted.load(); }))
        << "the local's halt is undone";
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (int i = 0; i < r; ++i) {
        auto [offset, size] = globals[i];
        SCOPED_TRACE(testing::Message() << "offset " << offset << " size " << size);
        uint64_t want = 0;
        for (uint32_t b = 0; b < size && b < 8; ++b) want |= (uint64_t)image[offset + b] << (8 * b);
        const uint32_t read = std::min<uint32_t>(size, i == r - 1 ? 256 : 64);
        EXPECT_TRUE(watch_val_valid[i] && watch_val_len[i] == read && !memcmp(watch_val_bytes[i], &image[offset], read));
        EXPECT_EQ((uint64_t)watch_val_hi[i] << 32 | watch_val_buf[i], want);
    }
    const uint32_t at = watch_val_buf[r] - 0x08000000;
    ASSERT_TRUE(at < image.size() - 12 && watch_val_deref_len[r] == 12) << std::hex << watch_val_buf[r];
    EXPECT_EQ(memcmp(watch_val_deref[r], &image[at], 12), 0) << "the bytes the reset vector points at";
    EXPECT_TRUE(watch_val_state[r + 1] == WATCH_VAL_OK && watch_val_hi[r + 1] == 0x01234567u && watch_val_buf[r + 1] == 0x89ABCDEFu);
    const uint32_t sp4 = watch_val_buf[r + 2];
    EXPECT_TRUE(watch_val_state[r + 2] == WATCH_VAL_OK && sp4 >= 0x20000004u && sp4 <= 0x20020004u && sp4 % 4 == 0)
        << "SP + 4 lies in RAM: " << std::hex << sp4;
    EXPECT_TRUE(!watch_val_valid[r + 3] && watch_val_state[r + 3] == WATCH_VAL_READ_ERR);
    EXPECT_NE(watch_val_buf[r + 4], 0xFFFFFFFFu) << "the local was read";
    for (int i : {0, r, r + 4}) EXPECT_TRUE(watch_val_t[i] > 0 && watch_val_live[i]) << i << ": read from a running core";
}

TEST_F(ProbeThread, ALostProbeIsReportedOnceAndFoundAgainOnTheBackOff) {
    // Lost in the middle of a command, back 7 s later in board time: only the probe
    // thread moves that clock, so the re-opens fall at +2, +6 and +14 s on any machine.
    ASSERT_TRUE(post(PROBE_CMD_HALT));
    b_->rig.lock();
    ASSERT_TRUE(probe_post_cmd(PROBE_CMD_STEP_ASM, 0));
    sim_usb_unplug(b_->rig.usb());
    const uint64_t lost_at = sim_board_now_ns(b_->rig.board()) / 1000000;
    sim_usb_replug_at(b_->rig.usb(), (lost_at + 7000) * 1000000);
    b_->rig.unlock();
    ASSERT_TRUE(wait_for([] { return log_count_of("[PRB] Probe connected") == 2 && g_probe_connected.load(); }));
    b_->rig.lock();
    const uint64_t found_at = b_->rig.usb()->opened_at_ns / 1000000;
    b_->rig.unlock();
    EXPECT_TRUE(found_at >= lost_at + 14000 && found_at <= lost_at + 14400) << found_at - lost_at;
    EXPECT_EQ(log_count_of("[PRB] Probe disconnected"), 1);
    EXPECT_TRUE(wait_for(idle) && !g_stepping.load()) << "the lost command stays busy";
    EXPECT_TRUE(post(PROBE_CMD_HALT) && g_is_halted.load());
}

// Writes from the window: memory of every size and alignment while the core runs,
// registers refused until it is halted; a masked write keeps the other bits.
TEST_F(ProbeThread, WritesChangeExactlyTheirBitsAndRegistersWaitForAHalt) {
    ASSERT_TRUE(wait_for([&] { return idle() && probe_poll_state() == PS_RUNNING; }));
    ASSERT_TRUE(post(write_of(PROBE_WRITE_REG, 0, {1, 2, 3, 4}, 0, "[REG] R0")));
    EXPECT_TRUE(log_has("[REG] R0: registers are written only while the target is halted") && !board_halted());
    const uint32_t base = 0x20010001;  // unaligned on purpose, far from data and stack
    const ProbeWriteKind mem = PROBE_WRITE_MEM, reg = PROBE_WRITE_REG;
    const struct {
        ProbeWriteKind kind;
        uint32_t addr;
        std::vector<uint8_t> bytes;
        uint64_t mask;
    } rows[] = {{mem, base, std::vector<uint8_t>(16, 0xA5), 0}, {mem, base, {0x11}, 0}, {mem, base + 1, {0x22, 0x33}, 0},
                {mem, base + 3, {0x44, 0x55, 0x66}, 0},          {mem, base + 7, {1, 2, 3, 4, 5, 6, 7, 8}, 0},
                {mem, base + 15, {0x50}, 0x70},                   {reg, 0, {0x78, 0x56, 0x34, 0x12}, 0},
                {reg, 0x43, {0, 0, 0xC0, 0x3F}, 0},  // S3 = 1.5f
                {reg, 20, {0, 0x40, 0, 0}, 0xFF00}};  // BASEPRI alone in the special register
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.addr << " " << r.bytes.size());
        if (r.kind == reg && !g_is_halted) {
            EXPECT_EQ(probe_poll_state(), PS_RUNNING) << "memory writes leave the core running";
            ASSERT_TRUE(post(PROBE_CMD_HALT));
        }
        auto now = [&] {
            std::vector<uint8_t> v;
            for (uint32_t i = 0, a = r.addr + i; i < r.bytes.size(); a = r.addr + ++i)
                v.push_back((uint8_t)((r.kind == mem ? b_->rig.word(a & ~3u) >> 8 * (a & 3) : b_->rig.reg(r.addr) >> 8 * i)));
            return v;
        };
        std::vector<uint8_t> want = now();
        for (size_t i = 0; i < want.size(); ++i) {
            const uint8_t m = r.mask ? (uint8_t)(r.mask >> 8 * i) : 0xFF;
            want[i] = (uint8_t)((want[i] & ~m) | (r.bytes[i] & m));
        }
        ASSERT_TRUE(post(write_of(r.kind, r.addr, r.bytes, r.mask, "[TEST]")));
        EXPECT_EQ(now(), want);
    }
    EXPECT_FALSE(log_has("reads back")) << "every write read back as written";
}
