// The .pdsc reader against a second reading of ST's seven packs by Python's
// ElementTree (pdsc_walk.py, run at build time), and against hostile files:
// each ends with a clear error or a bounded record, never a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "target/pdsc.h"

namespace {

const char* const kPacks[] = {"Keil.STM32F0xx_DFP.pdsc", "Keil.STM32F4xx_DFP.pdsc", "Keil.STM32G0xx_DFP.pdsc",
                              "Keil.STM32G4xx_DFP.pdsc", "Keil.STM32H7xx_DFP.pdsc", "Keil.STM32L0xx_DFP.pdsc",
                              "Keil.STM32L4xx_DFP.pdsc"};

// The record in the walk's line format.
std::string describe(const PdscDevice& d) {
    char buf[512];
    std::string s = d.device_name;
    snprintf(buf, sizeof buf, "\t%s\t%d\t%u\t%u\t", d.processor.core, d.processor.has_fpu ? 1 : 0,
             d.processor.clock_hz, d.dbg_cfg.clock_hz);
    s += buf;
    for (int i = 0; i < d.memory_count; ++i) {
        snprintf(buf, sizeof buf, "%s%s:%x:%x", i ? ";" : "", d.memories[i].name, d.memories[i].start,
                 d.memories[i].size);
        s += buf;
    }
    s += "\t";
    if (d.has_flash_algo) {
        const PdscFlashAlgo& a = d.flash_algo;
        snprintf(buf, sizeof buf, "%s:%x:%x:%x:%x", a.name, a.start, a.size, a.ram_start, a.ram_size);
        s += buf;
    }
    s += "\t";
    for (int i = 0; i < d.sequence_count; ++i) s += (i ? "," : "") + std::string(d.sequences[i].name);
    return s;
}

// Every device of every pack: the list in order, and each record.
TEST(PdscXml, AgreesWithElementTreeOnStPacks) {
    int compared = 0;
    for (const char* pack : kPacks) {
        SCOPED_TRACE(pack);
        const std::string path = std::string(KORVANE_SHARED_DATA "/pdsc/") + pack;
        std::ifstream walk(std::string(PDSC_WALK_DIR "/") + pack + ".txt");
        std::vector<std::string> want;
        for (std::string l; std::getline(walk, l);) want.push_back(l);
        if (want.empty()) GTEST_SKIP() << "no shared data or no walk for " << pack;

        static char names[1024][64];
        int n = pdsc_xml_list_devices(path.c_str(), names, 1024);
        ASSERT_EQ(n, (int)want.size());
        ASSERT_LE(n, 1024);
        auto dev = std::make_unique<PdscDevice>();
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(want[i].substr(0, want[i].find('\t')), names[i]);
            ASSERT_TRUE(pdsc_xml_load(path.c_str(), names[i], dev.get())) << dev->parse_error;
            EXPECT_TRUE(dev->valid);
            EXPECT_EQ(describe(*dev), want[i]);
            EXPECT_STREQ(dev->pdsc_filename, pack);
            EXPECT_STREQ(dev->vendor_name, "STMicroelectronics");
            ++compared;
        }
    }
    // A device with variants is found by its own name too, as its variants are; null: the first.
    const std::string f4 = KORVANE_SHARED_DATA "/pdsc/Keil.STM32F4xx_DFP.pdsc";
    auto dev = std::make_unique<PdscDevice>(), var = std::make_unique<PdscDevice>();
    ASSERT_TRUE(pdsc_xml_load(f4.c_str(), "STM32F411CEUx", var.get()));
    ASSERT_TRUE(pdsc_xml_load(f4.c_str(), "STM32F411CE", dev.get())) << dev->parse_error;
    EXPECT_EQ(describe(*dev), "STM32F411CE" + describe(*var).substr(strlen("STM32F411CEUx")));
    ASSERT_TRUE(pdsc_xml_load(f4.c_str(), nullptr, dev.get()));
    EXPECT_STREQ(dev->device_name, "STM32F401CBUx");
    printf("%d devices compared with the ElementTree walk\n", compared);
}

