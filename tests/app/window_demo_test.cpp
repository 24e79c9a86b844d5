// The demo driven with the mouse alone, as a person would: clicks by xdotool,
// looks by screenshots, pixels read where the layout pass puts things.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/paths.h"
#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/app/x11_harness.h"
#include "ui/file_picker.h"
#include "ui/frame.h"
#include "ui/layout.h"
#include "ui/panels.h"
#include "ui/setup_panel.h"
#include "ui/theme.h"

namespace {

constexpr int W = 1280, H = 800;

// A row of the Call stack panel.
struct Frame {
    const char* func;
    const char* at;  // file:line
};

class DemoWindow : public ::testing::Test, protected Screen {
protected:
    void SetUp() override {
        if (!have_program("xdotool") || !have_program("import"))
            GTEST_SKIP() << "needs xdotool and ImageMagick's import";
        ASSERT_TRUE(xserver_start(&x_, 1600, 1000));
        xs = &x_, exe = KORVANE_EXE, dir = make_temp_dir("demo");
        ASSERT_FALSE(dir.empty());
        before_start();
        ASSERT_TRUE(launch(launch_args(), ready()));
        // The same layout the program computes for this size, and its text.
        ASSERT_TRUE(layout_font_load() && text_font_load());
        layout_reset();
        ui_layout_pass(W, H);
    }
    // The close button, as a person ends the program (it saves what it remembers).
    void close_window() {
        ui_layout_pass(ww, wh);
        click(closeButton);
        ASSERT_EQ(app_wait(&app, kPatienceMs), 0);
    }
    void TearDown() override {
        app_kill(&app);
        xserver_stop(&x_);
        if (elf_) elf_dwarf_free(elf_);
        if (!dir.empty() && !HasFailure()) (void)!system(("rm -rf " + dir).c_str());
    }
    virtual void before_start() {}
    virtual std::vector<std::string> launch_args() { return {"--demo", "--size", "1280x800"}; }
    virtual const char* ready() { return "[PRB] Target running at connect"; }
    // A button drawn in this tint, or greyed out.
    bool lit(const Image& img, const Button& b, Color3 tint) {
        return count(img, b.x, b.y, b.x + b.width, b.y + b.height, near(tint, 12)) > 15;
    }
    bool greyed(const Image& img, const Button& b) {
        theme_activate(true);
        return lit(img, b, dbg_button_icon_color(&b, Color3{1, 1, 1}, true));
    }
    // --- Stepping through the demo's sources -----------------------------------------

