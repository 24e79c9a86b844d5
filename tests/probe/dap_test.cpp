// The probe stack without its thread, on the simulated probe and board through
// the USB seam. What each access costs is in bench/.
#include <vector>

#include "probe_fixture.h"

TEST(ProbeMatching, EachKindOfProbeIsFoundPastDevicesThatAreNotProbes) {
    // hid, vid, pid, product, interface, class, open fails: the locked one is a known probe we may not open (no udev rule).
    SimUsbDecoy decoys[] = {{false, 0x046D, 0xC52B, "USB Receiver", "Receiver", 0x03, false},
                            {false, 0x1234, 0x0001, "Vendor gadget", "Vendor bulk", 0xFF, false},
                            {false, 0x0D28, 0x0204, "Locked", "CMSIS-DAP v2", 0xFF, true},
                            {true, 0x046D, 0xC31C, "USB Keyboard", "", 0, false}};
    for (SimUsbKind kind : {SimUsbKind::V1Hid, SimUsbKind::V2Bulk512}) {
        SCOPED_TRACE(kind_name(kind));
        SimRig rig(kind);
        ASSERT_NE(rig.sys, nullptr) << rig.err;
        for (SimUsbDecoy& d : decoys) sim_usb_host_add_decoy(&rig.host, &d);
        const bool v2 = kind != SimUsbKind::V1Hid;
        EXPECT_TRUE(v2 || !dap_open_v2(0, 0)) << "the v1 probe has no bulk interface";
        DapContext* ctx = rig_open(kind);
        ASSERT_NE(ctx, nullptr);
        EXPECT_TRUE(ctx->is_v2 == v2 && dap_cmd_swj_clock(ctx, 1000000));
        EXPECT_TRUE(v2 || rig.host.counters.hid_opens == 1) << "the keyboard was never opened";
        if (!v2) continue;
        EXPECT_TRUE(ctx->bulk_ep_out == 0x01 && ctx->bulk_ep_in == 0x81);
        EXPECT_TRUE(log_has("[DAPv2] CMSIS-DAP interface found: iface=0 str=\"Korvane Sim CMSIS-DAP v2\""));
        dap_close(ctx);
        EXPECT_FALSE(ctx->open);
        // IDs that name another device: the bulk path still takes the probe by its product string, HID does not.
        ASSERT_NE(ctx = dap_open_v2(0x1111, 0x2222), nullptr);
        dap_close(ctx);
        EXPECT_EQ(dap_open(0x1111, 0x2222), nullptr);
    }
}

// HID's 64-byte reports: what does not fit one is refused before anything is
// sent; a lost answer is given up after 2 s of board time and reported once.
TEST(PacketLimits, OversizeCommandsAreRefusedAndALostAnswerTimesOut) {
    SimRig rig(SimUsbKind::V1Hid);
    DapContext* ctx = dap_open(0, 0);
    ASSERT_NE(ctx, nullptr);
    ctx->pkt_out[1] = 0x11;
    EXPECT_FALSE(dap_io(ctx, 65));
    DapXfer reads[16];
    for (auto& x : reads) x = DapXfer{0x0F, 0};
    EXPECT_TRUE(!dap_transfer_fits(ctx, reads, 16) && dap_transfer_fits(ctx, reads, 15));
    EXPECT_EQ(dap_transfer_n(ctx, reads, 16, nullptr), -1);
    EXPECT_EQ(rig.usb()->counters.exchanges, 0u);
    SimUsbFaults f{};
    f.drop_next_response = true;
    sim_usb_set_faults(rig.usb(), &f);
    const uint64_t t0 = sim_board_now_ns(rig.board());
    EXPECT_FALSE(dap_cmd_swj_clock(ctx, 1000000));
    const uint64_t waited = sim_board_now_ns(rig.board()) - t0;
    EXPECT_TRUE(waited >= 2000000000ull && waited < 2100000000ull) << waited;
    EXPECT_TRUE(dap_is_disconnected());
    EXPECT_FALSE(dap_is_disconnected()) << "reported once";
}

