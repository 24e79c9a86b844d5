// Chip identification against the simulated STM32F405 (and NXP- and
// other-STM32-shaped variants of the board), checked against ST's reference
// manual values, the real ST pack and SVD, and the device tables' edge cases.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "symbols/svd.h"
#include "target/mcu_id.h"

namespace {

// A connected v2 probe on a board of the test's choosing.
struct ProfileRig : SimRig {
    explicit ProfileRig(const std::function<void(SimBoardProfile&)>& tweak)
        : SimRig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, tweak) {}
};
DapContext* connect_v2() {
    DapContext* c = dap_open_v2(0, 0);
    return c && dap_connect(c, 1000000, false) ? c : nullptr;
}

std::string summary(const McuInfo& info, int len = 256) {
    char buf[256] = "untouched";
    mcu_id_summary(&info, buf, len);
    return buf;
}

std::string shared_file(const char* rel) {
    std::ifstream f(std::string(KORVANE_SHARED_DATA) + "/" + rel, std::ios::binary);
    if (!f) return {};
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The value of attribute `attr` in the first `<tag ...>` element after `from`
// whose text contains `match`.
std::string pdsc_attr(const std::string& doc, size_t from, size_t to, const char* tag, const char* match, const char* attr) {
    for (size_t p = doc.find(tag, from); p != std::string::npos && p < to; p = doc.find(tag, p + 1)) {
        const std::string el = doc.substr(p, doc.find('>', p) - p);
        if (el.find(match) == std::string::npos) continue;
        const std::string key = std::string(attr) + "=\"";
        const size_t a = el.find(key);
        if (a == std::string::npos) return {};
        return el.substr(a + key.size(), el.find('"', a + key.size()) - a - key.size());
    }
    return {};
}

const SvdRegister* svd_find(const SvdDevice* dev, const char* periph, const char* reg) {
    for (int i = 0; i < svd_peripheral_count(dev); ++i) {
        const SvdPeripheral* p = svd_get_peripheral(dev, i);
        if (std::strcmp(p->name, periph) != 0) continue;
        for (int j = 0; j < svd_register_count(p); ++j)
            if (std::strcmp(svd_get_register(p, j)->name, reg) == 0) return svd_get_register(p, j);
    }
    return nullptr;
}

uint32_t svd_field_mask(const SvdRegister* r, const char* const* names, int n) {
    uint32_t m = 0;
    for (int i = 0; i < svd_field_count(r); ++i)
        for (int k = 0; k < n; ++k)
            if (std::strcmp(svd_get_field(r, i)->name, names[k]) == 0) m |= 1u << svd_get_field(r, i)->bit_offset;
    return m;
}

}  // namespace

class OnSimF405 : public ::testing::TestWithParam<SimUsbKind> {};

TEST_P(OnSimF405, IdentifiesTheBoardAsAnStm32F405WithRm0090Values) {
    SimRig rig(GetParam());
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    DapContext* c = rig_open(GetParam());
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(dap_connect(c, 1000000, false));
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.was_halted);  // connected without halting
    // Cortex-M4 r0p1 as ST ships it: implementer ARM, architecture 0xF.
    EXPECT_EQ(info.cpuid_raw, 0x410FC241u);
    EXPECT_EQ(info.implementer, 0x41);
    EXPECT_EQ(info.arch, 0xF);
    EXPECT_EQ(info.partno, 0xC24);
    EXPECT_STREQ(info.core_name, "Cortex-M4");
    EXPECT_TRUE(info.has_fpu);
    EXPECT_FALSE(info.has_tz);
    EXPECT_EQ(info.vendor, MCU_VENDOR_ST);
    EXPECT_STREQ(info.vendor_name, "ST");
    // RM0090: DBGMCU_IDCODE DEV_ID 0x413 for the F405/407, flash size word
    // (KB) at 0x1FFF7A22.
    EXPECT_EQ(info.mcu.device_id, 0x413u);
    EXPECT_STREQ(info.mcu.family_name, "STM32F4");
    EXPECT_STREQ(info.mcu.device_name, "STM32F405/415, F407/417");
    EXPECT_STREQ(info.mcu.flash_algo, "f7_f4_f2");
    EXPECT_EQ(info.mcu.flash_size_reg, 0x1FFF7A22u);
    EXPECT_EQ(info.flash_kb, 1024u);
    EXPECT_EQ(info.mcu.dbg_init_count, 2);
    EXPECT_EQ(summary(info), "Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241  DevID:0x00000413  Flash:1024KB  RAM:192KB  "
                             "Family:STM32F4  Device:STM32F405/415, F407/417  Algo:f7_f4_f2");
    // A halted core is noticed.
    ASSERT_TRUE(dap_halt(c));
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_TRUE(info.was_halted);
}