    // A toolbar click, then the pointer away: a hovered icon is brighter than its tint.
    void press(const Button& b) {
        click(b);
        move(300, 300);
    }
    // Bottom-row toggles: clicked in the window and mirrored in this process's layout.
    void show_panels(std::initializer_list<const Button*> toggles) {
        for (const Button* b : toggles) {
            click(*b);
            for (const VisToggle& t : bot_btns) *t.flag |= t.btn == b;
        }
        ui_layout_pass(W, H);
    }
    // A global of the demo image added from the Scope tab (its row in view);
    // the Watch tab then shows.
    void watch(const char* name) {
        static ElfVariable vars[512];
        if (!elf_) elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
        int n = elf_ ? elf_dwarf_get_all_variables(elf_, vars, 512) : 0, row = 0;
        while (row < n && std::string(vars[row].name) != name) ++row;
        const LayoutBox& v = variables_box;
        ASSERT_LT(row, std::min(n, (int)((v.h - VAR_LIST_TOP) / VAR_ROW_H))) << name << " in view";
        click(v.x + v.w / 4, v.y + 27);
        click(v.x + 40, v.y + VAR_LIST_TOP + VAR_ROW_H * row + 10);
    }
    uint32_t line_addr(const char* file, uint32_t line) {
        if (!elf_) elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
        return elf_ ? elf_dwarf_line_to_addr(elf_, file, line) & ~1u : 0;
    }
    static std::string hex(uint32_t addr) {
        char s[16];
        snprintf(s, sizeof s, "0x%08X", addr);
        return s;
    }
    // The Source panel's scroll as the program sets it: a new halted line sits
    // just above the middle, a wheel notch moves three lines, both within the file.
    float max_scroll() const { return std::max(0.0f, src_lines_ * 20 - (source_box.h - SOURCE_HEADER_H)); }
    float scroll() const { return std::clamp(src_target_, 0.0f, max_scroll()); }
    void follow(const std::string& file, uint32_t line) {
        src_lines_ = 0;
        for (char c : read_text_file(KORVANE_SOURCE_DIR "/sim/firmware/" + file)) src_lines_ += c == '\n';
        src_target_ = std::max(0.0f, (line - 1) * 20.0f - (source_box.h / 2 - 20));
    }
    float baseline(uint32_t line) const { return source_box.y + SOURCE_HEADER_H + line * 20.0f - scroll(); }
    void reveal(uint32_t line) {
        const LayoutBox& b = source_box;
        int notches = 0;
        for (; baseline(line) - 20 < b.y + SOURCE_HEADER_H && scroll() > 0; --notches) src_target_ = scroll() - 60;
        for (; baseline(line) + 3 > b.y + b.h && scroll() < max_scroll(); ++notches) src_target_ = scroll() + 60;
        if (!notches) return;
        move(b.x + b.w / 2, b.y + b.h / 2);
        for (int i = 0; i < std::abs(notches); ++i) ASSERT_EQ(xdo({"click", notches > 0 ? "5" : "4"}), 0);
        ASSERT_TRUE(seen("revealed", [&](const Image& i) { return numbered(i, line); })) << "line " << line;  // it glides
    }
    void gutter_click(uint32_t line) { click(source_box.x + 10, baseline(line) - 10); }
    bool band_at(const Image& i, float y) {
        const LayoutBox& b = source_box;
        return count(i, b.x + 44, y, b.x + b.w - 16, y + 1, near(g_theme_dark.source_current_line, 6)) * 3 > b.w - 60;
    }
    // Red gutter dots between window rows y0 and y1.
    int red_dots(const Image& i, float y0, float y1) {
        auto red = [](const unsigned char* p) { return p[0] > 200 && p[1] < 70 && p[2] < 70; };
        return count(i, source_box.x + 1, y0, source_box.x + 18, y1, red);
    }
    int red_dots(const Image& i) { return red_dots(i, source_box.y + SOURCE_HEADER_H, source_box.y + source_box.h); }
    int red_dot_at(const Image& i, uint32_t line) { return red_dots(i, baseline(line) - 18, baseline(line) + 2); }
    // The panel's title names its file: after "Source: ", or alone where the
    // header's buttons leave no room for both.
    bool titled(const Image& i, const std::string& file) {
        const LayoutBox& b = source_box;
        const float x = b.x + b.padding;
        return text(i, file, x + text_width("Source: "), b.y + 13, g_theme_dark.hdr_normal) ||
               text(i, file, x, b.y + 13, g_theme_dark.hdr_normal);
    }
    bool numbered(const Image& i, uint32_t line) {
        char num[16];
        snprintf(num, sizeof num, "%4u", line);
        return text(i, num, source_box.x + 4, baseline(line), g_theme_dark.log_line_number);
    }
    // "Files", then the row of the file with this base name: it opens at its
    // first line of code, with no line marked (the core is in another file).
    // What is wrong with the view, or "".
    std::string chose(const char* base) {
        if (!elf_) elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
        ElfSourceFile files[16];
        int n = elf_ ? elf_dwarf_source_files(elf_, files, 16) : 0, row = -1;
        for (int k = 0; k < n && k < 16; ++k) row = std::string(path_base_name(files[k].path)) == base ? k : row;
        if (row < 0) return "not listed";
        click(BtnFiles);
        FilePicker list = {};
        list.match_count = n;
        file_picker_place(&list, &source_box, W, H);
        click(list.x + list.w / 2, file_picker_row_top(&list, row) + FILE_PICKER_ROW_H / 2);
        const uint32_t first = files[row].first_line;
        follow(base, first);
        return wrong_after("chosen", [&](const Image& i) {
            return failed({{titled(i, base), "the chosen file's title"},
                           {numbered(i, first), "its first line of code in view"},
                           {!band_at(i, baseline(first) - 10), "the core's line marked in another file"}});
        });
    }
    // The halted line: the panel's file, the band on that line alone and the line's number.
    bool shows_line(const Image& i, const std::string& file, uint32_t line) {
        return band_at(i, baseline(line) - 10) && !band_at(i, baseline(line) - 30) && !band_at(i, baseline(line) + 10) &&
               titled(i, file) && numbered(i, line);
    }
    // The Call stack panel lists these frames, innermost first (in the keyword colour), and no more.
    bool stack_shows(const Image& i, const std::vector<Frame>& frames) {
        const Theme& t = g_theme_dark;
        for (size_t k = 0; k <= frames.size(); ++k) {
            const std::string idx = "#" + std::to_string(k);
            const float x = stack_box.x + 6, bl = stack_box.y + 40 + 18 * k, fx = x + text_width(idx.c_str()) + 6;
            if (text(i, idx, x, bl, t.titlebar_info) != (k < frames.size())) return false;
            if (k < frames.size() && !(text(i, frames[k].func, fx, bl, k ? t.syn_function : t.syn_keyword) &&
                                       text(i, frames[k].at, fx + text_width(frames[k].func) + 8, bl, t.log_text_dim)))
                return false;
        }
        return true;
    }
    // Breakpoints panel row k: its address text, or any ink at all.
    float bkpt_row_top(int k) const { return bkpt_box.y + BKPT_LIST_TOP + BKPT_ROW_H * k; }
    bool bkpt_row_shows(const Image& i, int k, uint32_t addr) {
        return text(i, hex(addr), bkpt_box.x + 94, bkpt_row_top(k) + 14, g_theme_dark.titlebar_text);
    }
    int bkpt_row_ink(const Image& i, int k) {
        auto ink = [](const unsigned char* p) { return std::max({p[0], p[1], p[2]}) > 110; };
        return count(i, bkpt_box.x + 4, bkpt_row_top(k), bkpt_box.x + bkpt_box.w - 4, bkpt_row_top(k + 1), ink);
    }
    bool no_bkpts_listed(const Image& i) {
        return text(i, "No breakpoints set.", bkpt_box.x + 8, bkpt_box.y + 53, g_theme_dark.titlebar_info);
    }
    // A gutter breakpoint on `line`, Continue to it, and the breakpoint cleared again.
    void break_at(const char* file, uint32_t line) {
        reveal(line);
        size_t mark = log().size();
        gutter_click(line);
        ASSERT_TRUE(wait_for_log("[BKP] Set @ " + hex(line_addr(file, line)), mark)) << log().substr(mark);
        press(BtnStart);
        follow(file, line);
        auto hit = [&](const Image& i) {
            return band_at(i, baseline(line) - 10) && lit(i, BtnStart, g_theme_dark.dbg_btn_continue);
        };
        ASSERT_TRUE(seen("hit", hit)) << "halted at " << file << ":" << line << "\n" << log().substr(mark);
        gutter_click(line);
        ASSERT_TRUE(cleared(line));
    }
    // A gutter click took a breakpoint away (the program logs nothing for it):
    // its dot is gone and the probe has taken the command (Step is live again).
    bool cleared(uint32_t line) {
        return seen("cleared", [&](const Image& i) { return red_dot_at(i, line) == 0 && lit(i, BtnStep, g_theme_dark.dbg_btn_step); });
    }

