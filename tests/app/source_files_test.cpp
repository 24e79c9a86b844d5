// Source files found, split and disassembled for the source view; the PC followed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/image.h"
#include "app/settings.h"
#include "app/source_files.h"
#include "probe/probe.h"
#include "runctl/breakpoints.h"
#include "symbols/elf_dwarf.h"
#include "tests/symbols/elf_builder.h"
#include "ui/log_view.h"

namespace {

class SourceFiles : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_file_path("");
        log_clear(&logv);
        source_files_reset();
        s_src_dwarf_file[0] = 0;
        s_src_current_line = 0;
        g_src_root_dir[0] = 0;
        dir_ = testing::TempDir() + "srcfiles_" + std::to_string(getpid());
        (void)!system(("rm -rf " + dir_ + " && mkdir -p " + dir_ + "/a " + dir_ + "/b").c_str());
    }
    void TearDown() override {
        source_files_reset();
        app_free_image();
        g_src_root_dir[0] = 0;
    }
    std::string write(const std::string& rel, const std::string& body) {
        std::string p = dir_ + "/" + rel;
        FILE* f = fopen(p.c_str(), "wb");
        fwrite(body.data(), 1, body.size(), f);
        fclose(f);
        return p;
    }
    std::string line(int i) { return source_view.lines[i] ? source_view.lines[i] : "(null)"; }
    int log_lines_with(const char* text) {
        int n = 0;
        char buf[LOG_LINE_LEN];
        for (int i = 0; i < log_count(&logv); ++i)
            if (log_line(&logv, i, buf, sizeof buf, nullptr) && strstr(buf, text)) ++n;
        return n;
    }
    std::string dir_;
};

}  // namespace

TEST_F(SourceFiles, LineEndingsSplitAsLines) {
    const struct {
        const char* body;
        int count;
        const char* last;
    } cases[] = {{"a\nb\nc", 3, "c"},       {"a\nb\nc\n", 3, "c"},   {"a\r\nb\r\nc\r\n", 3, "c"},
                 {"a\rb\nc", 2, "c"},       {"only", 1, "only"},     {"\n\n", 2, ""}};
    for (const auto& c : cases) {
        std::string p = write("f.c", c.body);
        source_files_reset();
        source_load_file(p.c_str(), nullptr, 1);
        ASSERT_EQ(source_view.count, c.count) << c.body;
        EXPECT_EQ(line(c.count - 1), c.last);
        EXPECT_EQ(std::string(s_src_loaded_file), p);
    }
    EXPECT_EQ(line(0), "");
    std::string p = write("ab.c", "a\rb\n");
    source_files_reset();
    source_load_file(p.c_str(), nullptr, 1);
    EXPECT_EQ(line(0), "a") << "a lone CR ends the text but starts no line";
    // An empty file is an empty view, and not reopened on the next poll.
    p = write("empty.c", "");
    source_files_reset();
    source_load_file(p.c_str(), nullptr, 1);
    EXPECT_EQ(source_view.count, 0);
    EXPECT_EQ(std::string(s_src_loaded_file), p);
}

