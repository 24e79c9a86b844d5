// Session memory: how the window was left and what was being watched, kept in
// a [Session] section beside [Settings] (demo mode: demo_session.ini beside
// debugger.ini), so that the next start looks the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/settings.h"
#include "probe/watch_list.h"
#include "runctl/breakpoints.h"
#include "ui/layout.h"
#include "ui/window_ops.h"

enum : int { SESSION_PANELS = 10, SESSION_MIN_W = 300, SESSION_MIN_H = 200, SESSION_MAX_SIDE = 16384 };
// The panels by the names the file uses: the title strip's V S P C ~, then
// the bottom row's L S K F B.
extern const char* const g_session_panel_names[SESSION_PANELS];
extern bool* const g_session_panel_flags[SESSION_PANELS];

struct SessionWatch {
    char name[128];
    char func[128];  // the function a local belongs to; "" for a global
    bool expanded;
};

// By source line, or by function where file is "".
struct SessionBkpt {
    char file[256];
    uint32_t line;
    char func[128];
    bool disabled;
};

struct SessionRecord {
    bool have_pos, have_size;
    UiRect rect;  // the window when not maximised
    bool maximized, topmost;
    int theme;  // -1 not set, 0 light, 1 dark
    bool have_panels;
    bool panels[SESSION_PANELS];
    LayoutProportions split;  // -1: not set
    // The watches and breakpoints belong to this image; "" when none was loaded
    // (then the file's lists are left as they are).
    char elf[CFG_PATH_LEN];
    int watch_count;
    SessionWatch watches[WATCH_MAX];
    int bkpt_count;
    SessionBkpt bkpts[BKPT_SLOTS];
    // The plotted watches (indices into watches) in the order of their curves'
    // slots, so each keeps its colour.
    int plot_count;
    int plot_watches[8];
};

void session_clear(SessionRecord* r);
// The [Session] section of settings text. A value that does not parse or is
// out of range is ignored (a size below the minimum is raised to it) with a
// log line; returns how many were.
int session_parse(const std::string& ini_text, SessionRecord* out);

struct SessionKey {
    std::string key, value;
    bool remove;  // a list entry past the end of the list
    bool operator==(const SessionKey&) const = default;
};
void session_keys(const SessionRecord& r, std::vector<SessionKey>* out);
// Writes the record into the [Session] section of `path` in one atomic
// replacement, keeping every other line; logs a failure.
bool session_write(const char* path, const SessionRecord& r);

// Puts a window whose title strip no monitor shows onto the monitor it
// overlaps most (the primary when none), shrunk to fit; sizes are clamped to
// the minimum. True when anything changed.
bool session_fit_window(UiRect* r, const UiRect* areas, int count);

// --- The running program's session (session_live.cpp) ---------------------------

// Before the window exists: reads this run's session file.
void session_open(bool demo);
const SessionRecord& session_start_record();
const char* session_path();
// The window is hidden still: it appears where it was left, without a jump.
// keep_size: --size was given.
void session_restore_window(bool keep_size);
// keep_theme: --light was given.
void session_restore_view(bool keep_theme);
// After the image is loaded and before the probe thread starts: the lists of
// this image (an entry it no longer has is dropped with a log line).
void session_restore_lists();
// The live state as a record.
void session_capture(SessionRecord* out);
// Main loop, after the layout pass: saves a change once it has stood for a
// second (the first call takes the state to compare with).
void session_tick(double now);
// Exit, while the window and the image are still there: saves what changed.
void session_close();