    XServer x_;
    ElfDwarf* elf_ = nullptr;
    float src_lines_ = 0, src_target_ = 0;
};

}  // namespace

// While the target runs, a file chosen from the list and then scrolled stays
// (the core never runs in startup.c after start-up): no sampled PC pulls the
// view back until Follow is clicked.
TEST_F(DemoWindow, WhileRunningAScrolledFileStaysUntilFollow) {
    ASSERT_EQ(chose("startup.c"), "");
    move(source_box.x + source_box.w / 2, source_box.y + source_box.h / 2);
    for (int k = 0; k < 2; ++k) ASSERT_EQ(xdo({"click", "5"}), 0);  // two notches: six lines down
    src_target_ = scroll() + 120;
    const uint32_t top = (uint32_t)(scroll() / 20) + 2;  // a line wholly in view
    auto scrolled = [&](const Image& i) { return titled(i, "startup.c") && numbered(i, top); };
    ASSERT_TRUE(seen("scrolled", scrolled)) << "line " << top;
    // Each PC sample the window shows moves the Core registers' PC row; three of them.
    const LayoutBox& r = memmap_box;
    auto pc = [&](const Image& i) { return ink(i, r.x + 4, r.y + 22 + 8, r.x + r.w - 4, r.y + 22 + 30); };
    std::string was = pc(shot("sample"));
    for (int k = 0; k < 3; ++k) {
        Image i = shot_until("sample", [&](const Image& i) { return pc(i) != was; });
        EXPECT_TRUE(pc(i) != was) << "no PC sample shown";
        EXPECT_TRUE(scrolled(i)) << "sample " << k << " pulled the view back";
        was = pc(i);
    }
    g_source_follow = false;  // where the header puts Follow now
    ui_layout_pass(W, H);
    click(BtnFollow);
    auto followed = [&](const Image& i) { return titled(i, "main.c") || titled(i, "wave.c"); };
    EXPECT_TRUE(seen("followed", followed)) << "Follow goes back to the core's file";
}

// Flashing from the window: Browse picks a 256 KB image (the demo firmware
// padded with a pattern), Flash runs the demo pack's algorithm with the
// progress bar moving to 100 %, and the board comes back halted at reset.
class DemoFlash : public DemoWindow {
protected:
    void before_start() override {
        image_ = dir + "/fw256k.bin";
        std::string img = read_text_file(std::string(KORVANE_DEMO_FW_DIR) + "/demo_O0_dwarf4.bin");
        while (img.size() < 256 * 1024) img.push_back(char(img.size() * 7 + 3));
        ASSERT_TRUE(write_text_file(image_, img));
        ASSERT_TRUE(answer_dialogs_with(image_));
        // The program looks for packs beside its executable, here a copy in dir.
        ASSERT_EQ(symlink(KORVANE_DEMO_PACK_DIR, (dir + "/packs").c_str()), 0);
    }
    // Fill of the progress bar (90 px wide) in the status colour, 0..90.
    int bar_fill(const Image& img, Color3 c) { return count(img, bar_x_, bar_y_ + 4, bar_x_ + 90, bar_y_ + 5, near(c, 40)); }
    std::string image_;
    int bar_x_ = 0, bar_y_ = 0;
};

TEST_F(DemoFlash, TheFlashButtonProgramsTheBoardWithProgressAndItHaltsAfterReset) {
    ASSERT_TRUE(wait_for_log("[MCU ID] Cortex-M4")) << log();
    EXPECT_NE(log().find("Device:STM32F405/415, F407/417"), std::string::npos) << log();
    click(BtnSetup);
    layout_reset();
    g_show_setup = true;
    ui_layout_pass(W, H);
    // Where the panel puts its rows, the status bar and the Flash button.
    const SetupFlashPlace fp = setup_flash_place(&setup_box);
    const Theme& t = g_theme_dark;
    const int px = (int)setup_box.x + 15, row0 = (int)fp.row0;
    bar_x_ = (int)fp.status_x, bar_y_ = (int)fp.status_y;
    const Button flash_btn = {bar_x_, bar_y_ + 14, 80, 18, false, false};
    ASSERT_LE(flash_btn.y + flash_btn.height, setup_box.y + setup_box.h) << "Flash is inside the panel";
    // The BIN/HEX row's "Browse" is underlined in the link colour: find it.
    int first, last;
    auto link = [&](const Image& i) { return span(i, row0 + 4 * 26 + 18, px, fp.path_right, t.dbg_btn_step, &first, &last); };
    ASSERT_TRUE(seen("setup", [&](const Image& i) { return link(i) > 40; })) << "the Browse link of the BIN/HEX row";
    size_t mark = log().size();
    click((first + last) / 2, row0 + 4 * 26 + 9);
    ASSERT_TRUE(wait_for_log("[CFG] bin = " + image_, mark)) << log();
    ASSERT_TRUE(seen("flash_ready", [&](const Image& i) { return lit(i, flash_btn, t.dbg_btn_continue); }))
        << "Flash is live with a probe, an MCU and a file";
    mark = log().size();
    click(flash_btn);
    // The board erases and programs in its own real time, seconds long: shots until it ends.
    int partial = 0;
    shot_until("flashing", [&](const Image& i) {
        const int f = bar_fill(i, t.titlebar_info);
        partial += f > 0 && f < 88;
        return log().find("[FLASH] Done", mark) != std::string::npos || log().find("[FLASH] FAILED", mark) != std::string::npos;
    });
    ASSERT_TRUE(wait_for_log("[FLASH] Done", mark)) << log();
    EXPECT_GT(partial, 0) << "the bar was seen part-way";
    EXPECT_TRUE(seen("flashed", [&](const Image& i) { return bar_fill(i, t.dbg_btn_continue) >= 88; })) << "a full bar in the Done colour";
    EXPECT_NE(log().find("[FLM] Progress: 100%", mark), std::string::npos);
    EXPECT_NE(log().find("[FLASH] Target reset and halted", mark), std::string::npos) << log();
    // Halted after the reset: Continue is live.
    EXPECT_TRUE(seen("after", [&](const Image& i) { return lit(i, BtnStart, t.dbg_btn_continue); }));
}