// Stale answers a bulk probe still holds: drained at open; before a write's answer
// dropped (the write is never sent twice); other commands are sent again.
TEST(BulkRecovery, StaleAnswersAreDrainedOrPumpedPastAndNoWriteIsRepeated) {
    SimRig rig(SimUsbKind::V2Bulk512);
    const uint8_t old_clock[] = {0x05, 0x01, 0x01}, old_echo[] = {0x00, 0x02, 0x40, 0x00};
    auto inject = [&](const uint8_t* a, size_t n) {
        rig.lock();
        sim_usb_inject_stale(rig.usb(), a, n);
        const uint64_t x = rig.usb()->counters.exchanges;
        rig.unlock();
        return x;
    };
    inject(old_clock, sizeof old_clock);
    inject(old_clock, sizeof old_clock);
    DapContext* ctx = dap_open_v2(0, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(dap_cmd_swj_clock(ctx, 1000000));
    EXPECT_FALSE(log_has("IN mismatch"));
    ASSERT_TRUE(dap_connect(ctx, 1000000, false));
    uint64_t before = inject(old_echo, sizeof old_echo);
    ASSERT_TRUE(dap_write_mem32(ctx, 0x20000100, 0xCAFEF00D));
    EXPECT_TRUE(log_has("[DAP] draining stale echo=0x00 before WRITE reply (attempt 0)"));
    EXPECT_EQ(rig.usb()->counters.exchanges - before, 1u);
    before = inject(old_echo, sizeof old_echo);
    ASSERT_TRUE(dap_cmd_swj_clock(ctx, 4000000));
    EXPECT_TRUE(log_has("[DAP] re-sending OUT to pump FIFO (attempt 0)"));
    EXPECT_EQ(rig.usb()->counters.exchanges - before, 2u);
    uint32_t v = 0;  // the resend's extra answer is still queued: the next commands pump past it too
    ASSERT_TRUE(dap_cmd_swj_clock(ctx, 4000000));
    dap_sync_pipeline(ctx);
    EXPECT_TRUE(dap_read_mem32(ctx, 0x20000100, &v));
    EXPECT_EQ(v, 0xCAFEF00Du);
}

namespace {

class Dap : public ::testing::TestWithParam<SimUsbKind> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<SimRig>(GetParam());
        ASSERT_NE(rig_->sys, nullptr) << rig_->err;
    }
    void connect(bool halt = true) { ASSERT_NE(c_ = rig_->connect(halt), nullptr); }
    std::unique_ptr<SimRig> rig_;
    DapContext* c_ = nullptr;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 13 + (i >> 8));
    return v;
}

}  // namespace

TEST_P(Dap, BlocksWordsAndRegistersReadAndWriteWhatTheBoardHolds) {
    connect();
    // Blocks starting just below 1 KB auto-increment boundaries, at odd word offsets, up to 64 KB.
    const uint32_t cases[][2] = {{0x20000000, 4},    {0x200003FC, 8},    {0x200003F4, 100},  {0x20000404, 1020},
                                 {0x200007F8, 2056}, {0x20001004, 4096}, {0x20002000, 65536}};
    uint8_t seed = 1;
    for (auto [addr, len] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << addr << " len " << std::dec << len);
        std::vector<uint8_t> data = pattern(len, seed++), back(len), other = pattern(len, (uint8_t)(seed + 100));
        ASSERT_TRUE(dap_write_mem_block(c_, addr, data.data(), len) && sim_board_read_mem(rig_->board(), addr, back.data(), len));
        EXPECT_EQ(back, data);
        ASSERT_TRUE(sim_board_write_mem(rig_->board(), addr, other.data(), len) && dap_read_mem_block(c_, addr, back.data(), len));
        EXPECT_EQ(back, other);
    }
    uint8_t b[8];  // whole words only
    EXPECT_TRUE(!dap_read_mem_block(c_, 0x20000000, b, 6) && !dap_read_mem_block(c_, 0x20000002, b, 8));
    EXPECT_TRUE(dap_read_mem_block(c_, 0x20000000, b, 0));
    // Single words; a FAULT answer leaves a sticky error the next access must clear.
    uint32_t v = 0, regs[16];
    ASSERT_TRUE(dap_write_mem32(c_, 0x20000010, 0x11223344) && rig_->word(0x20000010) == 0x11223344u);
    EXPECT_FALSE(dap_read_mem32(c_, 0x60000000, &v));  // nothing mapped
    EXPECT_TRUE(dap_read_mem32(c_, 0x20000010, &v) && v == 0x11223344u) << std::hex << v;
    ASSERT_TRUE(dap_read_regs(c_, regs));
    for (unsigned i = 0; i < 16; ++i) EXPECT_EQ(regs[i], rig_->reg(i)) << "R" << i;
}

