// Target memory and DP/AP access through the probe, checked against the
// board's memory through a back door, and what each access costs in USB exchanges.
#include <cstring>
#include <vector>

#include "probe_fixture.h"

namespace {

class Mem : public ::testing::TestWithParam<SimUsbKind> {
protected:
    void SetUp() override {
        rig_ = std::make_unique<SimRig>(GetParam());
        ASSERT_NE(rig_->sys, nullptr) << rig_->err;
        ctx_ = rig_open(GetParam());
        ASSERT_NE(ctx_, nullptr);
        ASSERT_TRUE(dap_connect(ctx_, 1000000, false));
        ASSERT_TRUE(dap_halt(ctx_));
    }
    uint64_t exchanges() {
        rig_->lock();
        uint64_t n = rig_->usb()->counters.exchanges;
        rig_->unlock();
        return n;
    }
    void arm(const SimSwdFaults& f) {
        rig_->lock();
        sim_swd_arm_faults(&rig_->probe()->swd, &f);
        rig_->unlock();
    }
    std::unique_ptr<SimRig> rig_;
    DapContext* ctx_ = nullptr;
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 13 + (i >> 8));
    return v;
}

}  // namespace

TEST_P(Mem, BlocksOfEverySizeLandAtTheirAddressesAcrossAutoIncrementBoundaries) {
    struct Case {
        uint32_t addr;
        uint32_t len;
    };
    // Starts just below 1 KB boundaries, odd word offsets, up to 64 KB.
    const Case cases[] = {{0x20000000, 4},    {0x200003FC, 8},    {0x200003F4, 100},  {0x20000404, 1020},
                          {0x200007F8, 2056}, {0x20001004, 4096}, {0x20002000, 65536}};
    uint8_t seed = 1;
    for (const Case& c : cases) {
        std::vector<uint8_t> data = pattern(c.len, seed++);
        ASSERT_TRUE(dap_write_mem_block(ctx_, c.addr, data.data(), c.len)) << std::hex << c.addr;
        std::vector<uint8_t> back(c.len);
        ASSERT_TRUE(sim_board_read_mem(rig_->board(), c.addr, back.data(), c.len));
        EXPECT_EQ(back, data) << "write at 0x" << std::hex << c.addr << " len " << std::dec << c.len;
        std::vector<uint8_t> other = pattern(c.len, (uint8_t)(seed + 100));
        ASSERT_TRUE(sim_board_write_mem(rig_->board(), c.addr, other.data(), c.len));
        std::vector<uint8_t> got(c.len);
        ASSERT_TRUE(dap_read_mem_block(ctx_, c.addr, got.data(), c.len));
        EXPECT_EQ(got, other) << "read at 0x" << std::hex << c.addr << " len " << std::dec << c.len;
    }
    uint8_t b[8];
    EXPECT_FALSE(dap_read_mem_block(ctx_, 0x20000000, b, 6));
    EXPECT_FALSE(dap_read_mem_block(ctx_, 0x20000002, b, 8));
    EXPECT_TRUE(dap_read_mem_block(ctx_, 0x20000000, b, 0));
}

TEST_P(Mem, SingleWordsAndTheExchangesTheyCost) {
    ASSERT_TRUE(dap_write_mem32(ctx_, 0x20000010, 0x11223344));
    uint32_t v = 0;
    ASSERT_TRUE(sim_board_read_mem(rig_->board(), 0x20000010, &v, 4));
    EXPECT_EQ(v, 0x11223344u);
    ap_cache_invalidate(ctx_);
    uint64_t e0 = exchanges();
    ASSERT_TRUE(dap_read_mem32(ctx_, 0x20000010, &v));
    EXPECT_EQ(v, 0x11223344u);
    // SELECT, CSW, TAR and DRW ride in one packet; afterwards only TAR and DRW.
    EXPECT_EQ(exchanges() - e0, 1u);
    e0 = exchanges();
    ASSERT_TRUE(dap_read_mem32(ctx_, 0xE0042000, &v));
    EXPECT_EQ(v, 0x10076413u);  // DBGMCU_IDCODE of an STM32F405
    EXPECT_EQ(exchanges() - e0, 1u);
    EXPECT_FALSE(dap_read_mem32(ctx_, 0x60000000, &v));  // nothing mapped: FAULT x4
    EXPECT_TRUE(dap_read_mem32(ctx_, 0x20000010, &v));   // sticky error cleared, CSW rewritten
    EXPECT_EQ(v, 0x11223344u);
}

