// Line panels: the log (every subsystem reports through log_add_line), and the
// "Core registers" and "Peripherals" panels that reuse the same store.
// All access to a view's lines, tags and scroll state goes through these
// functions, which share one lock with the log file: the probe thread appends
// while the interface thread draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int LOG_CAPACITY = 2048;
constexpr int LOG_LINE_LEN = 256;  // 255 characters + NUL
constexpr float LOG_HEADER_H = 22;  // header strip above the rows

struct LogView {
    char lines[LOG_CAPACITY][LOG_LINE_LEN];
    uint8_t line_tags[LOG_CAPACITY];
    int count;
    unsigned added;  // lines ever added: tells a new line from an unchanged full log
    float scroll;
    float line_height;
    float x, y, width, height;
    int hovered_row;
    bool autoscroll;
    float sb_inset;
};

extern LogView logv;         // "Log"
extern LogView memmap_view;  // "Core registers"
extern LogView periph_view;  // "Peripherals"

void log_add_line(LogView* v, const char* text);
void log_add_line_tagged(LogView* v, const char* text, uint8_t tag);
// printf-style append through a 256-byte buffer.
void log_addf(LogView* v, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Lines ever added to the view (a full log keeps its count).
unsigned log_added(LogView* v);
// Empties a panel whose owner rewrites it (registers, peripherals).
void log_clear(LogView* v);

// Where logv's lines are mirrored. By default debugger.log in the settings
// folder, opened on the first line. An empty path turns the mirror off. Takes
// effect for the next line (a previously opened file is closed).
void log_set_file_path(const char* path);

void log_draw(LogView* v, int window_h);
// A register or peripheral line as its panel draws it in `room` pixels: the
// column padding, the columns after the name and then the text before a live
// value ("  = 0x...") give way, so the name and the value stay readable.
const char* log_fit_panel_line(const char* line, float room, char* out, size_t cap);
// The room a panel's rows are fitted to (short of the scroll bar when there is one).
float log_panel_text_room(LogView* v);
void draw_scrollbar(LogView* v, int window_h);

// Scroll model.
bool sb_hit(LogView* v, double mx, double my);
void sb_clamp(LogView* v);
void log_scroll_wheel(LogView* v, double yoffset);
void log_sb_drag_begin(LogView* v, double my, bool clears_autoscroll);
void log_sb_drag_move(LogView* v, double my);

// Row under a window y, or -1 (the header strip and space below the last line are no row).
int log_row_at(LogView* v, double my);

// Copy menu texts: one stored line, or every line followed by CR LF.
bool log_copy_line(LogView* v, int row, std::string* out);
std::string log_copy_all(LogView* v);

#include <mutex>
// The lock behind every function here; log_draw holds it while it draws.
std::mutex& log_mutex_for_drawing();

// Snapshot accessors for callers that only read (tests, the frame).
int log_count(LogView* v);
bool log_line(LogView* v, int row, char* out, size_t cap, uint8_t* tag);
