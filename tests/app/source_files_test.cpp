// Source files found, split and disassembled for the source view; the PC followed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/image.h"
#include "app/settings.h"
#include "app/source_files.h"
#include "probe/probe.h"
#include "runctl/breakpoints.h"
#include "symbols/elf_dwarf.h"
#include "tests/symbols/elf_builder.h"
#include "tests/test_util.h"
#include "tests/log_lines.h"

namespace {

const std::string kElf = std::string(KORVANE_SYMBOL_FIXTURES) + "/demo_O2_line5.elf";

class SourceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_file_path("");
        log_clear(&logv);
        source_files_reset();
        s_src_dwarf_file[0] = 0;
        s_src_current_line = 0;
        snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", tmp_.path.c_str());
        for (const char* sub : {"/a", "/b"}) ASSERT_EQ(mkdir((tmp_.path + sub).c_str(), 0700), 0);
    }
    void TearDown() override {
        source_files_reset();
        app_free_image();
        g_src_root_dir[0] = 0;
    }
    std::string write(const std::string& rel, const std::string& body) {
        EXPECT_TRUE(write_text_file(tmp_ / rel, body));
        return tmp_ / rel;
    }
    std::string line(int i) { return source_view.lines[i] ? source_view.lines[i] : "(null)"; }
    TempDir tmp_{"kd_src"};
};

}  // namespace

// A lone CR ends the text but starts no line; an empty file is an empty view
// and not reopened on the next poll.
TEST_F(SourceFiles, LineEndingsSplitAsLines) {
    const struct {
        const char* body;
        std::vector<std::string> lines;
    } cases[] = {{"a\nb\nc", {"a", "b", "c"}}, {"a\nb\nc\n", {"a", "b", "c"}}, {"a\r\nb\r\nc\r\n", {"a", "b", "c"}},
                 {"a\rb\nc", {"a", "c"}},      {"only", {"only"}},           {"\n\n", {"", ""}},
                 {"", {}}};
    for (const auto& c : cases) {
        std::string p = write("f.c", c.body);
        source_files_reset();
        source_load_file(p.c_str(), nullptr, 1);
        std::vector<std::string> got;
        for (int i = 0; i < source_view.count; ++i) got.push_back(line(i));
        EXPECT_EQ(got, c.lines) << c.body;
        EXPECT_EQ(std::string(s_src_loaded_file), p);
    }
}

TEST_F(SourceFiles, ResolvedUnderTheSourceRootByTheLongestExistingTail) {
    write("a/util.c", "int a;\n");
    write("b/util.c", "int b;\n");
    write("main.c", "int main;\n");
    const struct {
        const char* path;
        const char* found;  // under the root; nullptr: not found
    } cases[] = {{"/build/proj/b/util.c", "/b/util.c"},  // two files of one name told apart by folder
                 {"C:\\work\\main.c", "/main.c"},       {"../src/a/util.c", "/a/util.c"},
                 {"/build/none.c", nullptr},             {"/build/", nullptr}};
    char out[512];
    for (const auto& c : cases) {
        EXPECT_EQ(src_resolve(c.path, out, sizeof out), c.found != nullptr) << c.path;
        EXPECT_EQ(c.found ? std::string(out) : "", c.found ? tmp_.path + c.found : "");
    }
    g_src_root_dir[0] = 0;
    EXPECT_FALSE(src_resolve("/build/main.c", out, sizeof out));
    // A missing file is reported once per path, shown as a placeholder line.
    for (int l : {3, 4, 5}) source_load_file("/nowhere/missing.c", nullptr, l);
    EXPECT_EQ(log_lines_with("[SRC] Cannot open: /nowhere/missing.c"), 1);
    ASSERT_EQ(source_view.count, 1);
    EXPECT_EQ(line(0), "[Cannot open: /nowhere/missing.c]");
    EXPECT_EQ(s_src_loaded_file[0], 0);
}

