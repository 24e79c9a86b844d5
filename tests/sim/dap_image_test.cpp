// A firmware image built by arm-none-eabi-gcc/objcopy (bytes nobody here
// chose) goes into the fake board's RAM through the whole probe (USB, DAP
// commands, SW-DP, AHB-AP) and comes back through 32-, 16- and 8-bit paths.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "sim/link_model_probe.h"
#include "tests/sim/dap_fake_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((uint8_t)(v >> (8 * i)));
}
uint32_t get32(const Bytes& b, size_t at) {
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

struct Probe {
    DapFakeBoard b;
    std::unique_ptr<SimProbe> p = std::make_unique<SimProbe>();
    Probe() {
        SimProbeConfig c;
        sim_probe_default_config(&c, SimUsbKind::V2Bulk64);
        c.bus = b.port();
        c.lines = b.lines();
        c.ticker = b.clock.ticker;
        EXPECT_TRUE(sim_probe_init(p.get(), &c));
        EXPECT_TRUE(sim_usb_open(&p->usb) && sim_usb_claim(&p->usb, 0));
    }
    Bytes x(const Bytes& cmd) {
        size_t w = 0, n = 0;
        uint8_t buf[64];
        EXPECT_TRUE(sim_usb_write(&p->usb, cmd.data(), cmd.size(), 100, &w));
        EXPECT_TRUE(sim_usb_read(&p->usb, buf, sizeof buf, 100, &n));
        return Bytes(buf, buf + n);
    }
    void attach() {
        EXPECT_EQ(x({0x02, 0x01})[1], 1);
        const Bytes reset{0x12, 0x38, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        x(reset);
        x({0x12, 0x10, 0x9E, 0xE7});
        x(reset);
        Bytes s{0x05, 0x00, 0x03, 0x02, 0x04};
        put32(s, 0x50000000);
        s.push_back(0x08);
        put32(s, 0);
        EXPECT_EQ(x(s)[1], 3);
    }
    // CSW then TAR in one DAP_Transfer.
    void csw_tar(uint32_t csw, uint32_t tar) {
        Bytes s{0x05, 0x00, 0x02, 0x01};
        put32(s, csw);
        s.push_back(0x05);
        put32(s, tar);
        EXPECT_EQ(x(s)[2], 0x01);
    }
};

Bytes load(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

TEST(DapImage, ObjcopyImageRoundTripsThroughEveryAccessSize) {
    Bytes img = load(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.bin");
    ASSERT_GT(img.size(), 0x188u) << "demo firmware missing";
    while (img.size() % 4) img.push_back(0);
    ASSERT_LE(img.size(), 0x8000u);
    const uint32_t base = DapFakeBoard::kRamBase + 0x10000;
    Probe p;
    p.attach();

    // Write: 32-bit blocks of 14 words (64-byte packet), TAR at each 1 KB.
    for (size_t off = 0; off < img.size();) {
        if (off % 1024 == 0) p.csw_tar(0x23000012, base + (uint32_t)off);
        size_t words = std::min<size_t>({14, (img.size() - off) / 4, (1024 - off % 1024) / 4});
        Bytes b{0x06, 0x00, (uint8_t)words, 0x00, 0x0D};
        for (size_t i = 0; i < words; ++i) put32(b, get32(img, off + 4 * i));
        Bytes r = p.x(b);
        ASSERT_EQ(r[1], words);
        ASSERT_EQ(r[3], 0x01);
        off += 4 * words;
    }
    EXPECT_TRUE(std::equal(img.begin(), img.end(), p.b.ram.begin() + 0x10000));

    // Read back 8-bit, one byte per DRW read on its lane: the vector table.
    p.csw_tar(0x23000010, base);
    Bytes r = p.x({0x06, 0x00, 0x0F, 0x00, 0x0F});
    ASSERT_EQ(r[1], 15);
    for (unsigned i = 0; i < 15; ++i)
        EXPECT_EQ((get32(r, 4 + 4 * i) >> (8 * (i % 4))) & 0xFF, img[i]) << "byte " << i;
    // 16-bit packed: two halfwords per DRW read.
    p.csw_tar(0x23000021, base + 0x100);
    r = p.x({0x06, 0x00, 0x0F, 0x00, 0x0F});
    ASSERT_EQ(r[1], 15);
    for (unsigned i = 0; i < 15; ++i) EXPECT_EQ(get32(r, 4 + 4 * i), get32(img, 0x100 + 4 * i)) << "word " << i;
    // 32-bit across the whole image.
    Bytes back;
    for (size_t off = 0; off < img.size();) {
        if (off % 1024 == 0) p.csw_tar(0x23000012, base + (uint32_t)off);
        size_t words = std::min<size_t>({15, (img.size() - off) / 4, (1024 - off % 1024) / 4});
        r = p.x({0x06, 0x00, (uint8_t)words, 0x00, 0x0F});
        ASSERT_EQ(r[1], words);
        back.insert(back.end(), r.begin() + 4, r.begin() + 4 + 4 * words);
        off += 4 * words;
    }
    EXPECT_EQ(back, img);
    EXPECT_EQ(p.b.bad_size_or_align, 0u);
}

TEST(DapImage, ProbeRefusesInconsistentConfigurations) {
    DapFakeBoard b;
    auto p = std::make_unique<SimProbe>();
    SimProbeConfig c;
    sim_probe_default_config(&c, SimUsbKind::V1Hid);
    c.bus = b.port();
    c.lines = b.lines();
    c.ticker = b.clock.ticker;
    EXPECT_TRUE(sim_probe_init(p.get(), &c));
    c.dap.packet_size = 512;  // cannot travel in 64-byte HID reports
    EXPECT_FALSE(sim_probe_init(p.get(), &c));
    c.dap.packet_size = 64;
    c.dap.packet_count = 0;
    EXPECT_FALSE(sim_probe_init(p.get(), &c));
    c.dap.packet_count = 9;  // more than the IN queue holds
    EXPECT_FALSE(sim_probe_init(p.get(), &c));
    c.dap.packet_count = 4;
    c.bus = SimMemPort{};
    EXPECT_FALSE(sim_probe_init(p.get(), &c));
}

}  // namespace