TEST_F(SourceFiles, ResolvedUnderTheSourceRootByTheLongestExistingTail) {
    write("a/util.c", "int a;\n");
    write("b/util.c", "int b;\n");
    write("main.c", "int main;\n");
    snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", dir_.c_str());
    char out[512];
    ASSERT_TRUE(src_resolve("/build/proj/b/util.c", out, sizeof out));
    EXPECT_EQ(std::string(out), dir_ + "/b/util.c") << "two files of one name told apart by folder";
    ASSERT_TRUE(src_resolve("C:\\work\\main.c", out, sizeof out));
    EXPECT_EQ(std::string(out), dir_ + "/main.c");
    ASSERT_TRUE(src_resolve("../src/a/util.c", out, sizeof out));
    EXPECT_EQ(std::string(out), dir_ + "/a/util.c");
    EXPECT_FALSE(src_resolve("/build/none.c", out, sizeof out));
    EXPECT_FALSE(src_resolve("/build/", out, sizeof out));
    g_src_root_dir[0] = 0;
    EXPECT_FALSE(src_resolve("/build/main.c", out, sizeof out));

    // A missing file is reported once per path, shown as a placeholder line.
    source_load_file("/nowhere/missing.c", nullptr, 3);
    source_load_file("/nowhere/missing.c", nullptr, 4);
    source_load_file("/nowhere/missing.c", nullptr, 5);
    EXPECT_EQ(log_lines_with("[SRC] Cannot open: /nowhere/missing.c"), 1);
    ASSERT_EQ(source_view.count, 1);
    EXPECT_EQ(line(0), "[Cannot open: /nowhere/missing.c]");
    EXPECT_EQ(s_src_loaded_file[0], 0);
}

TEST_F(SourceFiles, AShownFileOpenedThroughTheRootIsNotReloadedOnEveryPoll) {
    write("main.c", "l1\nl2\nl3\nl4\n");
    snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", dir_.c_str());
    source_load_file("/build/ci/main.c", nullptr, 2);
    ASSERT_EQ(source_view.count, 4);
    char* arena = source_view.arena;
    source_view.scroll = 40;
    source_load_file("/build/ci/main.c", nullptr, 3);
    EXPECT_EQ(source_view.arena, arena) << "same file: only the current line moves";
    EXPECT_EQ(source_view.scroll, 40);
    EXPECT_EQ(s_src_current_line, 3u);
    EXPECT_STREQ(s_src_dwarf_file, "/build/ci/main.c");
}

// A file chosen from the list: shown (by its path or under the source root)
// with the view no longer following the core, or a log line saying why not.
TEST_F(SourceFiles, AChosenFileOpensWithoutFollowingOrLogsWhyNot) {
    const std::string f = write("b/f.c", "1\n2\n3\n");
    snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", dir_.c_str());
    const struct {
        std::string path;
        bool shown;
    } cases[] = {{f, true}, {"/elsewhere/b/f.c", true}, {"/elsewhere/none.c", false}};
    for (const auto& c : cases) {
        source_files_reset();
        source_view_resume_follow();
        s_src_current_line = 7;
        EXPECT_EQ(source_show_file(c.path.c_str(), 2), c.shown) << c.path;
        EXPECT_EQ(g_source_follow, !c.shown);
        EXPECT_EQ(std::string(s_src_loaded_file), c.shown ? f : "");
        EXPECT_EQ(s_src_current_line, c.shown ? 0u : 7u) << "the core's line is in no chosen file";
    }
    EXPECT_EQ(log_lines_with("[SRC] Cannot open /elsewhere/none.c: not there, nor under the source root"), 1);
    g_src_root_dir[0] = 0;
    EXPECT_FALSE(source_show_file("/elsewhere/none.c", 2));
    EXPECT_EQ(log_lines_with("and no source root is set"), 1);
}

