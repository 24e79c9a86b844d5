// The readers that take a path get the fuzzer's bytes through one in-memory
// file, rewritten for every input: no disk traffic, nothing left behind.
#pragma once

#include <cstddef>
#include <cstdint>

// Called first for every input: the log starts empty, so it never fills
// (a full log moves every line for each new one).
void fuzz_begin();
// The path of a file now holding exactly `data`; null when it cannot be made.
const char* fuzz_file(const uint8_t* data, size_t size);
// A private folder (made once) for readers that walk a folder.
const char* fuzz_folder();