// Stores and polls in as few packets as fit: each lands in order, a poll the
// probe's value match cannot satisfy stops the script there (its rereads stay
// on its own address: the next word holds what it waits for), and a store
// that faults ends it as a failure.
TEST_P(Dap, MemoryScriptsRunInOrderAndStopAtAPollThatNeverMatches) {
    connect();
    const uint32_t base = 0x20004000;
    std::vector<uint8_t> zero(0x1000, 0);
    ASSERT_TRUE(sim_board_write_mem(rig_->board(), base, zero.data(), zero.size()));
    ASSERT_TRUE(dap_write_mem32(c_, base + 0x24, 0xAA));
    std::vector<DapMemOp> ops = {
        {DAP_MEMOP_WRITE32, base, 1, 0},
        {DAP_MEMOP_WRITE16, base + 0x12, 0xBEEF, 0},
        {DAP_MEMOP_POLL32, base, 1, 0xFF},
        {DAP_MEMOP_WRITE32, base + 4, 5, 0},
        {DAP_MEMOP_POLL32, base + 0x20, 0xAA, 0xFF},  // never: 0x24 holds 0xAA
        {DAP_MEMOP_WRITE32, base + 8, 7, 0},
    };
    int done = -1;
    ASSERT_TRUE(dap_mem_ops(c_, ops.data(), (int)ops.size(), &done));
    EXPECT_EQ(done, 4);
    EXPECT_EQ(rig_->word(base), 1u);
    EXPECT_EQ(rig_->word(base + 0x10), 0xBEEF0000u);
    EXPECT_EQ(rig_->word(base + 4), 5u);
    EXPECT_EQ(rig_->word(base + 8), 0u) << "nothing after the poll that stopped";
    // Enough for several packets, every poll matching; then a store that faults.
    ops.clear();
    for (uint32_t i = 0; i < 300; ++i) {
        ops.push_back({DAP_MEMOP_WRITE32, base + 0x100 + 4 * i, i * 3 + 1, 0});
        ops.push_back({DAP_MEMOP_POLL32, base + 0x100 + 4 * i, i * 3 + 1, 0xFFFFFFFF});
    }
    ASSERT_TRUE(dap_mem_ops(c_, ops.data(), (int)ops.size(), &done));
    EXPECT_EQ(done, (int)ops.size());
    for (uint32_t i = 0; i < 300; i += 37) EXPECT_EQ(rig_->word(base + 0x100 + 4 * i), i * 3 + 1);
    ops = {{DAP_MEMOP_WRITE32, base, 9, 0}, {DAP_MEMOP_WRITE32, 0x60000000, 1, 0}, {DAP_MEMOP_WRITE32, base + 4, 9, 0}};
    EXPECT_FALSE(dap_mem_ops(c_, ops.data(), 3, &done));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(rig_->word(base + 4), 5u);
    uint32_t v = 0;
    EXPECT_TRUE(dap_read_mem32(c_, base, &v) && v == 9u) << "the next access works";
}

