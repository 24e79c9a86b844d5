// The line stores every layer reports into: the log (mirrored to a file),
// and the "Core registers" and "Peripherals" lines the interface rewrites.
// One lock guards every store and the file: the probe thread appends while
// the interface thread draws. Drawing and scrolling live with the panels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

constexpr int LOG_CAPACITY = 2048;
constexpr int LOG_LINE_LEN = 256;  // 255 characters + NUL

struct LogStore {
    char lines[LOG_CAPACITY][LOG_LINE_LEN];
    uint8_t line_tags[LOG_CAPACITY];
    int count;
    unsigned added;    // lines ever added: tells a new line from an unchanged full log
    unsigned cleared;  // times emptied: a panel showing it starts again at the top
};

extern LogStore logv;         // "Log": time-stamped and mirrored to the file
extern LogStore memmap_view;  // "Core registers"
extern LogStore periph_view;  // "Peripherals"

void log_add_line(LogStore* s, const char* text);
void log_add_line_tagged(LogStore* s, const char* text, uint8_t tag);
// printf-style append through a 256-byte buffer.
void log_addf(LogStore* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Lines ever added (a full log keeps its count).
unsigned log_added(LogStore* s);
// Empties a store whose owner rewrites it (registers, peripherals).
void log_clear(LogStore* s);

// Where logv's lines are mirrored. By default debugger.log in the settings
// folder, opened on the first line. An empty path turns the mirror off. Takes
// effect for the next line (a previously opened file is closed).
void log_set_file_path(const char* path);

// Snapshot accessors for callers that only read.
int log_count(LogStore* s);
bool log_line(LogStore* s, int row, char* out, size_t cap, uint8_t* tag);
// Copy menu texts: one stored line, or every line followed by CR LF.
bool log_copy_line(LogStore* s, int row, std::string* out);
std::string log_copy_all(LogStore* s);

// The lock behind every function here, for a panel that reads the lines in place.
std::mutex& log_mutex();