INSTANTIATE_TEST_SUITE_P(Transports, OnSimF405, ::testing::Values(SimUsbKind::V1Hid, SimUsbKind::V2Bulk512),
                         [](const auto& i) { return std::string(kind_name(i.param)); });

TEST(McuIdAgainstStFiles, TheF405RecordAgreesWithStsPackAndSvd) {
    const std::string pdsc = shared_file("pdsc/Keil.STM32F4xx_DFP.pdsc");
    SvdDevice* svd = svd_load((std::string(KORVANE_SHARED_DATA) + "/svd/STM32F407.svd").c_str());
    if (pdsc.empty() || !svd) {
        svd_free(svd);
        GTEST_SKIP() << "shared data not found under " << KORVANE_SHARED_DATA;
    }
    McuRecord r;
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC24, 0x413, &r));
    // STM32F405RG: one 1 MB flash at 0x08000000; the variant's RAM is the
    // pack's SRAM (SRAM1+SRAM2, 128 KB) plus the 64 KB CCM it lists as "SRAM2".
    const size_t dev = pdsc.find("<device Dname=\"STM32F405RG\">");
    ASSERT_NE(dev, std::string::npos);
    const size_t end = pdsc.find("</device>", dev);
    const uint32_t flash = std::strtoul(pdsc_attr(pdsc, dev, end, "<memory", "\"Flash\"", "size").c_str(), nullptr, 0);
    EXPECT_EQ(flash, 1024u * 1024u);
    EXPECT_EQ(std::strtoul(pdsc_attr(pdsc, dev, end, "<memory", "\"Flash\"", "start").c_str(), nullptr, 0), r.flash_base);
    const uint32_t ram = std::strtoul(pdsc_attr(pdsc, dev, end, "<memory", "\"SRAM1\"", "size").c_str(), nullptr, 0) +
                         std::strtoul(pdsc_attr(pdsc, dev, end, "<memory", "\"SRAM2\"", "size").c_str(), nullptr, 0);
    EXPECT_EQ(ram, r.ram_size);
    EXPECT_EQ(pdsc_attr(pdsc, 0, pdsc.size(), "<processor", "Dcore", "Dcore"), "Cortex-M4");
    EXPECT_EQ(pdsc_attr(pdsc, 0, pdsc.size(), "<processor", "Dcore", "DcoreVersion"), "r0p1");
    // The pack's debug setup writes DBGMCU_CR = 7 as our first pair does.
    EXPECT_NE(pdsc.find("__var DbgMCU_CR      = 0x00000007;"), std::string::npos);
    // The SVD's DBGMCU: device id where we read it, and the debug-init pairs
    // hit DBGMCU_CR (sleep/stop/standby) and APB1_FZ (both watchdogs).
    const SvdRegister* idcode = svd_find(svd, "DBG", "DBGMCU_IDCODE");
    const SvdRegister* cr = svd_find(svd, "DBG", "DBGMCU_CR");
    const SvdRegister* fz = svd_find(svd, "DBG", "DBGMCU_APB1_FZ");
    ASSERT_TRUE(idcode && cr && fz);
    EXPECT_EQ(idcode->address, 0xE0042000u);
    EXPECT_EQ(r.dbg_init_regs[0], cr->address);
    const char* cr_bits[] = {"DBG_SLEEP", "DBG_STOP", "DBG_STANDBY"};
    EXPECT_EQ(r.dbg_init_vals[0], svd_field_mask(cr, cr_bits, 3));
    EXPECT_EQ(r.dbg_init_regs[1], fz->address);
    const char* wd_bits[] = {"DBG_WWDG_STOP", "DBG_IWDEG_STOP"};  // sic, as ST's file spells it
    EXPECT_EQ(r.dbg_init_vals[1], svd_field_mask(fz, wd_bits, 2));
    svd_free(svd);
}