// The file the core is in, polled again: only the current line moves.
// A file chosen from the list: shown (by its path or under the source root)
// with the view no longer following the core, or a log line saying why not.
TEST_F(SourceFiles, AShownFileIsKeptAndAChosenOneOpensWithoutFollowing) {
    write("main.c", "l1\nl2\nl3\nl4\n");
    source_load_file("/build/ci/main.c", nullptr, 2);
    ASSERT_EQ(source_view.count, 4);
    char* arena = source_view.arena;
    source_view.scroll = 40;
    source_load_file("/build/ci/main.c", nullptr, 3);
    EXPECT_EQ(source_view.arena, arena) << "not reloaded";
    EXPECT_EQ(source_view.scroll, 40);
    EXPECT_EQ(s_src_current_line, 3u);
    EXPECT_STREQ(s_src_dwarf_file, "/build/ci/main.c");

    const std::string f = write("b/f.c", "1\n2\n3\n");
    for (auto [path, shown] : {std::pair{f, true}, {"/elsewhere/b/f.c", true}, {"/elsewhere/none.c", false}}) {
        source_files_reset();
        source_view_resume_follow();
        s_src_current_line = 7;
        EXPECT_EQ(source_show_file(path.c_str(), 2), shown) << path;
        EXPECT_EQ(g_source_follow, !shown);
        EXPECT_EQ(std::string(s_src_loaded_file), shown ? f : "");
        EXPECT_EQ(s_src_current_line, shown ? 0u : 7u) << "the core's line is in no chosen file";
    }
    EXPECT_EQ(log_lines_with("[SRC] Cannot open /elsewhere/none.c: not there, nor under the source root"), 1);
    g_src_root_dir[0] = 0;
    EXPECT_FALSE(source_show_file("/elsewhere/none.c", 2));
    EXPECT_EQ(log_lines_with("and no source root is set"), 1);
}

// The PC followed to its line, main's first instruction listed under it; the
// gutter's query for that line (1 set, 2 disabled); a PC without line
// information shows a placeholder and leaves no current line or file.
TEST_F(SourceFiles, DisassemblyBlocksAndFollowingThePc) {
    ASSERT_TRUE(app_load_image(kElf.c_str(), nullptr));
    snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", KORVANE_SOURCE_DIR "/sim/firmware");
    const uint32_t main_addr = find_main_addr();
    source_follow_pc(main_addr | 1);
    const uint32_t at = s_src_current_line;
    ASSERT_TRUE(at > 0 && s_asm_cache_size == source_view.count && (int)at <= s_asm_cache_size);
    EXPECT_NE(std::string(s_src_loaded_file).find("main.c"), std::string::npos);
    const AsmBlock& b = s_asm_cache[at - 1];
    EXPECT_TRUE(std::any_of(b.insns, b.insns + b.count, [&](const AsmInsn& k) { return k.addr == main_addr; }));
    const uint32_t addr = elf_dwarf_line_to_addr(g_elf, s_src_dwarf_file, at) & ~1u;
    for (auto [slot, want] :
         {std::pair{BkptSlot{addr, true, false, true}, 1}, {BkptSlot{addr, true, true, true}, 2}, {BkptSlot{}, 0}}) {
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            g_bkpt[3] = slot;
        }
        EXPECT_EQ(source_bkpt_at_line(at), want);
        EXPECT_EQ(source_bkpt_at_line(at + 1000), 0);
    }
    source_follow_pc(0x20000100);
    ASSERT_EQ(source_view.count, 1);
    EXPECT_EQ(line(0), "[No debug info for PC 0x20000100]");
    EXPECT_EQ(std::to_string(s_src_current_line) + s_src_dwarf_file + s_src_loaded_file, "0");
}

// The image's dump is written beside the window: the log says how it went
// once it is done, and closing the image first stops a dump still running.
TEST_F(SourceFiles, TheImageDumpIsWrittenBesideTheWindow) {
    const std::string dump = tmp_ / "elf_dump.txt";
    ASSERT_TRUE(app_load_image(kElf.c_str(), dump.c_str()));
    app_wait_dump();
    EXPECT_EQ(log_lines_with("[ELF] Dump written \xE2\x86\x92 elf_dump.txt"), 1);
    EXPECT_NE(read_text_file(dump).find("  VARIABLES PER FUNCTION"), std::string::npos);
    EXPECT_EQ(read_text_file(dump).find("stopped before"), std::string::npos);
    ASSERT_TRUE(app_load_image(kElf.c_str(), (tmp_ / "none/elf_dump.txt").c_str()));
    app_wait_dump();
    EXPECT_EQ(log_lines_with("[ELF] Dump failed"), 1);
    std::vector<uint8_t> img = dwarf_build::hostile_dump_image();
    const std::string hostile = tmp_ / "hostile.elf";
    ASSERT_TRUE(write_file(hostile, img));
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(app_load_image(hostile.c_str(), dump.c_str()));
        app_free_image();
        std::string t = read_text_file(dump);
        EXPECT_NE(t.rfind("\n  ... stopped before "), std::string::npos) << round;
        EXPECT_EQ(t.substr(t.size() - 2), "\n\n") << "ends after its stop line";
    }
    EXPECT_EQ(log_lines_with("[ELF] Dump failed"), 1) << "a stopped dump is no failure";
}