// A session at the toolbar, each command checked against where gdb's same
// command stops: the file and line, and the call stack. Every command ends
// by itself, never by the timeout, and no breakpoint but the user's shows.
namespace {

// Rows that are no toolbar click.
const Button kBreak{};   // a gutter breakpoint on the line, run to and cleared again
const Button kChoose{};  // the file chosen from the Source header's list while the core is elsewhere
const Button kSixth{};   // five gutter breakpoints, a sixth refused until one is cleared
const Button kAsm{};     // the instructions interleaved with the lines
struct Move {
    const Button* act;
    const char* file;  // where the core then stands
    uint32_t line;
    const char* log;   // the command's closing log line
    std::vector<Frame> frames;
};

const Move kSession[] = {
    {&BtnRunToMain, "main.c", 92, "[DBG] RunToMain: stopped at main()", {{"main", "main.c:92"}}},
    {&kBreak, "main.c", 109, nullptr, {{"main", "main.c:109"}}},
    {&BtnStep, "main.c", 114, "[DBG] StepOver: done", {{"main", "main.c:114"}}},
    {&kBreak, "main.c", 99, nullptr, {{"main", "main.c:99"}}},
    {&BtnStepInto, "wave.c", 20, "[DBG] StepInto: done", {{"wave_sample", "wave.c:20"}, {"main", "main.c:99"}}},
    {&BtnStepInto, "wave.c", 11, "[DBG] StepInto: done",
     {{"sine_q", "wave.c:11"}, {"wave_sample", "wave.c:20"}, {"main", "main.c:99"}}},
    {&kBreak, "wave.c", 16, nullptr,
     {{"sine_q", "wave.c:16"}, {"wave_sample", "wave.c:20"}, {"main", "main.c:99"}}},
    // From the closing brace back into the caller, to its next line.
    {&BtnStep, "wave.c", 21, "[DBG] StepOver: done", {{"wave_sample", "wave.c:21"}, {"main", "main.c:99"}}},
    {&kBreak, "wave.c", 28, nullptr, {{"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    {&BtnStepInto, "wave.c", 27, "[DBG] StepInto: done",
     {{"fibonacci", "wave.c:27"}, {"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    // One level up the recursion, not two.
    {&BtnStepOut, "wave.c", 28, "[DBG] StepOut: done", {{"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    {&kChoose, "main.c", 0, nullptr, {}},
    {&kBreak, "main.c", 109, nullptr, {{"main", "main.c:109"}}},
    {&BtnReset, "startup.c", 76, "[DBG] Reset: halted at reset vector", {{"Reset_Handler", "startup.c:76"}}},
    {&kSixth, "startup.c", 76, nullptr, {{"Reset_Handler", "startup.c:76"}}},
    {&kBreak, "startup.c", 90, nullptr, {{"Reset_Handler", "startup.c:90"}}},
    {&kAsm, "startup.c", 90, nullptr, {}},
};

}  // namespace

TEST_F(DemoWindow, StepsStopWhereGdbStopsAndPauseEndsALongStep) {
    const Theme& t = g_theme_dark;
    auto halted = [&](const Image& i) { return lit(i, BtnStart, t.dbg_btn_continue) && greyed(i, BtnPause); };
    show_panels({&BtnShowK, &BtnShowB});
    for (const Move& m : kSession) {
        SCOPED_TRACE(std::string("then at ") + m.file + ":" + std::to_string(m.line));
        size_t mark = log().size();
        if (m.act == &kBreak) {
            break_at(m.file, m.line);
            if (HasFatalFailure()) return;
        } else if (m.act == &kChoose) {
            EXPECT_EQ(chose(m.file), "");
            continue;
        } else if (m.act == &kSixth) {
            // Six comparators, one kept for stepping: the sixth is neither listed nor
            // marked, and takes once another is cleared.
            const uint32_t lines[6] = {78, 79, 81, 82, 83, 87};
            auto addr = [&](int k) { return line_addr("startup.c", lines[k]); };
            for (int k = 0; k < 6; ++k) {
                size_t at = log().size();
                gutter_click(lines[k]);
                ASSERT_TRUE(wait_for_log((k < 5 ? "[BKP] Set @ " : "[BKP] No comparator left for ") + hex(addr(k)), at))
                    << "line " << lines[k] << "\n" << log().substr(at);
            }
            EXPECT_EQ(wrong_after("five", [&](const Image& i) -> std::string {
                          for (int k = 0; k < 5; ++k)
                              if (red_dot_at(i, lines[k]) < 40 || !bkpt_row_shows(i, k, addr(k)))
                                  return "line " + std::to_string(lines[k]);
                          return failed({{red_dot_at(i, lines[5]) == 0, "the refused line marked"},
                                         {bkpt_row_ink(i, 5) == 0, "the refused line listed"}});
                      }), "");
            gutter_click(lines[0]);
            ASSERT_TRUE(cleared(lines[0]));
            size_t at = log().size();
            gutter_click(lines[5]);
            ASSERT_TRUE(wait_for_log("[BKP] Set @ " + hex(addr(5)), at)) << log().substr(at);
            EXPECT_EQ(wrong_after("swapped", [&](const Image& i) {
                          return failed({{red_dot_at(i, lines[5]) > 40, "the sixth not marked"},
                                         {bkpt_row_shows(i, 0, addr(5)), "not listed in the freed slot's row"},
                                         {bkpt_row_ink(i, 5) == 0, "a sixth row"}});
                      }), "");
            for (int k = 1; k < 6; ++k) {
                gutter_click(lines[k]);
                ASSERT_TRUE(cleared(lines[k]));
            }
        } else if (m.act == &kAsm) {
            // Each line's instructions below it: their addresses fill the code column.
            auto addrs = [&](const Image& i) {
                const LayoutBox& b = source_box;
                return count(i, b.x + 44, b.y + SOURCE_HEADER_H, b.x + 140, b.y + b.h, near(t.asm_addr, 30));
            };
            const int before = addrs(shot("no_asm"));
            press(BtnToggleAsm);
            EXPECT_TRUE(seen("asm", [&](const Image& i) { return addrs(i) > before + 150; }));
            press(BtnToggleAsm);
            continue;
        } else {
            press(*m.act);
            ASSERT_TRUE(wait_for_log(m.log, mark)) << log().substr(mark);
        }
        follow(m.file, m.line);
        ASSERT_EQ(wrong_after(("at_" + std::string(m.file) + "_" + std::to_string(m.line)).c_str(), [&](const Image& i) {
                      return failed({{shows_line(i, m.file, m.line), "the halted line"},
                                     {stack_shows(i, m.frames), "the Call stack panel"},
                                     {red_dots(i) == 0, "a gutter dot the user did not set"},
                                     {no_bkpts_listed(i), "a breakpoint listed the user did not set"},
                                     {halted(i), "the halted toolbar"}});
                  }), "") << log().substr(mark);
        for (const char* bad : {"Step: timeout", "BP set failed", "0x00000004"})
            EXPECT_EQ(log().find(bad, mark), std::string::npos) << log().substr(mark);
    }

    // Over main(), which never returns: the step runs on with Pause live, and Pause ends it.
    size_t mark = log().size();
    press(BtnStep);
    EXPECT_EQ(wrong_after("long_step", [&](const Image& i) {
                  return failed({{lit(i, BtnPause, t.dbg_btn_pause) && greyed(i, BtnStart), "the running toolbar"},
                                 {red_dots(i) == 0 && no_bkpts_listed(i), "the step's own breakpoint shown as the user's"}});
              }), "");
    press(BtnPause);  // live only while the step runs
    ASSERT_TRUE(wait_for_log("[DBG] Halt: done", mark)) << log().substr(mark);
    EXPECT_TRUE(seen("paused", halted));
    EXPECT_EQ(log().find("Step: timeout", mark), std::string::npos) << log().substr(mark);
}

// Editing a value: g_fault_trigger from the Scope tab, its value clicked in
// the Watch tab, a literal typed over the selected text and Enter: the write
// is logged with its read-back and the firmware runs into its fault
// (UDF: the core stops on entering HardFault_Handler by itself and the
// Source view shows the faulting line).
TEST_F(DemoWindow, AWatchValueTypedInTheWindowMakesTheFirmwareFault) {
    watch("g_fault_trigger");
    const LayoutBox& v = variables_box;
    // A press on the value opens the field; Escape closes it and writes nothing.
    size_t mark = log().size();
    click(v.x + v.w * 3 / 4, v.y + 36 + 10);
    ASSERT_EQ(xdo({"type", "7"}), 0);
    ASSERT_EQ(xdo({"key", "Escape"}), 0);
    // A value that does not fit is refused; the field stays open for a correction.
    click(v.x + v.w * 3 / 4, v.y + 36 + 10);
    ASSERT_EQ(xdo({"type", "0x100000000"}), 0);
    ASSERT_EQ(xdo({"key", "Return"}), 0);
    ASSERT_TRUE(wait_for_log("[WATCH] g_fault_trigger: 0x100000000 does not fit", mark)) << log();
    shot("edit_field");
    ASSERT_EQ(xdo({"key", "ctrl+a"}), 0);
    ASSERT_EQ(xdo({"type", "1"}), 0);
    ASSERT_EQ(xdo({"key", "Return"}), 0);
    ASSERT_TRUE(wait_for_log("[WATCH] g_fault_trigger = 0x00000001 written", mark)) << log();
    // Writes are taken in turn: one the Escape had let through would be logged by now.
    EXPECT_EQ(log().find("g_fault_trigger = "), log().rfind("g_fault_trigger = ")) << log().substr(mark);
    ASSERT_TRUE(wait_for_log("[FAULT] Analysis complete", mark)) << log();
    follow("faults.c", 8);
    EXPECT_TRUE(seen("faulted", [&](const Image& i) { return shows_line(i, "faults.c", 8); })) << "the UDF in fault_udf";
    // The Fault panel opened by itself with the report, and its toggle is lit.
    g_show_fault = true;
    ui_layout_pass(W, H);
    const Theme& t = g_theme_dark;
    const float tx = fault_box.x + fault_box.padding, letter_x = BtnShowF.x + (BtnShowF.width - text_width("F")) / 2;
    EXPECT_EQ(wrong_after("fault_panel", [&](const Image& i) {
                  return failed({{text(i, "Fault: UsageFault (IPSR=6)", tx, fault_box.y + 13, t.hdr_normal) ||
                                      text(i, "Fault: HardFault (IPSR=3)", tx, fault_box.y + 13, t.hdr_normal),
                                  "the report's exception in the panel's title"},
                                 {text(i, "F", letter_x, BtnShowF.y + BtnShowF.height / 2.0f + 5, t.btn_top_active, 0.4),
                                  "the F toggle lit"}});
              }), "");
}

// Remembered: the watch and the breakpoint of the demo image come back at the
// next start, the breakpoint in the comparators at connect, so the core stops
// there; the demo keeps them in demo_session.ini and never writes debugger.ini.
class DemoSession : public DemoWindow {
protected:
    void before_start() override {
        std::ofstream(dir + "/debugger.ini", std::ios::binary) << kIni;
    }
    static constexpr const char* kIni = "[Settings]\r\n\r\n[Session]\r\ntheme=Light\r\npanels=log\r\n";
};

TEST_F(DemoSession, AWatchAndABreakpointComeBackAtTheNextStart) {
    watch("g_tick_count");
    press(BtnReset);
    ASSERT_TRUE(wait_for_log("[DBG] Reset: halted at reset vector")) << log();
    show_panels({&BtnShowB});
    follow("startup.c", 76);
    auto at_reset = [&](const Image& i) { return shows_line(i, "startup.c", 76); };
    ASSERT_TRUE(seen("reset", at_reset));
    const uint32_t addr = line_addr("startup.c", 78);
    gutter_click(78);
    ASSERT_TRUE(wait_for_log("[BKP] Set @ " + hex(addr))) << log();
    close_window();
    EXPECT_EQ(read_text_file(dir + "/debugger.ini"), kIni);
    std::string kept = read_text_file(dir + "/demo_session.ini");
    EXPECT_NE(kept.find("watch1=g_tick_count\n"), std::string::npos) << kept;
    EXPECT_NE(kept.find("/startup.c:78\n"), std::string::npos) << kept;

    ASSERT_TRUE(launch({"--demo-if-no-probe", "--size", "1280x800"}, ready()));
    for (std::string line : {std::string("[CFG] Session: 1 watch and 1 breakpoint restored for demo_O0_dwarf4.elf"),
                             "[BKP] Restored @ " + hex(addr)})
        EXPECT_TRUE(wait_for_log(line)) << line << "\n" << log();
    const Theme& t = g_theme_dark;
    EXPECT_EQ(wrong_after("back", [&](const Image& i) {
                  return failed({{text(i, "g_tick_count", variables_box.x + 8, variables_box.y + VAR_LIST_TOP + 17,
                                       t.var_watch_name), "the watch in the Watch tab"},
                                 {bkpt_row_shows(i, 0, addr), "the breakpoint listed"}});
              }), "");
    // Read while the core runs: SysTick's count changes what the row shows, twice
    // (the first change may be from the "---" of a watch not read yet).
    const LayoutBox& v = variables_box;
    auto value = [&](const Image& i) {
        return ink(i, v.x + v.w / 2, v.y + VAR_LIST_TOP + 2, v.x + v.w - 18, v.y + VAR_LIST_TOP + VAR_ROW_H);
    };
    for (int k = 0; k < 2; ++k) {
        const std::string was = value(shot("tick"));
        EXPECT_TRUE(seen("ticked", [&](const Image& i) { return value(i) != was; })) << "change " << k;
    }
    press(BtnReset);
    ASSERT_TRUE(wait_for_log("[DBG] Reset: halted at reset vector")) << log();
    press(BtnStart);
    follow("startup.c", 78);
    EXPECT_EQ(wrong_after("stopped", [&](const Image& i) {
                  return failed({{band_at(i, baseline(78) - 10), "halted at the remembered line"},
                                 {red_dot_at(i, 78) > 40, "its gutter dot"}});
              }), "") << log();
    EXPECT_EQ(read_text_file(dir + "/debugger.ini"), kIni);
}

// Without the demo: the window's place, size, theme, panels and the log row's
// height come back; a place no monitor shows does not, nor a theme it does not know.
class SessionWindow : public DemoWindow {
protected:
    void before_start() override { std::ofstream(dir + "/debugger.ini", std::ios::binary) << kIni; }
    std::vector<std::string> launch_args() override { return {}; }
    const char* ready() override { return "[PRB] Probe thread started"; }
    static constexpr const char* kIni = "[Settings]\r\nsvd=\r\n\r\n[Packs]\r\ncache=keep me\r\n";
};

TEST_F(SessionWindow, TheNextStartLooksAsTheLastOneWasLeft) {
    layout_reset();
    g_show_setup = true;  // nothing is configured
    ui_layout_pass(800, 600);
    drag(300, 15, 450, 115);
    place_until([&] { return ox == 150 && oy == 100; });
    drag(797, 300, 997, 300);  // the right edge
    place_until([&] { return ww == 1000; });
    ASSERT_EQ((std::vector<int>{ox, oy, ww, wh}), (std::vector<int>{150, 100, 1000, 600}));
    ui_layout_pass(1000, 600);
    for (const Button* b : {&BtnDark, &BtnShowV, &BtnShowG, &topmostButton}) click(*b);
    g_show_variables = false;
    g_show_plot = true;
    ui_layout_pass(1000, 600);
    const float log_top = debug_box.y - 100;
    drag(300, debug_box.y, 300, log_top);
    close_window();
    std::string ini = read_text_file(dir + "/debugger.ini");
    EXPECT_EQ(ini.rfind(kIni, 0), 0u) << ini;
    EXPECT_NE(ini.find("[Session]\r\n"), std::string::npos) << ini;

    ASSERT_TRUE(launch({}, ready()));
    place_until([&] { return ox == 150 && oy == 100 && ww == 1000 && wh == 600; });
    EXPECT_EQ((std::vector<int>{ox, oy, ww, wh}), (std::vector<int>{150, 100, 1000, 600}));
    EXPECT_NE(log().find("[CFG] Session restored from debugger.ini: window 1000x600 at 150,100, on top, Light theme"),
              std::string::npos) << log();
    debug_box.y = log_top;
    ui_layout_pass(1000, 600);
    const Theme& t = g_theme_light;
    EXPECT_EQ(wrong_after("restored", [&](const Image& i) {
                  return failed({{text(i, "Source", 2 + source_box.padding, source_box.y + 13, t.hdr_normal, 0.4),
                                  "Source first, no Variables"},
                                 {text(i, "Plot", plot_box.x + plot_box.padding, plot_box.y + 13, t.hdr_normal, 0.4),
                                  "the Plot panel"},
                                 {text(i, "Log", 2 + debug_box.padding, log_top + 13, t.hdr_normal, 0.4),
                                  "the Log row where it was left"},
                                 {text(i, "T", topmostButton.x + (topmostButton.width - text_width("T")) / 2,
                                       topmostButton.y + topmostButton.height / 2.0f + 5, t.btn_top_active, 0.4),
                                  "always on top"}});
              }), "");

    // A hand-edited place right of every monitor: brought back, and the file corrected soon after.
    close_window();
    ini = read_text_file(dir + "/debugger.ini");
    std::ofstream(dir + "/debugger.ini", std::ios::binary) << ini.replace(ini.find("window_x=150"), 12, "window_x=5000");
    ASSERT_TRUE(launch({}, ready()));
    place_until([&] { return ox == 600 && oy == 100; });
    EXPECT_EQ((std::vector<int>{ox, oy}), (std::vector<int>{600, 100}));
    EXPECT_NE(log().find("[CFG] Session: window 1000x600 at 5000,100 is off every monitor, moved to 1000x600 at 600,100"),
              std::string::npos) << log();
    wait_until([&] { return read_text_file(dir + "/debugger.ini").find("window_x=600\r\n") != std::string::npos; });
    EXPECT_EQ(read_text_file(dir + "/debugger.ini"), ini.replace(ini.find("window_x=5000"), 13, "window_x=600"));
}

// Halted, the window draws nothing however often
// the probe republishes, in a file shorter than the view (wave.c, stopped at a
// remembered breakpoint) and in a longer one (startup.c, after a reset); a
// tooltip shows on a still pointer and stays.
class DemoIdle : public DemoWindow {
protected:
    std::vector<std::string> launch_args() override { return {"--demo", "--size", "1280x800", "--stats"}; }
    void before_start() override {
        std::ofstream(dir + "/demo_session.ini", std::ios::binary)
            << "[Session]\nelf=" KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf\nbkpt1=wave.c:33\n";
    }
    // The count the FPS label shows: the number that matches it best.
    int fps_shown(const Image& i) {
        const float fps_x = std::max(160.0f, 10 + text_width("Korvane Debugger") + 14);
        int best = -1;
        double best_score = 0.6;
        for (int d = 0; d <= 30; ++d) {
            double sc = text_match(i, ox, oy, ("FPS: " + std::to_string(d)).c_str(), fps_x, 20,
                                   &g_theme_dark.titlebar_info.r);
            if (sc > best_score) best = d, best_score = sc;
        }
        return best;
    }
    // At rest the label counts the frames something asked for in the second
    // before: none. The probe polls five times a second, and each poll used to
    // draw a frame; a glide that never arrived drew 29. A loaded machine may
    // draw the last frames of a change late, so the label must come to read 0
    // and keep reading it through three seconds of shots.
    void expect_rest(const char* where) {
        std::chrono::steady_clock::time_point since;
        int shots = 0;
        EXPECT_TRUE(wait_until([&] {
            const auto now = std::chrono::steady_clock::now();
            if (fps_shown(shot("rest")) != 0) shots = 0;
            else if (!shots++) since = now;
            return shots >= 4 && now - since >= std::chrono::seconds(3);
        })) << "frames drawn at rest in " << where;
    }
};

TEST_F(DemoIdle, AHaltedWindowRestsInShortAndLongFilesAndATooltipNeedsNoMotion) {
    follow("wave.c", 33);  // near the end: the view cannot centre it
    // The line's number gives way to the breakpoint's dot: the band and the dot.
    auto at_bkpt = [&](const Image& i) { return band_at(i, baseline(33) - 10) && red_dot_at(i, 33) > 40; };
    ASSERT_TRUE(seen("bkpt", at_bkpt)) << log();
    const int mx = BtnStep.x + 10, my = BtnStep.y + 10;
    move(mx, my);
    // The tooltip's fill, right of and below the pointer, where the toolbar's background was.
    auto tip_shown = [&](const Image& i) {
        const unsigned char* p = i.at(ox + mx + 14 + 3, oy + my + 20 + 12);
        return std::abs(p[0] - 26) <= 8 && std::abs(p[1] - 26) <= 8 && std::abs(p[2] - 33) <= 8;
    };
    EXPECT_TRUE(seen("tip", tip_shown)) << "after the delay, the pointer not moved since";
    expect_rest("wave.c");
    EXPECT_TRUE(tip_shown(shot("tip_stays"))) << "still there while the pointer stays";

    size_t mark = log().size();
    ASSERT_TRUE(key("ctrl+shift+F5"));
    ASSERT_TRUE(wait_for_log("[DBG] Reset: halted at reset vector", mark)) << log();
    follow("startup.c", 76);
    auto at_reset = [&](const Image& i) { return shows_line(i, "startup.c", 76); };
    ASSERT_TRUE(seen("reset", at_reset));
    expect_rest("startup.c");
    click(closeButton);
    std::string out;
    ASSERT_EQ(app_wait(&app, kPatienceMs, &out), 0);
    AppStats s = app_parse_stats(out);
    ASSERT_TRUE(s.ok) << out;
    EXPECT_EQ(s.gl_errors, 0);
}

// At the default 800 x 600 what a user reads is whole: every register value,
// a watch's value, a watched peripheral register's live value, and the Flash
// button once the setup panel is scrolled.
class DemoSmall : public DemoWindow {
protected:
    std::vector<std::string> launch_args() override { return {"--demo", "--size", "800x600"}; }
    // "<prefix>XXXXXXXX" at (x, baseline): the prefix matches and the eighth
    // digit's cell has ink inside `box` (a cut line ends early or in an ellipsis).
    bool hex_whole(const Image& i, const char* prefix, float x, float baseline, const Color3& c, const LayoutBox& box) {
        float last = x + text_width(prefix) + 7 * text_width("0");
        if (last + text_width("0") > box.x + box.w - 4 || !text(i, prefix, x, baseline, c)) return false;
        return count(i, last, baseline - 12, last + text_width("0"), baseline + 1, near(c, 60)) > 8;
    }
};

TEST_F(DemoSmall, AtTheDefaultSizeValuesAndFlashAreWhole) {
    layout_reset();
    ui_layout_pass(800, 600);
    const Theme& t = g_theme_dark;
    size_t mark = log().size();
    ASSERT_TRUE(key("F6"));
    ASSERT_TRUE(wait_for_log("[DBG] Halt: done", mark)) << log();

    // Core registers, PC then R0 ... as many rows as the panel shows.
    const LayoutBox& m = memmap_box;
    const char* names[] = {"PC  = 0x", "R0  = 0x", "R1  = 0x", "R2  = 0x", "R3  = 0x", "R4  = 0x", "R5  = 0x",
                           "R6  = 0x", "R7  = 0x", "R8  = 0x", "R9  = 0x", "R10 = 0x", "R11 = 0x"};
    auto registers = [&](const Image& i) {
        for (int row = 0; row < 13; ++row) {
            float bl = m.y + 22 + 26 * (row + 1);
            if (bl > m.y + m.h) break;
            if (!hex_whole(i, names[row], m.x + 4, bl, t.log_text_normal, m) &&
                !hex_whole(i, names[row], m.x + 4, bl, t.log_text_changed, m))
                return std::string(names[row]);
        }
        return std::string();
    };
    EXPECT_EQ(wrong_after("registers", registers), "");

    // g_u32 (0xDEADBEEF) in the Watch tab: its value right-aligned and whole.
    const LayoutBox& v = variables_box;
    // g_fault_trigger (0) after it: a long name still leaves its short value room.
    for (const char* name : {"g_u32", "g_fault_trigger"}) watch(name);
    auto value_at = [&](const Image& i, int row, std::initializer_list<const char*> forms) {
        for (const char* s : forms)
            for (const Color3& c : {t.var_watch_value, t.log_text_changed})
                if (text(i, s, v.x + v.w - 18 - text_width(s), v.y + 36 + 20 * row + 17, c)) return true;
        return false;
    };
    auto watch_values = [&](const Image& i) {
        return value_at(i, 0, {"0xDEADBEEF  (3735928559)", "3735928559"}) && value_at(i, 1, {"0x00000000  (0)", "0"});
    };
    EXPECT_TRUE(seen("watch", watch_values)) << "g_u32's and g_fault_trigger's values";

    // RCC->CR watched from the Peripherals panel: " = 0x" and eight digits on its row.
    const LayoutBox& p = periph_box;
    auto row_y = [&](int r) { return p.y + 22 + 20 * r + 10; };
    click(p.x + 60, row_y(0));   // RCC, the description's first peripheral
    click(p.x + 8, row_y(1));    // CR, its first register: watched
    auto live_value = [&](const Image& i) {
        for (float x = p.x + 4; x < p.x + p.w - 20; x += 1)
            for (const Color3& c : {t.log_text_normal, t.log_text_changed})
                if (hex_whole(i, "= 0x", x, row_y(1) + 10, c, p)) return true;
        return false;
    };
    EXPECT_TRUE(seen("periph", live_value)) << "RCC->CR's live value";

    // The setup panel, lower than its content, scrolls to its Flash button.
    click(BtnSetup);
    g_show_setup = true;
    ui_layout_pass(800, 600);
    auto setup = [&](const Image& i) { return text(i, "File Setup / Flash", setup_box.x + setup_box.padding, setup_box.y + 13, t.hdr_normal); };
    ASSERT_TRUE(seen("setup", setup)) << "the setup panel, to be scrolled";
    move(setup_box.x + setup_box.w / 2, setup_box.y + setup_box.h / 2);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(xdo({"click", "5"}), 0);
    g_setup_scroll = 1e6f;
    SetupFlashPlace fp = setup_flash_place(&setup_box);
    const float fy = fp.status_y + 14;
    ASSERT_LE(fy + 18, setup_box.y + setup_box.h) << "scrolled, the button is inside the panel";
    auto flash = [&](const Image& i) {
        return text(i, "Flash", fp.status_x + (80 - text_width("Flash")) / 2, fy + 14, t.dbg_btn_continue);
    };
    EXPECT_TRUE(seen("flash", flash)) << "the Flash button, live";
}