TEST(Stm32Tables, SizesDefaultsAndReachability) {
    EXPECT_EQ(s_stm32_family_count, 18);
    int variants = 0;
    for (int i = 0; i < s_stm32_family_count; ++i) {
        const StmFamily& f = s_stm32_families[i];
        variants += f.variant_count;
        EXPECT_EQ(f.flash_base, 0x08000000u) << f.family_name;
        // Every variant must be reachable: the first family with its core
        // and id is the one that answers.
        for (int j = 0; j < f.variant_count; ++j) {
            McuRecord r;
            ASSERT_TRUE(stm32_lookup(nullptr, f.cpu_partno, f.variants[j].device_id, &r));
            EXPECT_STREQ(r.device_name, f.variants[j].name);
            EXPECT_STREQ(r.family_name, f.family_name);
            EXPECT_STREQ(r.flash_algo, s_stm32_algo_names[f.flash_algo]);
        }
    }
    EXPECT_EQ(variants, 72);
    McuRecord r;
    r.device_id = 77;
    mcu_record_init(&r);
    EXPECT_EQ(r.vendor, MCU_VENDOR_UNKNOWN);
    EXPECT_STREQ(r.vendor_name, "Unknown");
    EXPECT_EQ(r.device_name, nullptr);
    EXPECT_EQ(r.device_id, 0u);
    EXPECT_EQ(r.flash_size_mask, 0xFFFFu);
    EXPECT_EQ(r.flash_base, 0x08000000u);
    EXPECT_EQ(r.reset_vec_base, 0x08000000u);
    EXPECT_EQ(r.flash_erase_val, 0xFF);
    mcu_record_init(nullptr);
    EXPECT_FALSE(stm32_lookup(nullptr, 0xC24, 0x999, &r));
    EXPECT_FALSE(stm32_lookup(nullptr, 0xC27, 0x413, &r));  // right id, wrong core
}

TEST(Stm32Tables, IdsSharedOrMovedByVariant) {
    McuRecord r;
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC23, 0x411, &r));
    EXPECT_STREQ(r.device_name, "STM32F2xx");
    EXPECT_EQ(r.ram_size, 128u * 1024u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC24, 0x411, &r));
    EXPECT_STREQ(r.device_name, "STM32F405/415, F407/417 (rev A)");
    // L1: Cat.1/Cat.2 keep the size word at 0x1FF8004C, Cat.4 has none.
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC23, 0x436, &r));
    EXPECT_EQ(r.flash_size_reg, 0u);
    EXPECT_EQ(r.flash_erase_val, 0x00);
    EXPECT_TRUE(r.flash_dont_trim);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC23, 0x429, &r));
    EXPECT_EQ(r.flash_size_reg, 0x1FF8004Cu);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC23, 0x437, &r));
    EXPECT_EQ(r.flash_size_reg, 0x1FF800CCu);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC27, 0x452, &r));
    EXPECT_EQ(r.flash_size_reg, 0x1FF07A22u);
    EXPECT_EQ(r.flash_size_shift, 16u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC27, 0x449, &r));
    EXPECT_EQ(r.flash_size_reg, 0x1FF0F442u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC60, 0x459, &r));
    EXPECT_STREQ(r.family_name, "STM32U0");
    EXPECT_EQ(r.flash_size_reg, 0x1FFF3EA0u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC60, 0x489, &r));
    EXPECT_EQ(r.flash_size_reg, 0x1FFF6EA0u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC24, 0x497, &r));
    EXPECT_STREQ(r.family_name, "STM32WB/WL");
    EXPECT_EQ(r.dbg_init_regs[1], 0xE004203Cu);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC27, 0x450, &r));
    EXPECT_TRUE(r.dual_core);
    EXPECT_EQ(r.reset_vec_base2, 0x08100000u);
    ASSERT_TRUE(stm32_lookup(nullptr, 0xC24, 0x419, &r));
    EXPECT_TRUE(r.dual_bank_opt);
    EXPECT_FALSE(r.dual_bank);
}

