// Debug sequences: every sequence of the seven ST packs parsed whole (against
// a statement count of our own), the language's edge cases, and ST's F4
// sequences with the format's reference reset sequences on the simulated board.
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "target/pdsc_priv.h"
#include "tests/test_util.h"

namespace {

// Statements of a block's text: ";" at parenthesis depth 0 outside comments
// and strings, plus a last statement left without one.
int count_statements(const std::string& s) {
    int n = 0, depth = 0;
    bool pending = false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "//") == 0) i = std::min(s.find('\n', i), s.size());
        else if (s.compare(i, 2, "/*") == 0) i = std::min(s.find("*/", i + 2) + 1, s.size());
        else if (s[i] == '"') i = std::min(s.find('"', i + 1), s.size()), pending = true;
        else if (s[i] == '(') ++depth, pending = true;
        else if (s[i] == ')') --depth;
        else if (s[i] == ';' && depth == 0) ++n, pending = false;
        else if (!isspace(static_cast<unsigned char>(s[i]))) pending = true;
    }
    return n + pending;
}

std::string block_text(const pugi::xml_node& b) {
    std::string t;
    for (pugi::xml_node p : b.children())
        if (p.type() == pugi::node_pcdata || p.type() == pugi::node_cdata) t += p.value();
    return t;
}

// Statements and control elements in a parsed body (an if made to guard a
// while counts once, as its one element).
void count_tree(const SeqNode* block, int* stmts, int* controls) {
    for (const SeqNode* s = block ? block->child[0] : nullptr; s; s = s->next) {
        if (s->type != SEQ_IF && s->type != SEQ_WHILE) {
            ++*stmts;
            continue;
        }
        const SeqNode* c = s->type == SEQ_IF && s->child[1] && s->child[1]->type == SEQ_WHILE ? s->child[1] : s;
        ++*controls;
        count_tree(c->child[1], stmts, controls);
    }
}

TEST(PdscSeq, EveryPackSequenceParsesWhole) {
    for (const char* pack : {"F0", "F4", "G0", "G4", "H7", "L0", "L4"}) {
        std::string path = std::string(KORVANE_SHARED_DATA) + "/pdsc/Keil.STM32" + pack + "xx_DFP.pdsc";
        pugi::xml_document doc;
        if (!doc.load_file(path.c_str())) GTEST_SKIP() << "no shared data: " << path;
        int seqs = 0, blocks = 0, stmts = 0, controls = 0, overflows = 0;
        for (pugi::xpath_node xn : doc.select_nodes("//sequence")) {
            pugi::xml_node e = xn.node();
            int want_stmts = 0, want_controls = 0, got_stmts = 0, got_controls = 0;
            for (pugi::xpath_node b : e.select_nodes(".//block")) want_stmts += count_statements(block_text(b.node())), ++blocks;
            want_controls = static_cast<int>(e.select_nodes(".//control").size());
            auto seq = std::make_unique<PdscSequence>();
            count_tree(parse_sequence_node(e, seq.get(), 0), &got_stmts, &got_controls);
            const std::string name = e.attribute("name").value();
            if (name == "ConfigureTraceTPIUPins") {  // needs 680 nodes: marked, never run half
                EXPECT_TRUE(seq->pool_used == SEQ_POOL_NODES && seq->truncated) << pack;
                EXPECT_LT(got_stmts, want_stmts) << pack;
                ++overflows;
            } else {
                EXPECT_EQ(got_stmts, want_stmts) << pack << " " << name;
                EXPECT_EQ(got_controls, want_controls) << pack << " " << name;
                EXPECT_FALSE(seq->truncated) << pack << " " << name;
            }
            ++seqs, stmts += want_stmts, controls += want_controls;
        }
        std::printf("  %s: %d sequences, %d blocks, %d statements, %d controls, %d over the pool\n", pack, seqs, blocks, stmts,
                    controls, overflows);
        EXPECT_GT(stmts, 0) << pack;
    }
}

