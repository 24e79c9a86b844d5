// Target algorithm INI files: the step syntax, the file reader with hostile
// files, and the sequence interpreter on the simulated STM32F405.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "probe/probe.h"
#include "probe/probe_fixture.h"
#include "target/target_algo.h"
#include "tests/test_util.h"

namespace {

struct StepCase {
    const char* text;
    const char* why = nullptr;  // set: refused with this reason
    SeqOp op = SEQ_OP_NOP;
    uint8_t apsel = 0, reg = 0;
    uint16_t skip = 0;
    uint32_t val = 0, mask = 0, timeout = 0;
    const char *name = "", *var0 = "", *var1 = "";
    uint8_t flags0 = 0, flags1 = 0;
};

TEST(TargetAlgo, StepSyntax) {
    const StepCase cases[] = {
        {.text = "dp_read 0x4", .op = SEQ_OP_DP_READ, .reg = 4},
        {.text = "dp_write 8 0x01000000", .op = SEQ_OP_DP_WRITE, .reg = 8, .val = 0x01000000},
        {.text = "ap_read 1 0xFC", .op = SEQ_OP_AP_READ, .apsel = 1, .reg = 0xFC},
        {.text = "ap_write 0 0x04 0x20000000", .op = SEQ_OP_AP_WRITE, .reg = 4, .val = 0x20000000},
        {.text = "mem_read 0x20000000", .op = SEQ_OP_MEM_READ, .val = 0x20000000},
        {.text = "mem_write 0x40021018 0x00000004", .op = SEQ_OP_MEM_WRITE, .val = 0x40021018, .mask = 4},
        {.text = "mem_write $addr $result", .op = SEQ_OP_MEM_WRITE, .var0 = "$addr", .var1 = "$result", .flags0 = 1, .flags1 = 3},
        {.text = "mem_write16 0x20000002 0xBEEF", .op = SEQ_OP_MEM_WRITE16, .val = 0x20000002, .mask = 0xBEEF},
        {.text = "mem_poll 0x40022010 0x1 0x0 timeout=500", .op = SEQ_OP_MEM_POLL, .val = 0x40022010, .mask = 1, .timeout = 500, .name = "00000000"},
        {.text = "mem_poll 0x40022010 0x1 0xA5", .op = SEQ_OP_MEM_POLL, .val = 0x40022010, .mask = 1, .timeout = 1000, .name = "000000A5"},
        {.text = "ap_poll 0 0x0C 0x80 0x80 t=20", .op = SEQ_OP_AP_POLL, .reg = 0x0C, .mask = 0x80, .timeout = 20, .name = "00000080"},
        {.text = "\twait_ms   25 ", .op = SEQ_OP_WAIT_MS, .val = 25},
        {.text = "call Unlock", .op = SEQ_OP_CALL, .name = "Unlock"},
        {.text = "if_eq 0xFF 0x12 skip=2", .op = SEQ_OP_IF_EQ, .skip = 2, .val = 0x12, .mask = 0xFF},
        {.text = "if_eq 0xFF 0x12 then", .op = SEQ_OP_IF_EQ, .skip = 1, .val = 0x12, .mask = 0xFF},
        {.text = "if_eq 0xFF 0x12 3", .op = SEQ_OP_IF_EQ, .skip = 3, .val = 0x12, .mask = 0xFF},
        {.text = "restore_ap0", .op = SEQ_OP_RESTORE_AP0},
        {.text = "reset_halt", .op = SEQ_OP_RESET_HALT},
        {.text = "write_reg 0 0x20001000", .op = SEQ_OP_WRITE_REG, .val = 0x20001000},
        {.text = "write_reg 15 $result", .op = SEQ_OP_WRITE_REG, .reg = 15, .var0 = "$result", .flags0 = 3},
        {.text = "read_reg 16", .op = SEQ_OP_READ_REG, .reg = 16},
        {.text = "set_var $a 5", .op = SEQ_OP_SET_VAR, .val = 5, .name = "$a"},
        {.text = "set_var $b $a", .op = SEQ_OP_SET_VAR, .name = "$b", .var0 = "$a", .flags0 = 1},
        {.text = "loop $n", .op = SEQ_OP_LOOP_BEGIN, .var0 = "$n", .flags0 = 1},
        {.text = "loop 3", .op = SEQ_OP_LOOP_BEGIN, .val = 3},
        {.text = "loop_end", .op = SEQ_OP_LOOP_END},
        // Refused: a typo must never become another address or operation.
        {"mem_write 0x4002101G 4", "'0x4002101G' is not a number"},
        {"mem_write 0x1FFFFFFFF 4", "'0x1FFFFFFFF' is not a number"},
        {"mem_write 0x40021018", "too few arguments"},
        {"mem_write 1 2 3", "too many arguments"},
        {"mem_write 0x40021019 1", "address not aligned"},
        {"mem_read 0x20000002", "not word aligned"},
        {"mem_write16 0x20000001 1", "address not aligned"},
        {"mem_write16 0x20000000 0x10000", "value above 0xFFFF"},
        {"mem_poll 0x40022010 0x1 0x0 timeout=5x", "'5x' is not a number"},
        {"dp_read 0x10", "DP register out of range"},
        {"ap_read 256 0", "AP number out of range"},
        {"ap_write 0 0x06 1", "AP register not word aligned"},
        {"if_eq 0xFF 0x12", "too few arguments"},
        {"if_eq 0xFF 0x12 skip=64", "skip count out of range"},
        {"write_reg 200 1", "core register out of range"},
        {"set_var a 5", "'a' is not a variable name"},
        {"reset_halt now", "too many arguments"},
        {"mem_wirte 0 0", "unknown operation 'mem_wirte'"},
        {"", "empty step"},
        {"call NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN", "name too long"},
    };
    for (const StepCase& k : cases) {
        SeqStep s;
        std::memset(&s, 0xAB, sizeof s);
        char why[96];
        const bool ok = target_seq_parse_step(k.text, &s, why, sizeof why);
        SCOPED_TRACE(k.text);
        if (k.why) {
            EXPECT_FALSE(ok);
            EXPECT_NE(std::string(why).find(k.why), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(ok) << why;
        EXPECT_EQ(std::make_tuple(s.op, s.apsel, s.reg, s.skip_count, s.val, s.mask, s.timeout_ms, std::string(s.call_name),
                                  s.arg_flags[0], std::string(s.arg_names[0]), s.arg_flags[1], std::string(s.arg_names[1])),
                  std::make_tuple(k.op, k.apsel, k.reg, k.skip, k.val, k.mask, k.timeout, std::string(k.name), k.flags0,
                                  std::string(k.var0), k.flags1, std::string(k.var1)));
    }
}

// The record as "key=value" words, for the table to pick from.
std::string summary(const TargetAlgo& a) {
    const AlgoDevice& d = a.device;
    const AlgoFlash& f = a.flash;
    std::string ops;
    for (int i = 0; a.seq_count && i < a.sequences[0].step_count; ++i) ops += std::to_string(a.sequences[0].steps[i].op) + ",";
    char b[1024];
    std::snprintf(b, sizeof b, " name=%s vendor=%s id=%X/%X/%X ram=%X/%X flash=%X/%X bin=%s use_bin=%d pre=%s times=%u/%u/%u seqs=%d last=%s ops=%s ",
                  d.name, d.vendor, d.identify_reg, d.identify_val, d.identify_mask, d.ram_base, d.ram_size, f.flash_base,
                  f.flash_size, f.bin_path, f.use_bin, f.pre_flash_seq, f.erase_ms, f.program_ms, f.page_size, a.seq_count,
                  a.seq_count ? a.sequences[a.seq_count - 1].name : "", ops.c_str());
    return b;
}

struct FileCase {
    const char* name;
    std::string text;
    bool ok;
    std::vector<std::string> logs, has = {};  // each in the log; words of the summary
};

TEST(TargetAlgo, Files) {
    TempDir dir("korvane_algo");
    auto sections = [](int n, std::string t = "") {
        for (int i = 0; i < n; ++i) t += "[sequence.S" + std::to_string(i) + "]\n0 = wait_ms " + std::to_string(i) + "\n";
        return t;
    };
    std::string garbage;
    for (int i = 0; i < 4000; ++i) garbage += (char)(Rng{(uint64_t)i}.next() & 0xFF);
    const FileCase cases[] = {
        {"full",
         "; a device of our own\r\n[device]\r\nname = \"Widget M4;rev B\"\nvendor=Acme ; maker\n"
         "identify_reg = 0xE0042000\nidentify_val = 0x413\nidentify_mask = 0xFFF\n"
         "[memory]\nflash_base = 0x08000000\nflash_size = 1048576\nram_base = 0x20000000\nram_size = 0x20000\n"
         "[flash_algo]\nbin = algo/f4.bin\nuse_bin = yes\npre_flash = Unlock\nsector_size = 0x4000\n"
         "[sequence.Unlock]\n0 = mem_write 0x40023C04 0x45670123\n5 = loop_end\n3 = loop 2\n[sequence.Empty]\n",
         true, {"[ALGO] Loaded: Widget M4;rev B  (2 sequences)"},
         {"vendor=Acme", "id=E0042000/413/FFF", "ram=20000000/20000", "flash=8000000/100000",
          "bin=" + dir.path + "/algo/f4.bin", "use_bin=1", "pre=Unlock", "times=5000/500/256", "ops=6,0,0,18,0,19,", "last=Empty"}},
        {"given_times_kept", "[flash_algo]\nerase_ms = 100\nprogram_ms = 7\npage_size = 1024\nuse_bin = no\npost_flash = Gone\n", true,
         {"[flash_algo] names sequence 'Gone', which the file does not have"},
         {"times=100/7/1024", "use_bin=0"}},
        {"seventeen_sequences", sections(17), true, {"[ALGO] Too many sequences in INI", "(16 sequences)"}, {"seqs=16", "last=S15"}},
        {"ten_thousand_sections", sections(10000), true, {"9984 sequences past the 16th ignored"}, {"seqs=16"}},
        {"line_of_511_kept_512_refused", ";" + std::string(510, 'c') + "\n[device]\nname = " + std::string(505, 'x') + "\nvendor = V\n",
         false, {"line 3: line longer than 511 characters"}, {"name=", "vendor=V"}},
        {"bad_number", "[memory]\nflash_base = 0x0800000G\nflash_size = 0x100000\n", false, {"line 2: not a number: 0x0800000G"},
         {"flash=0/100000"}},
        {"bad_step", "[sequence.X]\n0 = wait_ms 1\n1 = mem_write 0x4002101G 4\n64 = nop\n", false,
         {"line 3: step rejected: '0x4002101G' is not a number", "line 4: step number not 0 to 63: 64"}, {"ops=10,"}},
        {"text_too_long", "[device]\nname = " + std::string(64, 'n') + "\n[flash_algo]\npre_flash = " + std::string(32, 'p') + "\n",
         false, {"line 2: text too long for name", "line 4: text too long for pre_flash"}, {"name=", "pre="}},
        {"open_loops", "[sequence.A]\n0 = loop 3\n[sequence.B]\n0 = loop_end\n", false,
         {"sequence 'A': loop without loop_end", "sequence 'B': loop_end without loop (step 0)"}},
        {"bin_leaves_folder", "[flash_algo]\nbin = ../../fw/../x.bin\nuse_bin = maybe\n", false,
         {"bin outside the INI's folder: " + dir.path + "/../../fw/../x.bin", "use_bin is neither yes nor no"}},
        {"unterminated", "[device]\nname = \"half ; x\n[device\n= 5\n", false,
         {"line 2: unterminated quote", "line 3: section without its ']'", "line 4: key missing"}},
        {"binary_garbage", garbage, false, {"refused"}},
        {"nul_bytes", std::string("[device]\nname = a\0b\n", 20), false, {"line 2: binary data"}, {"name="}},
    };
    auto algo = std::make_unique<TargetAlgo>();
    for (const FileCase& k : cases) {
        SCOPED_TRACE(k.name);
        log_clear(&logv);
        const std::string path = dir / (std::string(k.name) + ".ini");
        ASSERT_TRUE(write_text_file(path, k.text));
        EXPECT_EQ(target_algo_load(path.c_str(), algo.get()), k.ok);
        for (const std::string& l : k.logs) EXPECT_TRUE(log_has(l.c_str())) << l;
        EXPECT_EQ(log_has("[ALGO] Loaded:"), k.ok);
        EXPECT_LE(log_count_of("Too many sequences"), 1);  // a hostile file does not flood the log
        for (const std::string& h : k.has) EXPECT_NE(summary(*algo).find(" " + h + " "), std::string::npos) << h << " in" << summary(*algo);
    }
    EXPECT_FALSE(target_algo_load(dir.path.c_str(), algo.get()));
    EXPECT_TRUE(log_has(("[ALGO] Cannot read INI: " + dir.path).c_str()));
    EXPECT_FALSE(target_algo_load((dir / "missing.ini").c_str(), algo.get()));
    EXPECT_TRUE(log_has(("[ALGO] Cannot open INI: " + dir.path + "/missing.ini").c_str()));
}

// Sequences on the board: the F4's flash keys, RAM, registers, calls, loops and branches.
const char* const kBoardIni = R"(
[device]
identify_reg = 0xE0042000
identify_val = 0x413
identify_mask = 0xFFF
[sequence.Unlock]
0 = mem_read 0x40023C10
1 = if_eq 0x80000000 0 skip=3  ; already open: a key now would lock the controller until reset
2 = mem_write 0x40023C04 0x45670123
3 = mem_write 0x40023C04 0xCDEF89AB
4 = call WaitIdle
5 = mem_write 0x40023C10 0x200  ; PSIZE x32 takes only when unlocked
6 = mem_read 0x40023C10
7 = set_var $cr $result
[sequence.WaitIdle]
0 = mem_poll 0x40023C0C 0x10000 0x0 timeout=100
[sequence.Ram]
0 = set_var $addr 0x20001000
1 = mem_write $addr 0x11223344
2 = mem_write16 0x20001002 0xBEEF
3 = mem_read 0x20001000
4 = if_eq 0xFFFF 0x3344 skip=1
5 = mem_write 0x20001008 0xBAD
6 = if_eq 0xFFFF 0x9999 skip=1
7 = mem_write 0x2000100C 0x600D
8 = loop 4
9 = loop 2
10 = wait_ms 5
11 = loop_end
12 = loop_end
[sequence.Regs]
0 = set_var $a 5
1 = set_var $b $a
2 = write_reg 0 0x20001000
3 = read_reg 0
4 = write_reg 1 $result
5 = write_reg 2 $b
6 = restore_ap0
7 = ap_poll 0 0xFC 0xFF 0x11 timeout=10  ; the AHB-AP's IDR
8 = set_var $idr $result
9 = dp_read 0
[sequence.Reset]
0 = mem_write 0xE000EDFC 0x01000001
1 = reset_halt
[sequence.ResetOnly]
0 = reset_halt
[sequence.Timeout]
0 = mem_poll 0x20001000 0xFFFFFFFF 0x12345678 timeout=50
[sequence.Long]
0 = mem_poll 0x20001000 0xFFFFFFFF 0x12345678 timeout=2000
[sequence.Self]
0 = call Self
[sequence.Spin]
0 = loop 1000000
1 = mem_read 0x20000000
2 = loop_end
[sequence.Unknown]
0 = mem_write 0x20001000 $nope
[sequence.Missing]
0 = call Nowhere
[sequence.BadKey]
0 = mem_write 0x40023C04 0x12345678
)";

struct AlgoBoard : ::testing::Test {
    SimRig rig{SimUsbKind::V2Bulk512};
    TempDir dir{"korvane_algo"};
    std::unique_ptr<TargetAlgo> algo = std::make_unique<TargetAlgo>();
    DapContext* c = nullptr;
    void SetUp() override {
        ASSERT_TRUE(write_text_file(dir / "f405.ini", kBoardIni));
        ASSERT_TRUE(target_algo_load((dir / "f405.ini").c_str(), algo.get()));
        ASSERT_NE(c = rig.connect(true), nullptr);
        g_stop = false;
    }
    void arm(uint32_t waits) {
        SimSwdFaults f{};
        f.wait_next = waits;
        sim_swd_arm_faults(&rig.probe()->swd, &f);
    }
};

TEST_F(AlgoBoard, SequencesDoWhatTheyWrite) {
    EXPECT_NE(rig.word(0x40023C10) & 0x80000000u, 0u);
    VarContext vars{};
    ASSERT_TRUE(target_seq_run_ex(algo.get(), "Unlock", c, &vars));
    uint32_t cr = 0, idr = 0, dpidr = 0;
    EXPECT_TRUE(algo_var_get(&vars, "$cr", &cr) && cr == 0x200u) << cr;
    EXPECT_TRUE(target_seq_run(algo.get(), "Unlock", c));  // the keys skipped, or the controller locks out
    EXPECT_EQ(rig.word(0x40023C10), 0x200u);
    const uint64_t t0 = plat_time_ms();
    ASSERT_TRUE(target_seq_run(algo.get(), "Ram", c));
    EXPECT_TRUE(plat_time_ms() - t0 >= 40 && plat_time_ms() - t0 < 50) << plat_time_ms() - t0;  // 4 x 2 x 5 ms
    EXPECT_EQ(std::make_tuple(rig.word(0x20001000), rig.word(0x20001008), rig.word(0x2000100C)), std::make_tuple(0xBEEF3344u, 0u, 0x600Du));
    ASSERT_TRUE(target_seq_run_ex(algo.get(), "Regs", c, &vars));
    EXPECT_TRUE(algo_var_get(&vars, "$idr", &idr) && algo_var_get(&vars, "$result", &dpidr));
    EXPECT_EQ(std::make_tuple(idr & 0xFF, dpidr), std::make_tuple(0x11u, 0x2BA01477u));
    EXPECT_EQ(std::make_tuple(rig.reg(0), rig.reg(1), rig.reg(2)), std::make_tuple(0x20001000u, 0x20001000u, 5u));
    ASSERT_TRUE(target_seq_run(algo.get(), "Reset", c));
    EXPECT_EQ(dap_get_state(c), DAP_STATE_HALTED);
    EXPECT_EQ(rig.reg(15), rig.word(0x08000004) & ~1u);
    EXPECT_NE(rig.word(0x40023C10) & 0x80000000u, 0u);  // the reset locked the flash again
    EXPECT_TRUE(target_algo_identify(c, algo.get()));
    algo->device.identify_val = 0x419;
    EXPECT_FALSE(target_algo_identify(c, algo.get()));
    algo->device.identify_reg = 0;
    EXPECT_FALSE(target_algo_identify(c, algo.get()));
}

TEST_F(AlgoBoard, FailuresEndTheSequence) {
    struct Case { const char* seq; std::function<void()> before; std::vector<std::string> logs; uint64_t min_ms, max_ms; };
    const Case cases[] = {
        {"Timeout", nullptr, {"[ALGO] mem_poll timeout: addr=0x20001000 mask=0xFFFFFFFF expect=0x12345678", "failed at step 0 (op=8)"}, 50, 100},
        {"Unknown", nullptr, {"[ALGO] Unknown variable '$nope'", "Sequence 'Unknown' failed at step 0 (op=6)"}, 0, 1000},
        {"Missing", nullptr, {"[ALGO] call: sequence 'Nowhere' not found"}, 0, 1000},
        {"Nope", nullptr, {"[ALGO] Sequence not found: 'Nope'"}, 0, 1000},
        {"BadKey", nullptr, {"[ALGO] mem_write FAILED: addr=0x40023C04 val=0x12345678"}, 0, 1000},
        // Every transfer answered WAIT: the AIRCR write never lands, and no reset shows in DHCSR.
        {"ResetOnly", [this] { arm(1661 * 1000); }, {"[ALGO] reset_halt: no reset seen"}, 100, 1000},
        {"Long", [this] { arm(0), g_stop = true; }, {"[ALGO] mem_poll: stopped"}, 0, 100},
        {"Spin", [this] { g_stop = false, sim_usb_unplug(rig.usb()); }, {"Sequence 'Spin' failed at step 1 (op=5)"}, 0, 5000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.seq);
        log_clear(&logv);
        if (k.before) k.before();
        const uint64_t t0 = plat_time_ms();
        EXPECT_FALSE(target_seq_run(algo.get(), k.seq, c));
        const uint64_t took = plat_time_ms() - t0;
        EXPECT_TRUE(took >= k.min_ms && took <= k.max_ms) << took;
        for (const std::string& l : k.logs) EXPECT_TRUE(log_has(l.c_str())) << l;
    }
    g_stop = false;
    // The self-calling sequence: the first run and eight nested calls fail at their call.
    log_clear(&logv);
    EXPECT_FALSE(target_seq_run(algo.get(), "Self", c));
    EXPECT_TRUE(log_has("[ALGO] Calls nested deeper than 8 at 'Self'"));
    EXPECT_EQ(log_count_of("Sequence 'Self' failed at step 0 (op=11)"), 9);
}

}  // namespace
