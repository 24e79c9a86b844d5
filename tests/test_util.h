// Reading and writing whole files, for every suite.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Empty when the file is missing or cannot be read whole.
inline std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::vector<uint8_t> d;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return d;
    fseek(f, 0, SEEK_END);
    d.resize((size_t)ftell(f));
    fseek(f, 0, SEEK_SET);
    if (fread(d.data(), 1, d.size(), f) != d.size()) d.clear();
    fclose(f);
    return d;
}

inline std::string read_text_file(const std::string& path) {
    std::vector<uint8_t> b = read_binary_file(path);
    return std::string(b.begin(), b.end());
}

inline bool write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