// Debug variables as the XML means them: CDATA is text, a comment is not; the
// innermost debugvars redefine the family's.
TEST(PdscXml, DebugvarsTextAsXmlMeansIt) {
    const std::string path = testing::TempDir() + "pdsc_vars.pdsc";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    fputs("<package><devices><family Dfamily=\"F\" Dvendor=\"V\"><debugvars>__var z = 9;</debugvars>"
          "<device Dname=\"D\"><debugvars>__var a = 1; <!-- __var c = 3; --><![CDATA[__var b = 0x10;]]>"
          "</debugvars></device></family></devices></package>",
          f);
    fclose(f);
    auto dev = std::make_unique<PdscDevice>();
    ASSERT_TRUE(pdsc_xml_load(path.c_str(), "D", dev.get())) << dev->parse_error;
    ASSERT_EQ(dev->debug_var_count, 2);
    EXPECT_STREQ(dev->debug_vars[0].name, "a");
    EXPECT_EQ(dev->debug_vars[0].value, 1u);
    EXPECT_STREQ(dev->debug_vars[1].name, "b");
    EXPECT_EQ(dev->debug_vars[1].value, 0x10u);
    EXPECT_STREQ(dev->vendor_name, "V");
}

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::string kHead = "<?xml version=\"1.0\"?>\n<package><devices>\n<family Dfamily=\"F\" Dvendor=\"V:1\">\n"
                          "<device Dname=\"D\">\n";
const std::string kTail = "</device></family></devices></package>\n";

struct Hostile {
    const char* name;
    std::string text;
    bool ok;
    const char* error;  // the start of parse_error when !ok
    int sequences;
};

TEST(PdscXml, HostileFilesEndCleanly) {
    std::ifstream in(KORVANE_SHARED_DATA "/pdsc/Keil.STM32F4xx_DFP.pdsc");
    const std::string f4((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t deep = 10u << 20;
    const Hostile cases[] = {
        {"empty", "", false, "file size", 0},
        {"truncated pack", f4.substr(0, f4.size() / 2), false, "line ", 0},
        {"truncated tag", kHead + "<memory name=\"x", false, "line 5: ", 0},
        {"unquoted attribute", kHead + "<memory name=x/>" + kTail, false, "line 5: ", 0},
        {"not found", kHead + kTail, false, "Device 'E' not found in PDSC", 0},
        {"10 MB of nesting", kHead + repeat("<a>", deep / 7) + repeat("</a>", deep / 7) + kTail, true, "", 0},
        {"10 MB of controls",
         kHead + "<sequences><sequence name=\"s\">" + repeat("<control>", deep / 19) + repeat("</control>", deep / 19) +
             "</sequence></sequences>" + kTail,
         true, "", 1},
        {"100,000 sequences",
         kHead + "<sequences>" + repeat("<sequence name=\"s\"><block>__var x = 1;</block></sequence>\n", 1) +
             [] {
                 std::string s;
                 for (int i = 0; i < 100000; ++i) s += "<sequence name=\"s" + std::to_string(i) + "\"/>";
                 return s;
             }() + "</sequences>" + kTail,
         true, "", PDSC_MAX_SEQUENCES},
        {"1 MB sequence body",
         kHead + "<sequences><sequence name=\"big\"><block>" + repeat("x = x + 1; // &amp;&lt;\n", 1 << 20 >> 5) +
             "</block></sequence></sequences>" + kTail,
         true, "", 1},
    };
    const std::string path = testing::TempDir() + "pdsc_hostile.pdsc";
    auto dev = std::make_unique<PdscDevice>();
    for (const Hostile& c : cases) {
        SCOPED_TRACE(c.name);
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(c.text.data(), 1, c.text.size(), f);
        fclose(f);
        bool ok = pdsc_xml_load(path.c_str(), strcmp(c.name, "not found") ? "D" : "E", dev.get());
        EXPECT_EQ(ok, c.ok) << dev->parse_error;
        EXPECT_EQ(dev->valid, c.ok);
        if (c.ok) {
            EXPECT_EQ(dev->sequence_count, c.sequences);
        } else {
            EXPECT_EQ(std::string(dev->parse_error).substr(0, strlen(c.error)), c.error);
        }
        char names[2][64];
        EXPECT_EQ(pdsc_xml_list_devices(path.c_str(), names, 2), c.ok || !strcmp(c.name, "not found") ? 1 : 0);
    }
}

}  // namespace
