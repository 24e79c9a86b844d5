// INI settings files with the semantics the rest of the program relies on:
// section and key names compare case-insensitively, values are trimmed and
// lose one pair of surrounding quotes, the first of duplicate sections/keys
// wins, every line we do not change is kept byte for byte, and a new key is
// appended to the end of its section (a new section to the end of the file).
//
// Writers are serialised by one process-wide lock, and a file is replaced
// atomically (temporary file in the same folder, fsync, rename), so a crash
// or a full disk never leaves a half-written settings file behind.
#pragma once

#include <cstddef>
#include <string>

enum IniGet {
    INI_GET_MISSING = 0,  // no such section/key (or no such file)
    INI_GET_OK,           // value copied
    INI_GET_TOO_LONG,     // value exists but does not fit; out is set to ""
};

struct IniPair {
    const char* key;
    const char* value;  // nullptr deletes the key
};

// ---- operations on INI text held in memory --------------------------------

// Looks up section/key in `text`. On INI_GET_OK the value (trimmed, one pair
// of quotes stripped) is in `out`; on anything else `out` is "" (when cap > 0).
IniGet ini_text_get(const std::string& text, const char* section, const char* key, char* out,
                    size_t cap);

// Sets (or with value == nullptr deletes) keys of one section in `text`,
// keeping every other byte of it. Returns false (text unchanged) when a key
// or value contains a line break or a key is empty or contains '='.
bool ini_text_set(std::string& text, const char* section, const IniPair* pairs, int count);

// Removes a whole section (its header and every line up to the next section).
void ini_text_remove_section(std::string& text, const char* section);

// ---- operations on files ---------------------------------------------------

// Reads a value from the file at `path`. A missing or unreadable file counts
// as empty. `out` gets "" unless INI_GET_OK.
IniGet ini_get(const char* path, const char* section, const char* key, char* out, size_t cap);

// Applies `pairs` to one section of the file and replaces the file atomically.
// Creates the file when it does not exist. False on failure; ini_error() then
// says why and the old file is untouched.
bool ini_put(const char* path, const char* section, const IniPair* pairs, int count);

// Removes one section from the file, atomically as ini_put.
bool ini_remove_section(const char* path, const char* section);

// Reason for the last failure of ini_put/ini_remove_section on this thread.
const char* ini_error();

// Test seam: called after each chunk written to the temporary file with the
// number of bytes written so far. Lets tests interrupt a save half-way.
typedef void (*IniWriteHook)(size_t bytes_written);
void ini_set_write_hook(IniWriteHook hook);
