// What a log store holds, as text, for the suites that check what was said or shown.
#pragma once

#include <string>

#include "platform/log_store.h"

// A row of a store, or "(none)" past its end.
inline std::string log_row(LogStore* s, int row, uint8_t* tag = nullptr) {
    char buf[LOG_LINE_LEN];
    return log_line(s, row, buf, sizeof buf, tag) ? buf : "(none)";
}

// How many lines of the application log contain `text`.
inline int log_lines_with(const std::string& text) {
    int n = 0;
    for (int i = 0; i < log_count(&logv); ++i) n += log_row(&logv, i).find(text) != std::string::npos;
    return n;
}