// A device of sequences given as XML bodies, on the heap (it is big).
struct Device {
    std::unique_ptr<PdscDevice> dev = std::make_unique<PdscDevice>();
    pugi::xml_document doc;
    // `xml`: one or more <sequence name="..."> elements.
    void add(const std::string& xml) {
        ASSERT_TRUE(doc.load_string(("<s>" + xml + "</s>").c_str())) << xml;
        for (pugi::xml_node e : doc.child("s").children("sequence")) {
            ASSERT_LT(dev->sequence_count, PDSC_MAX_SEQUENCES);
            PdscSequence* s = &dev->sequences[dev->sequence_count++];
            std::snprintf(s->name, sizeof s->name, "%s", e.attribute("name").value());
            s->root = parse_sequence_node(e, s, 0);
        }
    }
};

uint64_t var(const SeqContext& c, const char* name) {
    if (std::string(name) == "__dp") return c.v_dp;
    for (int i = 0; i < c.local_count[0]; ++i)
        if (std::string(c.locals[0][i].name) == name) return c.locals[0][i].value;
    return 0xBAD;
}

std::string nest(int n, const std::string& inner) {
    return n ? "<control if='1'>" + nest(n - 1, inner) + "</control>" : inner;
}

struct Case {
    const char* name;
    std::string body;  // of sequence "T"
    const char* var;   // checked after the run
    uint64_t value;
    const char* error;  // null: the run succeeds
};