// WAIT is retried ten times and no more (the probe retries 150 itself, so 151 make one
// WAIT answer); a FAULT inside a block is retried from the block's own TAR write.
TEST_P(Dap, WaitAndFaultAnswersAreRetriedAsFarAsAllowed) {
    connect();
    const struct {
        uint32_t waits, fault_at, len;
        bool write, ok;
    } rows[] = {{151 * 10, 0, 4, false, true}, {151 * 11, 0, 4, false, false}, {0, 0, 4, false, true},
                {0, 40, 4096, false, true},    {0, 60, 4096, true, true}};
    uint8_t seed = 7;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.waits << " waits, fault at " << r.fault_at);
        std::vector<uint8_t> data = pattern(r.len, seed++), got(r.len);
        ASSERT_TRUE(r.write || sim_board_write_mem(rig_->board(), 0x20003000, data.data(), r.len));
        SimSwdFaults f{};
        f.wait_next = r.waits, f.fault_at = r.fault_at;
        sim_swd_arm_faults(&rig_->probe()->swd, &f);
        EXPECT_EQ(r.write ? dap_write_mem_block(c_, 0x20003000, data.data(), r.len)
                  : r.len == 4 ? dap_read_mem32(c_, 0x20003000, (uint32_t*)got.data())
                               : dap_read_mem_block(c_, 0x20003000, got.data(), r.len),
                  r.ok);
        ASSERT_TRUE(!r.write || sim_board_read_mem(rig_->board(), 0x20003000, got.data(), r.len));
        EXPECT_TRUE(!r.ok || got == data);
    }
    EXPECT_GE(rig_->probe()->dap.counters.faults, 2u);
}

// Blocks keep as many packets in flight as the probe says it buffers (one
// more would be refused): a FAULT or a WAIT past the probe's retries in the
// middle is done again and the memory ends exact; an answer lost at any depth
// fails the block and reports the probe lost, never a success.
TEST_P(Dap, BlocksInFlightRecoverFromTargetErrorsAndNeverHideALostAnswer) {
    const uint32_t addr = 0x20002000, len = 8192;
    const struct {
        const char* name;
        uint8_t packets;     // the probe's packet count
        SimSwdFaults swd;    // armed before the block
        uint16_t lost;       // the answer to this command of the block is lost (1 = the first)
        bool write;
        uint32_t waits_from = 0;  // the WAITs start at this SWD transaction of the block
        bool stale = false;       // an old answer to another command waits in the probe
    } rows[] = {
        {"one packet at a time", 1, {}, 0, true},  {"two in flight", 2, {}, 0, false},
        {"eight in flight", 8, {}, 0, true},       {"FAULT in the third packet", 4, {0, 200, 0, 0}, 0, true},
        {"FAULT late, reading", 4, {0, 1500, 0, 0}, 0, false},
        {"WAIT past the retries at the start", 4, {151, 0, 0, 0}, 0, true},
        {"WAIT past the retries, reading", 4, {151, 0, 0, 0}, 0, false},
        {"WAIT past the retries deep in the block", 4, {151, 0, 0, 0}, 0, true, 300},
        {"first answer lost", 4, {}, 1, true},     {"second answer lost", 4, {}, 2, true},
        {"fourth answer lost", 4, {}, 4, false},   {"answer lost deep in the block", 4, {}, 9, true},
        {"last answer lost", 2, {}, 0xFFFF, false},
        {"an old answer to another command first", 4, {}, 0, false, 0, true},
    };
    uint8_t seed = 40;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        SimRig rig(GetParam());
        ASSERT_NE(rig.sys, nullptr);
        rig.probe()->dap.cfg.packet_count = r.packets;
        DapContext* c = rig.connect(true);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->packet_count, r.packets);
        const std::vector<uint8_t> data = pattern(len, seed++), old = pattern(len, seed++);
        std::vector<uint8_t> got(len);
        ASSERT_TRUE(sim_board_write_mem(rig.board(), addr, (r.write ? old : data).data(), len));
        // TAR left pointing into other memory: a packet that stores where TAR
        // has got to must never be sent behind one whose TAR write was refused.
        const uint32_t elsewhere = addr - 0x400;
        const std::vector<uint8_t> kept = pattern(256, 9);
        uint32_t word = 0;
        ASSERT_TRUE(sim_board_write_mem(rig.board(), elsewhere, kept.data(), kept.size()) &&
                    dap_read_mem32(c, elsewhere, &word));
        const uint64_t x0 = rig.usb()->counters.exchanges;
        SimUsbFaults uf{};
        uf.drop_nth_response = r.lost;
        if (r.lost == 0xFFFF) {  // the block's own last command: counted on a run without faults
            ASSERT_TRUE(dap_read_mem_block(c, addr, got.data(), len));
            uf.drop_nth_response = uint16_t(rig.usb()->counters.exchanges - x0);
        }
        sim_usb_set_faults(rig.usb(), &uf);
        sim_swd_arm_faults_from(&rig.probe()->swd, &r.swd, r.waits_from);
        const uint8_t old_clock[] = {0x11, 0x00};
        ASSERT_TRUE(!r.stale || sim_usb_inject_stale(rig.usb(), old_clock, sizeof old_clock));
        const bool ok = r.write ? dap_write_mem_block(c, addr, data.data(), len) : dap_read_mem_block(c, addr, got.data(), len);
        if (r.lost || r.stale) {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(dap_is_disconnected()) << "reported as a lost probe";
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_FALSE(dap_is_disconnected());
        ASSERT_TRUE(!r.write || sim_board_read_mem(rig.board(), addr, got.data(), len));
        EXPECT_TRUE(got == data);
        std::vector<uint8_t> after(kept.size());
        ASSERT_TRUE(sim_board_read_mem(rig.board(), elsewhere, after.data(), after.size()));
        EXPECT_TRUE(after == kept) << "nothing stored outside the block";
        if (r.swd.fault_at || r.swd.wait_next) continue;
        // No command more than the data needs: one TAR write a packet, plus the connect's CSW.
        const uint64_t words = len / 4, per = GetParam() == SimUsbKind::V2Bulk512 ? (r.write ? 101 : 127) : (r.write ? 11 : 15);
        EXPECT_TRUE(r.packets == 1 || rig.usb()->counters.exchanges - x0 <= (words + per - 1) / per + 1)
            << rig.usb()->counters.exchanges - x0;
    }
}