// Other STM32s on the same board: the profile changes CPUID and IDCODE.
TEST(OtherParts, CoreDecidesBetweenF2AndF4AndL1Cat4HasNoSizeWord) {
    struct Case {
        uint32_t cpuid, idcode;
        const char* device;
        uint32_t flash_kb;
    } cases[] = {{0x412FC231, 0x20006411, "STM32F2xx", 1024},  // the sim's size word is the F405's
                 {0x410FC241, 0x10006411, "STM32F405/415, F407/417 (rev A)", 1024},
                 {0x412FC231, 0x10186436, "STM32L1xx Cat.4/Cat.3 hi", 0}};
    for (const Case& k : cases) {
        ProfileRig rig([&](SimBoardProfile& p) {
            p.cpuid = k.cpuid;
            p.dbgmcu_idcode = k.idcode;
        });
        ASSERT_NE(rig.sys, nullptr) << rig.err;
        DapContext* c = connect_v2();
        ASSERT_NE(c, nullptr);
        McuInfo info;
        ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
        EXPECT_STREQ(info.mcu.device_name, k.device);
        EXPECT_EQ(info.flash_kb, k.flash_kb) << k.device;
    }
}

TEST(Failures, CpuidReadFailureIsTheOnlyHardError) {
    McuInfo info;
    EXPECT_FALSE(mcu_id_read(nullptr, nullptr, &info));
    SimRig rig(SimUsbKind::V2Bulk512);
    DapContext* c = rig_open(SimUsbKind::V2Bulk512);
    ASSERT_TRUE(c && dap_connect(c, 1000000, false));
    EXPECT_FALSE(mcu_id_read(c, nullptr, nullptr));
    rig.lock();
    rig.probe()->swd.line = SimSwdLine::Dormant;  // the target stops answering
    rig.unlock();
    EXPECT_FALSE(mcu_id_read(c, nullptr, &info));
    EXPECT_FALSE(info.valid);
    EXPECT_STREQ(info.error, "CPUID read failed");
    EXPECT_EQ(summary(info), "[MCU ID] Error: CPUID read failed");
    EXPECT_EQ(summary(info, 1), "");
    EXPECT_EQ(summary(info, 10), "[MCU ID] ");
    EXPECT_EQ(summary(info, 0), "untouched");
}

TEST(Failures, NoRomTableLeavesVendorUnknownButIdentifies) {
    ProfileRig rig([](SimBoardProfile& p) { p.rom_ids = SimRomIds::absent; });
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    DapContext* c = connect_v2();
    ASSERT_NE(c, nullptr);
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.vendor, MCU_VENDOR_UNKNOWN);
    EXPECT_STREQ(info.vendor_name, "Unknown");
    EXPECT_EQ(info.mcu.device_id, 0u);
    EXPECT_STREQ(info.mcu.vendor_name, "Unknown");
    EXPECT_EQ(info.flash_kb, 0u);
    EXPECT_EQ(summary(info), "Cortex-M4 r0p1  Unknown  [FPU]  CPUID:0x410FC241  DevID:0x00000000  Flash:0KB  RAM:0KB  "
                             "Family:Unknown  Device:?  Algo:-");
}

class McxPath : public ::testing::Test {};