TEST(PdscSeq, EdgeCases) {
    const std::string cut = "r = 1;" + std::string(4080, ' ') + "r = 0x1234;";  // the cut falls after "0x12"
    std::string pool_full;
    for (int i = 0; i < 60; ++i) pool_full += "r = r + 1;";
    const Case cases[] = {
        {"precedence", "<block>r = 1 + 2 * 3;</block>", "r", 7, nullptr},
        {"parentheses", "<block>r = (1 + 2) * 3;</block>", "r", 9, nullptr},
        {"shift_left_assoc", "<block>r = 8 >> 1 >> 1;</block>", "r", 2, nullptr},
        {"negation", "<block>r = -1;</block>", "r", ~0ull, nullptr},
        {"div_mod_by_zero", "<block>r = 7 / 0 + 7 % 0 + 5;</block>", "r", 5, nullptr},
        {"shift_past_63", "<block>r = (1 &lt;&lt; 64) + (0x8000000000000000 &gt;&gt; 63);</block>", "r", 1, nullptr},
        {"entities_and_cdata", "<block>r = (6 &amp; 3) &lt;&lt; 1;<![CDATA[ r = r | (1 && 2) << 4; ]]></block>", "r", 0x14, nullptr},
        {"no_short_circuit", "<block>r = 0 &amp;&amp; ReadDP(0);</block>", "r", 0xBAD, "ReadDP failed"},
        {"while_timeout", "<block>r = 3;</block><control while='1' timeout='1000'/>", "r", 3, "WHILE timeout after 1 ms"},
        {"while_cap", "<control while='1'><block>r = r + 1;</block></control>", "r", 100000, nullptr},
        {"if_gates_while", "<control if='0' while='1' timeout='1000'/><block>r = 4;</block>", "r", 4, nullptr},
        {"self_call", "<block>__dp = __dp + 1; T();</block>", "__dp", 8, "Sequence() call depth exceeded"},
        {"failed_initial_value", "<block>__var v = Read32(0x20000000) + 1; r = v + 5;</block>", "r", 5, nullptr},
        {"errorcontrol", "<block>__errorcontrol = 1; r = Read32(0x60000000) + 5;</block>", "r", 5, nullptr},
        {"compound_assign", "<block>__var x = 2; x |= 1; x &lt;&lt;= 2; x -= 2 * 1; x &amp;= ~1;</block>", "x", 10, nullptr},
        {"call_by_name", "<block>ResetSystem();</block>", "__dp", 0x55, nullptr},
        {"missing_sequence", "<block>Sequence(\"Nope\");</block>", "r", 0xBAD, "Sequence(\"Nope\") not found"},
        {"message_error", "<block>r = 1; Message(1, \"note\"); Message(2, \"bad id\"); r = 2;</block>", "r", 1,
         "the sequence reported an error (Message type 2)"},
        {"debug_var_hidden", "<block>DbgX = DbgX + 1; r = DbgX + Unknown;</block>", "r", 10, nullptr},
        {"primitive_error", "<block>Write32(0x20000000, 0x123456789);</block>", "r", 0xBAD, "Write32(0x20000000, 0x23456789) failed"},
        {"cut_block_drops_partial", "<block>" + cut + "</block>", "r", 1, nullptr},
        {"pool_full_never_half_run", "<block>" + pool_full + "</block>", "r", 0xBAD, "Sequence 'T' is larger than 256 nodes: not run"},
        {"nesting_16", "<block>r = 0;</block>" + nest(16, "<block>r = 1;</block>"), "r", 1, nullptr},
        {"nesting_17_dropped", "<block>r = 0;</block>" + nest(17, "<block>r = 1;</block>"), "r", 0, nullptr},
        {"parens_bounded", "<block>r = 2;" + std::string(200, '(') + "1" + std::string(200, ')') + ";</block>", "r", 2, nullptr},
    };
    g_stop = false;  // left set by a stopped probe thread of an earlier test
    PlatVirtualClock vc;
    plat_virtual_clock_init(&vc, 1000);
    plat_clock_install(&vc.clock);
    for (const Case& k : cases) {
        Device d;
        d.add("<sequence name='T'>" + k.body + "</sequence><sequence name='ResetSystem'><block>__dp = 0x55;</block></sequence>");
        parse_debugvars_text("__var DbgX = 9; // set by the pack\n __var Neg = -2;", d.dev.get());
        SeqContext ctx;
        pdsc_seq_ctx_init(&ctx, nullptr, d.dev.get());
        const bool ok = pdsc_seq_run(&ctx, "T");
        EXPECT_EQ(ok, k.error == nullptr) << k.name;
        EXPECT_STREQ(pdsc_seq_error(&ctx), k.error) << k.name;
        EXPECT_EQ(var(ctx, k.var), k.value) << k.name;
        EXPECT_EQ(d.dev->debug_vars[0].value, 9u) << k.name;
        EXPECT_EQ(d.dev->debug_vars[1].value, uint64_t(-2)) << k.name;
    }
    Device d;
    d.add("<sequence name='Spin'><control while='1'/></sequence>");
    SeqContext ctx;
    pdsc_seq_ctx_init(&ctx, nullptr, d.dev.get());
    EXPECT_FALSE(pdsc_seq_run(&ctx, "Missing"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "Sequence 'Missing' not found");
    g_stop = true;
    EXPECT_FALSE(pdsc_seq_run(&ctx, "Spin"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "stopped");
    g_stop = false;
    plat_clock_install(nullptr);
}

// ST's F4 pack as the reader gives it for the F405 (the family's sequences,
// the sub-family's debug variables), with the format's own ResetCatchSet and
// ResetSystem, which the pack does not redefine, from the reference text.
const std::string kF4Pack = std::string(KORVANE_SHARED_DATA) + "/pdsc/Keil.STM32F4xx_DFP.pdsc";

// A file of the shared data (the CMSIS-Pack reference text) by its name, wherever it lies.
static std::string shared_text(const char* name) {
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(KORVANE_SHARED_DATA, ec))
        if (e.path().filename() == name) return read_text_file(e.path().string());
    return "";
}

struct F4Board : testing::Test {
    SimRig rig{SimUsbKind::V2Bulk512};
    Device d;
    DapContext* c = nullptr;
    SeqContext ctx{};
    void SetUp() override {
        std::string ref = shared_text("debug_description.txt");
        if (read_text_file(kF4Pack).empty() || ref.empty()) GTEST_SKIP() << "no shared data";
        ASSERT_TRUE(pdsc_xml_load(kF4Pack.c_str(), "STM32F405RG", d.dev.get())) << d.dev->parse_error;
        for (const char* name : {"ResetCatchSet", "ResetSystem"}) {
            size_t at = ref.find(std::string("<sequence name=\"") + name + "\">");
            ASSERT_NE(at, std::string::npos) << name;
            d.add(ref.substr(at, ref.find("</sequence>", at) + 11 - at));
        }
        ASSERT_NE(c = rig.connect(true), nullptr);
        g_stop = false;
        pdsc_seq_ctx_init(&ctx, c, d.dev.get());
    }
    bool run(const char* name) { return pdsc_seq_run(&ctx, name); }
};

TEST_F(F4Board, PackSequencesSetTheDebugUnitAsWritten) {
    EXPECT_EQ(d.dev->sequence_count, 13);
    EXPECT_TRUE(run("DebugDeviceUnlock")) << pdsc_seq_error(&ctx);  // CheckID: JEP106 0x20 in the ROM table
    // DebugCoreStart writes the sub-family's DbgMCU_CR = 7 (DBG_SLEEP, STOP,
    // STANDBY) and the two freeze registers' values unchanged.
    ASSERT_TRUE(run("DebugCoreStart")) << pdsc_seq_error(&ctx);
    EXPECT_EQ(rig.word(0xE0042004), 0x7u);
    EXPECT_EQ(rig.word(0xE0042008), 0x06E019FFu);
    EXPECT_EQ(rig.word(0xE004200C), 0x00070003u);
    // SWO trace (__traceout bit 0): CR keeps its low bits and gains
    // TRACE_IOEN (1 << 5); PB3 gets port B's clock and alternate function 0.
    ctx.v_traceout = 1;
    ASSERT_TRUE(run("TraceStart")) << pdsc_seq_error(&ctx);
    EXPECT_EQ(rig.word(0xE0042004), 0x27u);
    EXPECT_EQ(rig.word(0x40023830) & 2u, 2u);
    EXPECT_EQ((rig.word(0x40020400) >> 6) & 3u, 2u);
    EXPECT_EQ((rig.word(0x40020420) >> 12) & 15u, 0u);
    // Reset with the vector catch: the core comes back halted at its reset
    // handler; DBGMCU_CR lives through a system reset.
    ASSERT_TRUE(run("ResetCatchSet")) << pdsc_seq_error(&ctx);
    const uint64_t before = plat_time_ms();
    ASSERT_TRUE(run("ResetSystem")) << pdsc_seq_error(&ctx);
    EXPECT_GE(plat_time_ms() - before, 100u);  // its DAP_Delay(100000)
    EXPECT_EQ(dap_get_state(c), DAP_STATE_HALTED);
    EXPECT_EQ(rig.reg(15), rig.word(0x08000004) & ~1u);
    EXPECT_EQ(rig.word(0xE0042004), 0x27u);
}

TEST_F(F4Board, FailuresOnTheBoard) {
    d.add("<sequence name='Unmapped'><block>Read32(0x60000000);</block></sequence>"
          "<sequence name='Forgiven'><block>__errorcontrol = 1; r = Read32(0x60000000); __errorcontrol = 0; r = Read32(0xE0042000);</block></sequence>"
          "<sequence name='Wait'><control while='(Read32(0xE0042004) &amp; 0x100) == 0' timeout='20000'/></sequence>"
          "<sequence name='Spin'><block>__errorcontrol = 1;</block><control while='1'><block>Read32(0x20000000);</block></control></sequence>");
    EXPECT_FALSE(run("Unmapped"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "Read32(0x60000000) failed");
    EXPECT_TRUE(run("Forgiven")) << pdsc_seq_error(&ctx);
    EXPECT_EQ(var(ctx, "r"), 0x10076413u);  // DBGMCU_IDCODE read after error control is off again
    const uint64_t before = plat_time_ms();
    EXPECT_FALSE(run("Wait"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "WHILE timeout after 20 ms");
    EXPECT_GE(plat_time_ms() - before, 20u);
    // The probe unplugged: error control does not keep the loop spinning.
    sim_usb_unplug(rig.usb());
    EXPECT_FALSE(run("Spin"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "probe lost");
}

// A non-ST ROM table fails the pack's ID check: its Query() is no sequence here.
TEST(PdscSeqBoard, ForeignRomTableFailsTheIdCheck) {
    SimRig rig(SimUsbKind::V2Bulk512, "demo_O2_dwarf4.elf", true, [](SimBoardProfile& p) { p.rom_ids = SimRomIds::arm; });
    Device d;
    if (!pdsc_xml_load(kF4Pack.c_str(), "STM32F405RG", d.dev.get())) GTEST_SKIP() << d.dev->parse_error;
    DapContext* c = rig.connect(true);
    ASSERT_NE(c, nullptr);
    SeqContext ctx;
    pdsc_seq_ctx_init(&ctx, c, d.dev.get());
    EXPECT_FALSE(pdsc_seq_run(&ctx, "DebugDeviceUnlock"));
    EXPECT_STREQ(pdsc_seq_error(&ctx), "Sequence(\"Query\") not found");
}

}  // namespace