// A sleeping SWD port is woken by the dormant sequence on the third attempt;
// the connect leaves the core running and DWT_PCSR sampling it.
TEST_P(Dap, ConnectWakesASleepingPortAndLeavesTheCoreRunning) {
    rig_->probe()->swd.line = SimSwdLine::Dormant;
    connect(false);
    // 3 reads x 2 line-reset attempts
    EXPECT_TRUE(log_count_of("[DAP] DPIDR attempt") == 6 && log_has("[DAP] OK: DPIDR=0x2BA01477"));
    EXPECT_EQ(dap_get_state(c_), DAP_STATE_RUNNING);
    uint32_t pc = 0;
    EXPECT_TRUE(dap_read_mem32(c_, DAP_DWT_PCSR, &pc) && pc >= 0x08000000u && pc < 0x08100000u) << std::hex << pc;
    dap_disconnect(c_);
    EXPECT_EQ(rig_->word(DAP_DHCSR) & 1u, 0u) << "C_DEBUGEN off";
}

// The Cortex-M4's unit has six instruction comparators; its two literal
// comparators never match an instruction, so a seventh breakpoint is refused.
TEST_P(Dap, BreakpointsTakeOnlyTheComparatorsTheUnitHas) {
    connect();
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(dap_set_bp(c_, 0x08000200 + 4 * i), i < 6) << i;
    EXPECT_TRUE(log_has("[FPB] All 6 comparators are in use: no breakpoint at 0x08000218"));
    EXPECT_TRUE(dap_clear_bp(c_, 0x08000204) && dap_set_bp(c_, 0x08000218));
    EXPECT_EQ(dap_fpb_comparator(1), 0x08000218u) << "the freed comparator";
}

INSTANTIATE_TEST_SUITE_P(Kinds, Dap, ::testing::Values(SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64),
                         [](const auto& i) { return std::string(kind_name(i.param)); });