TEST_P(Mem, WaitAnswersAreRetriedTenTimesAndNoMore) {
    uint32_t v = 0;
    ASSERT_TRUE(sim_board_write_mem(rig_->board(), 0x20000020, "\x78\x56\x34\x12", 4));
    ASSERT_TRUE(dap_read_mem32(ctx_, 0x20000020, &v));
    // The probe itself retries WAIT 150 times per transfer (TransferConfigure);
    // 151 WAITs make one WAIT answer for the host.
    SimSwdFaults f{};
    f.wait_next = 151 * 10;
    arm(f);
    v = 0;
    EXPECT_TRUE(dap_read_mem32(ctx_, 0x20000020, &v));
    EXPECT_EQ(v, 0x12345678u);
    f.wait_next = 151 * 11;
    arm(f);
    EXPECT_FALSE(dap_read_mem32(ctx_, 0x20000020, &v));
    arm(SimSwdFaults{});
    EXPECT_TRUE(dap_read_mem32(ctx_, 0x20000020, &v));
}

TEST_P(Mem, AFaultMidBlockIsRetriedFromTheBlocksOwnTarWrite) {
    std::vector<uint8_t> data = pattern(4096, 7);
    ASSERT_TRUE(sim_board_write_mem(rig_->board(), 0x20003000, data.data(), data.size()));
    SimSwdFaults f{};
    f.fault_at = 40;  // somewhere inside the DRW reads of a packet
    arm(f);
    std::vector<uint8_t> got(4096);
    ASSERT_TRUE(dap_read_mem_block(ctx_, 0x20003000, got.data(), 4096));
    EXPECT_EQ(got, data);
    rig_->lock();
    uint64_t faults = rig_->probe()->dap.counters.faults;
    rig_->unlock();
    EXPECT_GE(faults, 1u);
    f.fault_at = 60;
    arm(f);
    std::vector<uint8_t> w = pattern(4096, 9);
    ASSERT_TRUE(dap_write_mem_block(ctx_, 0x20003000, w.data(), 4096));
    ASSERT_TRUE(sim_board_read_mem(rig_->board(), 0x20003000, got.data(), 4096));
    EXPECT_EQ(got, w);
}

TEST_P(Mem, SelectCacheFollowsOnlyWritesThatWentThrough) {
    uint32_t v;
    ASSERT_TRUE(dap_read_mem32(ctx_, 0x20000000, &v));
    EXPECT_EQ(ctx_->cur_apsel, 0);
    // A SELECT through the generic wrapper leaves the cache unknown...
    ASSERT_TRUE(dap_dp_write(ctx_, 0x08, 0x010000F0));
    EXPECT_EQ(ctx_->cur_apsel, 0xFF);
    EXPECT_FALSE(ctx_->csw_valid);
    // ...so the next memory access selects AP 0 again and reads the right thing.
    ASSERT_TRUE(dap_read_mem32(ctx_, 0xE0042000, &v));
    EXPECT_EQ(v, 0x10076413u);
    // AP 0's IDR through the wrappers: an AHB-AP of a Cortex-M4.
    uint32_t idr = 0;
    ASSERT_TRUE(dap_ap_read(ctx_, 0, 0xFC, &idr));
    EXPECT_EQ(idr & 0x0FFFFFFFu, 0x04770011u & 0x0FFFFFFFu);
    dap_restore_ap0(ctx_);
    ASSERT_TRUE(dap_read_mem32(ctx_, 0xE0042000, &v));
    EXPECT_EQ(v, 0x10076413u);
    // A failed SELECT leaves the cache unknown instead of claiming the new AP.
    rig_->lock();
    sim_usb_unplug(rig_->usb());
    rig_->unlock();
    EXPECT_FALSE(ap_select(ctx_, 1, 0));
    EXPECT_EQ(ctx_->cur_apsel, 0xFF);
}

TEST_P(Mem, CoreRegisterReadCostsAtMostTwoExchangesOnV2AndFourOnV1) {
    uint32_t regs[16];
    ap_cache_invalidate(ctx_);
    uint64_t e0 = exchanges();
    ASSERT_TRUE(dap_read_regs(ctx_, regs));
    uint64_t cost = exchanges() - e0;
    if (GetParam() == SimUsbKind::V2Bulk512) EXPECT_LE(cost, 2u);
    else EXPECT_LE(cost, 4u);
    for (int i = 0; i < 16; ++i) {
        uint32_t v;
        ASSERT_TRUE(sim_board_read_core_reg(rig_->board(), (unsigned)i, &v));
        EXPECT_EQ(regs[i], v) << "R" << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Mem, ::testing::Values(SimUsbKind::V1Hid, SimUsbKind::V2Bulk512, SimUsbKind::V2Bulk64),
                         [](const auto& i) { return std::string(kind_name(i.param)); });