TEST_F(SourceFiles, DisassemblyBlocksAndFollowingThePc) {
    std::string elf = std::string(KORVANE_SYMBOL_FIXTURES) + "/demo_O2_line5.elf";
    ASSERT_TRUE(app_load_image(elf.c_str(), nullptr));
    snprintf(g_src_root_dir, sizeof g_src_root_dir, "%s", KORVANE_SOURCE_DIR "/sim/firmware");
    uint32_t main_addr = 0;
    ASSERT_TRUE(elf_dwarf_find_function(g_elf, "main", &main_addr));
    source_follow_pc(main_addr | 1);
    ASSERT_GT(source_view.count, 20);
    EXPECT_NE(std::string(s_src_loaded_file).find("main.c"), std::string::npos);
    ASSERT_GT(s_src_current_line, 0u);
    ASSERT_EQ(s_asm_cache_size, source_view.count);
    // Every block holds real instruction starts of its own line, inside code.
    int lines_with_code = 0;
    for (int i = 0; i < s_asm_cache_size; ++i) {
        const AsmBlock& b = s_asm_cache[i];
        EXPECT_TRUE(b.loaded);
        ASSERT_LE(b.count, ASM_BLOCK_MAX);
        lines_with_code += b.count > 0;
        for (int k = 0; k < b.count; ++k) {
            uint8_t two[2];
            EXPECT_TRUE(elf_read_text(g_elf, b.insns[k].addr, two, 2));
            EXPECT_NE(b.insns[k].text[0], 0);
        }
    }
    EXPECT_GT(lines_with_code, 10);
    uint32_t cur = s_src_current_line;
    const AsmBlock& at_main = s_asm_cache[cur - 1];
    bool found = false;
    for (int k = 0; k < at_main.count; ++k) found |= at_main.insns[k].addr == main_addr;
    EXPECT_TRUE(found) << "main's first instruction is listed under its line";
    // A PC without line information: the placeholder, no current line, no remembered file.
    source_follow_pc(0x20000100);
    ASSERT_EQ(source_view.count, 1);
    EXPECT_EQ(line(0), "[No debug info for PC 0x20000100]");
    EXPECT_EQ(s_src_current_line, 0u);
    EXPECT_EQ(s_src_dwarf_file[0], 0);
    EXPECT_EQ(s_src_loaded_file[0], 0);
    EXPECT_EQ(find_main_addr(), main_addr);

    // The gutter's breakpoint query for the shown file's lines.
    source_follow_pc(main_addr);
    uint32_t line = s_src_current_line;
    EXPECT_EQ(source_bkpt_at_line(line), 0);
    uint32_t addr = elf_dwarf_line_to_addr(g_elf, s_src_dwarf_file, line);
    ASSERT_NE(addr, 0u);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_bkpt[3] = BkptSlot{addr & ~1u, true, false, true};
    }
    EXPECT_EQ(source_bkpt_at_line(line), 1);
    EXPECT_EQ(source_bkpt_at_line(line + 1000), 0);
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        g_bkpt[3].disabled = true;
    }
    EXPECT_EQ(source_bkpt_at_line(line), 2);
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    g_bkpt[3] = BkptSlot{};
}

// The image's dump is written beside the window: the log says how it went
// once it is done, and closing the image first stops a dump still running.
TEST_F(SourceFiles, TheImageDumpIsWrittenBesideTheWindow) {
    std::string elf = std::string(KORVANE_SYMBOL_FIXTURES) + "/demo_O2_line5.elf", dump = dir_ + "/elf_dump.txt";
    auto text = [&] {
        std::ifstream in(dump, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(app_load_image(elf.c_str(), dump.c_str()));
    app_wait_dump();
    EXPECT_EQ(log_lines_with("[ELF] Dump written \xE2\x86\x92 elf_dump.txt"), 1);
    EXPECT_NE(text().find("  VARIABLES PER FUNCTION"), std::string::npos);
    EXPECT_EQ(text().find("stopped before"), std::string::npos);
    ASSERT_TRUE(app_load_image(elf.c_str(), (dir_ + "/none/elf_dump.txt").c_str()));
    app_wait_dump();
    EXPECT_EQ(log_lines_with("[ELF] Dump failed"), 1);
    std::vector<uint8_t> img = dwarf_build::hostile_dump_image();
    std::string hostile = write("hostile.elf", std::string(img.begin(), img.end()));
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(app_load_image(hostile.c_str(), dump.c_str()));
        app_free_image();
        std::string t = text();
        EXPECT_NE(t.rfind("\n  ... stopped before "), std::string::npos) << round;
        EXPECT_EQ(t.substr(t.size() - 2), "\n\n") << "ends after its stop line";
    }
    EXPECT_EQ(log_lines_with("[ELF] Dump failed"), 1) << "a stopped dump is no failure";
}