TEST_F(McxPath, ArmRomTableAndMcxIdGiveTheFallbackRecord) {
    // MCX A parts show ARM's Cortex-M33 table, which the vendor table files as NXP.
    ProfileRig rig([](SimBoardProfile& p) {
        p.rom_ids = SimRomIds::arm;
        p.cpuid = 0x410FD214;  // Cortex-M33 r0p4
        p.devid_addr = 0x40000FF8;
        p.devid = 0x0A000028;
    });
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    DapContext* c = connect_v2();
    ASSERT_NE(c, nullptr);
    McuInfo info;
    ASSERT_TRUE(mcu_id_read(c, nullptr, &info));
    EXPECT_STREQ(info.core_name, "Cortex-M33");
    EXPECT_EQ(info.vendor, MCU_VENDOR_NXP);
    EXPECT_TRUE(log_has("[MCU ID] DEVID@0x40000FF8=0x0A000028"));
    EXPECT_FALSE(log_has("[MCU ID] DEVID@0x40091FF8"));  // that read failed: not logged
    EXPECT_TRUE(log_has("[MCU ID] NXP raw=0x0A000028 \u2192 MCXA153"));
    EXPECT_TRUE(log_has("[MCU ID] NXP: PDSC not found, using fallback"));
    EXPECT_EQ(info.mcu.vendor, MCU_VENDOR_NXP);
    EXPECT_STREQ(info.mcu.family_name, "MCX A");
    EXPECT_STREQ(info.mcu.device_name, "MCXA153");
    EXPECT_STREQ(info.mcu.flash_algo, "MCXA_256.FLM");
    EXPECT_EQ(info.mcu.ram_size, 64u * 1024u);
    EXPECT_EQ(info.mcu.flash_base, 0u);
    EXPECT_EQ(info.mcu.device_id, 0x0A000028u);
    EXPECT_EQ(info.flash_kb, 0u);
    EXPECT_EQ(summary(info), "Cortex-M33 r0p4  NXP  [FPU TZ]  CPUID:0x410FD214  DevID:0x0A000028  Flash:0KB  RAM:64KB  "
                             "Family:MCX A  Device:MCXA153  Algo:MCXA_256.FLM");

    // With an SVD, SYSCON's DEVICE_ID register is read first (here placed in
    // SRAM so the test sets its value).
    static const char kSvd[] =
        "<?xml version=\"1.0\"?><device><name>MCXA</name><peripherals><peripheral><name>SYSCON</name>"
        "<baseAddress>0x2001F000</baseAddress><registers><register><name>DEVICE_ID0</name>"
        "<addressOffset>0x0</addressOffset></register></registers></peripheral></peripherals></device>";
    ASSERT_TRUE(dap_halt(c));  // keep the firmware's stack away from the word
    SvdDevice* svd = svd_load_buffer(kSvd, sizeof kSvd - 1);
    ASSERT_NE(svd, nullptr) << svd_error();
    struct Case {
        uint32_t raw;
        const char* name;
        const char* algo;
        uint32_t ram;
    } cases[] = {{0x0A000014, "MCXA154", nullptr, 0}, {0x0A000048, "MCXA345", "MCXA_512.FLM", 128 * 1024},
                 {0x0B000014, nullptr, nullptr, 0}};
    for (const Case& k : cases) {
        sim_system_lock(rig.sys);
        ASSERT_TRUE(sim_board_write_mem(sim_system_board(rig.sys), 0x2001F000, &k.raw, 4));
        sim_system_unlock(rig.sys);
        log_clear(&logv);
        ASSERT_TRUE(mcu_id_read(c, svd, &info));
        EXPECT_TRUE(log_has("[MCU ID] SVD DEVICE_ID addr=0x2001F000"));
        EXPECT_FALSE(log_has("[MCU ID] DEVID@"));
        EXPECT_EQ(info.mcu.device_id, k.raw);
        if (k.name) {
            EXPECT_STREQ(info.mcu.device_name, k.name);
            EXPECT_STREQ(info.mcu.family_name, "MCX A");
            EXPECT_TRUE(log_has("[MCU ID] NXP: PDSC not found, using fallback"));
        } else {
            EXPECT_TRUE(log_has("\u2192 unknown"));
            EXPECT_FALSE(log_has("PDSC"));
            EXPECT_EQ(info.mcu.device_name, nullptr);
            EXPECT_EQ(info.mcu.vendor, MCU_VENDOR_NXP);
            // The record borrows the vendor's name; a copy must outlive the original.
            McuInfo copy = info;
            info = McuInfo{};
            EXPECT_STREQ(copy.mcu.vendor_name, "NXP");
            info = copy;
        }
        EXPECT_STREQ(info.mcu.flash_algo, k.algo) << k.raw;
        EXPECT_EQ(info.mcu.ram_size, k.ram) << k.raw;
    }
    svd_free(svd);
}

TEST(ProbeThreadHook, PublishesToTheSetupPanelAndForgetsOnStop) {
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, 4);
    ASSERT_NE(rig.sys, nullptr) << rig.err;
    mcu_id_install();
    PlatThread* t = probe_thread_start();
    ASSERT_NE(t, nullptr);
    auto setup = [] {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        return g_setup_mcu;
    };
    EXPECT_TRUE(wait_for([&] { return setup().valid; }));
    const SetupMcuInfo s = setup();
    EXPECT_STREQ(s.device, "STM32F405/415, F407/417");
    EXPECT_EQ(s.flash_kb, 1024u);
    EXPECT_TRUE(s.has_flash_algo);
    EXPECT_TRUE(log_has("Cortex-M4 r0p1  ST  [FPU]  CPUID:0x410FC241"));
    EXPECT_EQ(log_count_of("Family:STM32F4"), 1);  // identified once per connection
    EXPECT_TRUE(probe_thread_stop_and_wait(t));
    EXPECT_FALSE(setup().valid);
    EXPECT_FALSE(g_mcu_info.valid);
    probe_set_identify(nullptr);
}
