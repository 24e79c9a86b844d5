// The demo driven with the mouse alone, as a person would: clicks by xdotool,
// looks by screenshots, pixels read where the layout pass puts things.
#include <chrono>
#include <csignal>
#include <memory>
#include <ranges>
#include <string>
#include <unistd.h>

#include "symbols/elf_dwarf.h"
#include "symbols/elf_variable.h"
#include "tests/app/x11_harness.h"
#include "tests/symbols/oracle.h"
#include "ui/frame.h"
#include "ui/layout.h"
#include "ui/panels.h"
#include "ui/setup_panel.h"
#include "ui/theme.h"

namespace {

constexpr int W = 1280, H = 800;
const char* const kReady = "[PRB] Target running at connect";

struct Frame { const char *func, *at; };  // a Call stack row: function, file:line

class Demo : public ScreenTest<1600, 1000> {
protected:
    // The demo, and the same layout in this process, for where its text goes.
    void start(const std::vector<std::string>& args = {"--demo", "--size", "1280x800"}) {
        ASSERT_TRUE(launch(args, kReady) && layout_font_load() && text_font_load());
        layout_reset();
        ui_layout_pass(W, H);
        elf_.reset(elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"));
    }
    // The close button, as a person ends the program (it saves what it remembers).
    void close_window(std::string* out = nullptr) {
        ui_layout_pass(ww, wh);
        click(closeButton);
        ASSERT_EQ(app_wait(&app, kPatienceMs, out), 0);
    }
    // A button drawn in this tint, or greyed out.
    bool lit(const Image& img, const Button& b, Color3 tint) { return count(img, b.x, b.y, b.x + b.width, b.y + b.height, near(tint, 12)) > 15; }
    bool greyed(const Image& img, const Button& b) { return lit(img, b, dbg_button_icon_color(&b, Color3{1, 1, 1}, true)); }
    // A toolbar click, then the pointer away: a hovered icon is brighter than its tint.
    void press(const Button& b) { click(b), move(300, 300); }
    // Bottom-row toggles: clicked in the window and mirrored in this process's layout.
    void show_panels(std::initializer_list<const Button*> toggles) {
        for (const Button* b : toggles) {
            click(*b);
            for (const VisToggle& v : bot_btns) *v.flag |= v.btn == b;
        }
        ui_layout_pass(W, H);
    }
    // A global of the demo image added from the Scope tab (its row in view); the Watch tab then shows.
    void watch(const char* name) {
        static ElfVariable vars[512];
        const int n = elf_ ? elf_dwarf_get_all_variables(elf_.get(), vars, 512) : 0;
        int row = 0;
        while (row < n && std::string(vars[row].name) != name) ++row;
        const LayoutBox& v = variables_box;
        ASSERT_LT(row, std::min(n, (int)((v.h - VAR_LIST_TOP) / VAR_ROW_H))) << name << " in view";
        click(v.x + v.w / 4, v.y + 27);
        click(v.x + 40, v.y + VAR_LIST_TOP + VAR_ROW_H * row + 10);
    }
    uint32_t line_addr(const char* file, uint32_t line) { return elf_ ? elf_dwarf_line_to_addr(elf_.get(), file, line) & ~1u : 0; }
    static std::string fmt(const char* f, uint32_t v) {
        char s[32];
        snprintf(s, sizeof s, f, v);
        return s;
    }
    static std::string hex(uint32_t addr) { return fmt("0x%08X", addr); }
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
        ASSERT_TRUE(wheel(b.x + b.w / 2, b.y + b.h / 2, notches));
        ASSERT_TRUE(seen("revealed", [&](const Image& i) { return numbered(i, line); })) << "line " << line;  // it glides
    }
    void gutter_click(uint32_t line) { click(source_box.x + 10, baseline(line) - 10); }
    bool band_at(const Image& i, float y) {
        const LayoutBox& b = source_box;
        return count(i, b.x + 44, y, b.x + b.w - 16, y + 1, near(t.source_current_line, 6)) * 3 > b.w - 60;
    }
    // Red gutter dots between window rows y0 and y1.
    int red_dots(const Image& i, float y0 = -1, float y1 = -1) {
        auto red = [](const unsigned char* p) { return p[0] > 200 && p[1] < 70 && p[2] < 70; };
        if (y0 < 0) y0 = source_box.y + SOURCE_HEADER_H, y1 = source_box.y + source_box.h;
        return count(i, source_box.x + 1, y0, source_box.x + 18, y1, red);
    }
    bool numbered(const Image& i, uint32_t line) { return text(i, fmt("%4u", line), source_box.x + 4, baseline(line), t.log_line_number); }
    // The halted line: the band on that line alone, the line's number, and the panel's title
    // naming the file after "Source: ", or alone where the header's buttons leave no room for both.
    bool shows_line(const Image& i, const std::string& file, uint32_t line) {
        const float x = source_box.x + source_box.padding, y = source_box.y + 13;
        return band_at(i, baseline(line) - 10) && !band_at(i, baseline(line) - 30) && !band_at(i, baseline(line) + 10) &&
               numbered(i, line) && (text(i, file, x + text_width("Source: "), y, t.hdr_normal) || text(i, file, x, y, t.hdr_normal));
    }
    // The Call stack panel lists these frames, innermost first (in the keyword colour), and no more.
    bool stack_shows(const Image& i, const std::vector<Frame>& frames) {
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
    // The Breakpoints panel lists none.
    bool no_bkpts_listed(const Image& i) { return text(i, "No breakpoints set.", bkpt_box.x + 8, bkpt_box.y + 53, t.titlebar_info); }
    // A gutter breakpoint on `line`, Continue to it, and the breakpoint cleared again.
    void break_at(const char* file, uint32_t line) {
        reveal(line);
        const size_t mark = log().size();
        gutter_click(line);
        ASSERT_TRUE(wait_for_log("[BKP] Set @ " + hex(line_addr(file, line)), mark)) << log().substr(mark);
        press(BtnStart);
        follow(file, line);
        auto hit = [&](const Image& i) { return band_at(i, baseline(line) - 10) && lit(i, BtnStart, t.dbg_btn_continue); };
        ASSERT_TRUE(seen("hit", hit)) << "halted at " << file << ":" << line << "\n" << log().substr(mark);
        // Cleared, which the program does not log: the dot gone and the command taken (Step live again).
        gutter_click(line);
        ASSERT_TRUE(seen("cleared", [&](const Image& i) { return red_dots(i, baseline(line) - 18, baseline(line) + 2) == 0 && lit(i, BtnStep, t.dbg_btn_step); }));
    }
    // The count the FPS label shows: the number that matches it best, or -1.
    int fps_shown(const Image& i) {
        const float x = std::max(160.0f, 10 + text_width("Korvane Debugger") + 14);
        int best = -1;
        for (double score = 0.6, sc; int d : std::views::iota(0, 31))
            if ((sc = text_match(i, ox, oy, ("FPS: " + std::to_string(d)).c_str(), x, 20, &t.titlebar_info.r)) > score) best = d, score = sc;
        return best;
    }
    // At rest the label, frames asked for in the second before, reads 0 (each probe poll
    // used to draw one) through three seconds of shots; a loaded machine draws late.
    bool rests() {
        auto since = std::chrono::steady_clock::now();
        int shots = 0;
        return wait_until([&] {
            const auto now = std::chrono::steady_clock::now();
            if (fps_shown(shot("rest")) != 0) shots = 0;
            else if (!shots++) since = now;
            return shots >= 4 && now - since >= std::chrono::seconds(3);
        });
    }

    const Theme& t = g_theme_dark;
    std::unique_ptr<ElfDwarf, void (*)(ElfDwarf*)> elf_{nullptr, elf_dwarf_free};
    float src_lines_ = 0, src_target_ = 0;
};

// A session at the toolbar, each command ending, never by the timeout, where gdb's
// same command stops (line and call stack); no breakpoint but the user's shows.
const Button kBreak{};   // a gutter breakpoint on the line, run to and cleared again
const Button kRest{};    // halted, the window draws nothing; a tooltip shows on a still pointer and stays
// The click; where the core then stands; the command's closing log line; the call stack.
struct Move { const Button* act; const char* file; uint32_t line; const char* log; std::vector<Frame> frames; };

const Move kSession[] = {
    {&BtnRunToMain, "main.c", 92, "[DBG] RunToMain: stopped at main()", {{"main", "main.c:92"}}},
    {&kBreak, "main.c", 109, nullptr, {{"main", "main.c:109"}}},
    {&BtnStep, "main.c", 114, "[DBG] StepOver: done", {{"main", "main.c:114"}}},
    {&kBreak, "main.c", 99, nullptr, {{"main", "main.c:99"}}},
    {&BtnStepInto, "wave.c", 20, "[DBG] StepInto: done", {{"wave_sample", "wave.c:20"}, {"main", "main.c:99"}}},
    {&BtnStepInto, "wave.c", 11, "[DBG] StepInto: done", {{"sine_q", "wave.c:11"}, {"wave_sample", "wave.c:20"}, {"main", "main.c:99"}}},
    {&kBreak, "wave.c", 28, nullptr, {{"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    {&BtnStepInto, "wave.c", 27, "[DBG] StepInto: done", {{"fibonacci", "wave.c:27"}, {"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    // One level up the recursion, not two.
    {&BtnStepOut, "wave.c", 28, "[DBG] StepOut: done", {{"fibonacci", "wave.c:28"}, {"main", "main.c:100"}}},
    // Near the file's end: the view cannot centre the line, so a glide towards it never arrives.
    {&kRest, "wave.c", 28, nullptr, {}},
    {&BtnReset, "startup.c", 76, "[DBG] Reset: halted at reset vector", {{"Reset_Handler", "startup.c:76"}}},
    {&kRest, "startup.c", 76, nullptr, {}},
    {&kBreak, "startup.c", 90, nullptr, {{"Reset_Handler", "startup.c:90"}}},
};

}  // namespace

TEST_F(Demo, StepsStopWhereGdbStopsAndPauseEndsALongStep) {
    start({"--demo", "--size", "1280x800", "--stats"});
    auto halted = [&](const Image& i) { return lit(i, BtnStart, t.dbg_btn_continue) && greyed(i, BtnPause); };
    show_panels({&BtnShowK, &BtnShowB});
    for (const Move& m : kSession) {
        SCOPED_TRACE(std::string("then at ") + m.file + ":" + std::to_string(m.line));
        const size_t mark = log().size();
        if (m.act == &kBreak) {
            break_at(m.file, m.line);
            if (HasFatalFailure()) return;
        } else if (m.act == &kRest) {
            const int mx = BtnStep.x + 10, my = BtnStep.y + 10;
            move(mx, my);
            // The tooltip's fill, right of and below the pointer, where the toolbar's background was.
            auto tip = [&](const Image& i) { return count(i, mx + 17, my + 32, mx + 18, my + 33, near(Color3{0.102f, 0.102f, 0.129f}, 9)); };
            EXPECT_TRUE(seen("tip", tip)) << "after the delay, the pointer not moved since";
            EXPECT_TRUE(rests()) << "frames drawn at rest";
            EXPECT_TRUE(tip(shot("tip_stays"))) << "the tooltip gone while the pointer stays";
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
    const size_t mark = log().size();
    press(BtnStep);
    EXPECT_EQ(wrong_after("long_step", [&](const Image& i) {
                  return failed({{lit(i, BtnPause, t.dbg_btn_pause) && greyed(i, BtnStart), "the running toolbar"},
                                 {red_dots(i) == 0 && no_bkpts_listed(i), "the step's own breakpoint shown as the user's"}});
              }), "");
    press(BtnPause);  // live only while the step runs
    ASSERT_TRUE(wait_for_log("[DBG] Halt: done", mark)) << log().substr(mark);
    EXPECT_TRUE(seen("paused", halted));
    EXPECT_EQ(log().find("Step: timeout", mark), std::string::npos) << log().substr(mark);
    std::string out;
    close_window(&out);
    EXPECT_EQ(app_stat(out, "gl_error_frames"), 0) << out;
}

// Editing a value: 1 typed into g_fault_trigger's row of the Watch tab; the write is
// logged with its read-back and the firmware runs into its UDF, shown in Source.
TEST_F(Demo, AWatchValueTypedInTheWindowMakesTheFirmwareFault) {
    start();
    watch("g_fault_trigger");
    const LayoutBox& v = variables_box;
    const size_t mark = log().size();
    click(v.x + v.w * 3 / 4, v.y + 36 + 10);
    ASSERT_EQ(xdo({"type", "1"}), 0);
    ASSERT_EQ(xdo({"key", "Return"}), 0);
    ASSERT_TRUE(wait_for_log("[FAULT] Analysis complete", mark)) << log();
    // The running firmware may take the value (and clear it) before the read-back.
    EXPECT_TRUE(log().find("[WATCH] g_fault_trigger = 0x00000001 written", mark) != std::string::npos ||
                log().find("[WATCH] g_fault_trigger: wrote 0x00000001 at ", mark) != std::string::npos) << log();
    follow("faults.c", 8);
    EXPECT_TRUE(seen("faulted", [&](const Image& i) { return shows_line(i, "faults.c", 8); })) << "the UDF in fault_udf";
    // The Fault panel opened by itself with the report, and its toggle is lit.
    g_show_fault = true;
    ui_layout_pass(W, H);
    const float tx = fault_box.x + fault_box.padding, letter_x = BtnShowF.x + (BtnShowF.width - text_width("F")) / 2;
    EXPECT_EQ(wrong_after("fault_panel", [&](const Image& i) {
                  return failed({{text(i, "Fault: UsageFault (IPSR=6)", tx, fault_box.y + 13, t.hdr_normal) ||
                                      text(i, "Fault: HardFault (IPSR=3)", tx, fault_box.y + 13, t.hdr_normal),
                                  "the report's exception in the panel's title"},
                                 {text(i, "F", letter_x, BtnShowF.y + BtnShowF.height / 2.0f + 5, t.btn_top_active, 0.4), "the F toggle lit"}});
              }), "");
    kill(app.pid, SIGTERM);  // as a session manager ends it
    EXPECT_EQ(app_wait(&app), 0);
}

// Remembered: the watch and the breakpoint of the demo image come back at the next
// start; the demo keeps them in demo_session.ini and never writes debugger.ini.
TEST_F(Demo, AWatchAndABreakpointComeBackAtTheNextStart) {
    const char* kIni = "[Settings]\r\n\r\n[Session]\r\ntheme=Light\r\npanels=log\r\n";
    ASSERT_TRUE(write_text_file(dir + "/debugger.ini", kIni));
    start();
    watch("g_tick_count");
    press(BtnReset);
    ASSERT_TRUE(wait_for_log("[DBG] Reset: halted at reset vector")) << log();
    show_panels({&BtnShowB});
    follow("startup.c", 76);
    ASSERT_TRUE(seen("reset", [&](const Image& i) { return shows_line(i, "startup.c", 76); }));
    const uint32_t addr = line_addr("startup.c", 78);
    gutter_click(78);
    ASSERT_TRUE(wait_for_log("[BKP] Set @ " + hex(addr))) << log();
    close_window();
    const std::string kept = read_text_file(dir + "/demo_session.ini");
    for (const char* s : {"watch1=g_tick_count\n", "/startup.c:78\n"}) EXPECT_NE(kept.find(s), std::string::npos) << kept;

    ASSERT_TRUE(launch({"--demo-if-no-probe", "--size", "1280x800"}, kReady));
    for (const std::string& line : {std::string("[CFG] Session: 1 watch and 1 breakpoint restored for demo_O0_dwarf4.elf"),
                                    "[BKP] Restored @ " + hex(addr)})
        EXPECT_TRUE(wait_for_log(line)) << line << "\n" << log();
    const LayoutBox& v = variables_box;
    EXPECT_EQ(wrong_after("back", [&](const Image& i) {
                  return failed({{text(i, "g_tick_count", v.x + 8, v.y + VAR_LIST_TOP + 17, t.var_watch_name), "the watch in the Watch tab"},
                                 {text(i, hex(addr), bkpt_box.x + 94, bkpt_box.y + BKPT_LIST_TOP + 14, t.titlebar_text), "the breakpoint listed"}});
              }), "");
    EXPECT_EQ(read_text_file(dir + "/debugger.ini"), kIni);
}

// Flashing from the window: Browse picks a 256 KB image, Flash programs it
// to a full progress bar, and the board comes back halted at reset. Without
// a target INI the STM32's own flash controller takes it; with one of the
// example INIs named in debugger.ini, its algorithm binary or its scripted
// steps do, and Reset runs its ResetSystem.
TEST_F(Demo, TheFlashButtonProgramsTheBoardWithProgressAndItHaltsAfterReset) {
    struct Variant { const char* ini; std::vector<const char*> lines; } const variants[] = {
        {nullptr, {"[FLASH] Using built-in STM32 flash algorithm", "[STM32 FLASH] Verify OK", "[FLASH] Target reset and halted"}},
        {"stm32f4_blob.ini", {"[FLASH] Using INI+BIN target algo path", "[ALGO] EraseSector (sector-by-sector)",
                              "[ALGO] Verify OK", "[ALGO] Flash programming complete", "[ALGO] Running sequence: ResetSystem",
                              "[FLASH] Target reset and halted"}},
        {"stm32f4_scripted.ini", {"[FLASH] Using INI+BIN target algo path", "[ALGO] Erasing sector 5 at 0x08020000",
                                  "[ALGO] Verify OK", "[ALGO] Native flash programming complete",
                                  "[ALGO] Running sequence: ResetSystem", "[FLASH] Target reset and halted"}},
    };
    const std::string image = dir + "/fw256k.bin";
    std::string bytes = read_text_file(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.bin");
    while (bytes.size() < 256 * 1024) bytes.push_back(char(bytes.size() * 7 + 3));
    ASSERT_TRUE(write_text_file(image, bytes));
    // The program looks for packs beside its executable, here a copy in dir.
    ASSERT_EQ(symlink(KORVANE_DEMO_PACK_DIR, (dir + "/packs").c_str()), 0);
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.ini ? v.ini : "no target INI");
        ASSERT_TRUE(answer_dialogs_with(image));
        const std::string ini = v.ini ? std::string(KORVANE_TARGETS_DIR "/") + v.ini : "";
        unlink((dir + "/demo_session.ini").c_str());  // each start as the first: setup panel closed
        if (v.ini) {
            ASSERT_TRUE(write_text_file(dir + "/debugger.ini", "[Settings]\ntarget_ini=" + ini + "\n"));
        }
        start();
        ASSERT_TRUE(wait_for_log("[MCU ID] Cortex-M4")) << log();
        if (v.ini) {
            EXPECT_TRUE(wait_for_log("[ALGO] INI target loaded: " + ini)) << log();
        }
        click(BtnSetup);
        g_show_setup = true;
        ui_layout_pass(W, H);
        // Where the panel puts the BIN/HEX row, the status bar and the Flash button.
        const SetupFlashPlace fp = setup_flash_place(&setup_box);
        const Button flash = {(int)fp.status_x, (int)fp.status_y + 14, 80, 18, false, false};
        ASSERT_LE(flash.y + flash.height, setup_box.y + setup_box.h) << "Flash is inside the panel";
        const float row = fp.row0 + 4 * 26;
        int first, last;  // the row's "Browse", underlined in the link colour
        auto link = [&](const Image& i) { return span(i, row + 18, setup_box.x + 15, fp.path_right, t.dbg_btn_step, &first, &last); };
        ASSERT_TRUE(seen("setup", [&](const Image& i) { return link(i) > 40; })) << "the Browse link of the BIN/HEX row";
        size_t mark = log().size();
        click((first + last) / 2, row + 9);
        ASSERT_TRUE(wait_for_log("[CFG] bin = " + image, mark)) << log();
        ASSERT_TRUE(seen("flash_ready", [&](const Image& i) { return lit(i, flash, t.dbg_btn_continue); }))
            << "Flash is live with a probe, an MCU and a file";
        mark = log().size();
        click(flash);
        // The board erases and programs in its own real time, seconds long.
        ASSERT_TRUE(wait_for_log("FLASH] Done", mark)) << log();  // "[FLASH] Done" or "[ALGO FLASH] Done"
        // The progress bar (90 px wide) full, in the Done colour.
        EXPECT_TRUE(seen("flashed", [&](const Image& i) { return count(i, flash.x, flash.y - 10, flash.x + 90, flash.y - 9, near(t.dbg_btn_continue, 40)) >= 88; }));
        for (const char* line : v.lines) EXPECT_NE(log().find(line, mark), std::string::npos) << line << "\n" << log();
        EXPECT_TRUE(seen("after", [&](const Image& i) { return lit(i, BtnStart, t.dbg_btn_continue); })) << "halted after the reset";
        // Reset from the toolbar: the INI's ResetSystem, halted at the reset vector.
        if (v.ini) {
            mark = log().size();
            press(BtnReset);
            ASSERT_TRUE(wait_for_log("[DBG] Reset: halted at reset vector", mark)) << log();
            EXPECT_NE(log().find("[ALGO] Running sequence: ResetSystem", mark), std::string::npos) << log();
        }
        kill(app.pid, SIGTERM);
        EXPECT_EQ(app_wait(&app), 0);
        g_show_setup = false;
    }
}

// ASM on, halted in main: each instruction of main's first lines reads, under
// its address, with the mnemonic objdump gives it (the one at the PC in white).
TEST_F(Demo, AsmShowsMainsInstructionsAsObjdumpNamesThem) {
    start();
    const size_t mark = log().size();
    press(BtnRunToMain);
    ASSERT_TRUE(wait_for_log("[DBG] RunToMain: stopped at main()", mark)) << log().substr(mark);
    follow("main.c", 92);
    ASSERT_TRUE(seen("at_main", [&](const Image& i) { return shows_line(i, "main.c", 92); }));
    click(BtnToggleAsm);
    move(300, 300);
    std::vector<ObjdumpInsn> main_insns;
    for (const ObjdumpInsn& x : objdump_listing(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"))
        if (x.func == "main" && !x.data && main_insns.size() < 12) main_insns.push_back(x);
    ASSERT_EQ(main_insns.size(), 12u);
    const uint32_t pc = line_addr("main.c", 92);
    const float x = source_box.x + 44, top = source_box.y + SOURCE_HEADER_H, bottom = source_box.y + source_box.h;
    const Color3 pc_addr{0.55f, 0.75f, 0.95f}, white{1, 1, 1};
    // Each row's baseline found by its address; the text right of it.
    auto wrong = [&](const Image& i) -> std::string {
        for (const ObjdumpInsn& in : main_insns) {
            // The row right above the halted line's band has the band inside its text box.
            if (&in + 1 < main_insns.data() + main_insns.size() && in.addr + in.len == pc) continue;
            const std::string addr = fmt("  %08x  ", in.addr);
            const bool at_pc = in.addr == pc;
            std::string m = in.mnem;  // without objdump's width qualifier
            if (m.size() > 2 && (m.ends_with(".w") || m.ends_with(".n"))) m.resize(m.size() - 2);
            // Rows whose address reads as this one (addresses a digit apart
            // read alike), and on one of them the mnemonic right of it.
            const Color3& ac = at_pc ? pc_addr : t.asm_addr;
            const Color3& tc = at_pc ? white : t.asm_text;
            const float tx = x + text_width(addr.c_str());
            bool row = false, found = false;
            for (float y = top + 14; y < bottom && !found; y += 1) {
                if (!text(i, addr, x, y, ac, 0.7)) continue;
                row = true;
                for (int d = 0; d < 9 && !found; ++d) found = text(i, m, tx + d % 3 - 1, y + d / 3 - 1, tc);
            }
            if (!row) return "no row for " + fmt("%08x", in.addr);
            if (!found) return fmt("%08x: not ", in.addr) + m;
        }
        return "";
    };
    EXPECT_EQ(wrong_after("asm_main", wrong), "");
}

// Plotting from the watch list alone: g_wave's curve crosses the plot's middle
// once a board second at the spacing the zoom gives (the sine's rising and
// falling crossings alternate; a loaded machine's board may lag the wall
// clock, never lead it), drawn inside its panel; a constant double's
// legend reads its value; a halt replaces the curves with "Halted" and the
// window rests. An instrumented simulator runs slower than the wall clock:
// there the spacing is checked against the zoom's ratio, not its value.
TEST_F(Demo, PlottedWatchesDrawCurvesAtTheZoomsSpacingWithTheirNewestValues) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kRealTime = false;
#else
    constexpr bool kRealTime = true;
#endif
    start();
    const LayoutBox& v = variables_box;
    auto row = [&](int i) { return v.y + VAR_LIST_TOP + VAR_ROW_H * i + 10; };
    watch("g_wave");
    click(v.x + 40, row(0));
    watch("g_f64");
    // Room for the plot: Peripherals and Core registers put away.
    for (const Button* b : {&BtnShowP, &BtnShowC}) click(*b);
    g_show_periph = g_show_memmap = false, g_show_plot = true;
    ui_layout_pass(W, H);
    const LayoutBox& p = plot_box;
    const float cy = p.y + 28, ch = p.h - 50, mid = cy + ch / 2, right = p.x + p.w - 6;
    const Color3 wave = PLOT_CURVE_COLORS[0], f64 = PLOT_CURVE_COLORS[1];
    // The spacing of same-direction crossings of the middle row, the same all along the curve.
    auto spacing = [&](const Image& i, float* s) {
        std::vector<float> at, gaps;
        for (float x = p.x + 60, run = -1; x < right - 2; ++x) {
            bool on = count(i, x, mid - 1, x + 1, mid + 2, near(wave, 40)) > 0;
            if (on && run < 0) run = x;
            if (!on && run >= 0) at.push_back((run + x - 1) / 2), run = -1;
        }
        for (size_t k = 0; k + 2 < at.size(); ++k) gaps.push_back(at[k + 2] - at[k]);
        if (gaps.size() < 2) return "too few crossings: " + std::to_string(at.size());
        std::sort(gaps.begin(), gaps.end());
        *s = gaps[gaps.size() / 2];
        // An instrumented board's pace follows the machine's load: there only the median counts.
        if (kRealTime && (gaps.front() < *s * 0.8f - 2 || gaps.back() > *s * 1.2f + 2))
            return "uneven crossings: " + std::to_string(gaps.front()) + " to " + std::to_string(gaps.back());
        auto outside = [&](float x0, float y0, float x1, float y1) { return count(i, x0, y0, x1, y1, near(wave, 30)); };
        if (outside(p.x - 10, p.y, p.x, p.y + p.h) + outside(p.x + p.w, p.y, p.x + p.w + 10, p.y + p.h) +
            outside(p.x, p.y + p.h, p.x + p.w, p.y + p.h + 10))
            return std::string("curve pixels outside the panel");
        return std::string();
    };
    // Up: zoom in, x 1.15 a notch; a slower board needs fewer for a few periods in view.
    const int notches = kRealTime ? 6 : 2;
    ASSERT_TRUE(wheel(p.x + p.w / 2, p.y + p.h / 2, -notches));
    const float px_per_s = 10 * 2 * std::pow(1.15f, notches);
    float s1 = 0, s2 = 0;
    EXPECT_EQ(wrong_after("wave", [&](const Image& i) {
                  std::string why = spacing(i, &s1);
                  // A loaded machine's board may fall behind the wall clock, never run ahead of it.
                  if (why.empty() && kRealTime && (s1 < px_per_s - 3 || s1 > px_per_s * 1.3f))
                      why = "a second is " + std::to_string(s1) + " px at " + std::to_string(px_per_s) + " px/s";
                  return why;
              }), "");
    // The zoom's own label under the curve; its place follows the value axis's width.
    auto says_zoom = [&](const Image& i, const std::string& z) {
        for (float axis = 44; axis <= 90; ++axis) {
            const float cx = p.x + 6 + axis, cw = p.w - 12 - axis;
            if (text(i, z, cx + (cw - text_width(z.c_str())) / 2, cy + ch + 14, t.titlebar_info, 0.9)) return true;
        }
        return false;
    };
    ASSERT_TRUE(wheel(p.x + p.w / 2, p.y + p.h / 2, 2));
    char zoomed_out[32];
    std::snprintf(zoomed_out, sizeof zoomed_out, "%.0fpx/s", 10 * 2 * std::pow(1.15, notches - 2));
    EXPECT_EQ(wrong_after("zoomed", [&](const Image& i) {
                  std::string why = spacing(i, &s2);
                  if (!why.empty()) return why;
                  if (!says_zoom(i, zoomed_out)) return std::string("no ") + zoomed_out + " under the plot";
                  // An instrumented board's pace drifts with the machine's load between the two
                  // pictures: there the label stands for the ratio.
                  if (kRealTime && std::fabs(s1 / s2 - 1.15f * 1.15f) > 0.1f)
                      why = "two notches out: " + std::to_string(s1) + " px became " + std::to_string(s2);
                  return why;
              }), "");
    click(v.x + 40, row(1));
    const std::string legend = "g_f64: 2.718";
    EXPECT_EQ(wrong_after("legend", [&](const Image& i) {
                  return failed({{text(i, legend, right - 4 - text_width(legend.c_str()), cy + 28, f64), "g_f64's newest value"},
                                 {text(i, "Plot: g_wave g_f64", p.x + p.padding, p.y + 13, t.hdr_normal), "the title"}});
              }), "");
    press(BtnPause);
    ASSERT_TRUE(wait_for_log("[DBG] Halt: done")) << log();
    EXPECT_EQ(wrong_after("halted", [&](const Image& i) {
                  bool said = false;
                  for (float axis = 44; axis <= 90 && !said; ++axis) {
                      const float cx = p.x + 6 + axis, cw = p.w - 12 - axis;
                      said = text(i, "Halted", cx + (cw - text_width("Halted")) / 2, mid + 6, t.titlebar_info);
                  }
                  return failed({{said, "Halted in the plot"}, {count(i, p.x + 60, cy + 32, right, cy + ch, near(wave, 40)) == 0, "no curve"}});
              }), "");
    EXPECT_TRUE(rests()) << "a halted target's plot asks for no frames";
}
