// Whole files and temporary folders, for every suite.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

// Empty when the file is missing or cannot be read whole.
inline std::vector<uint8_t> read_binary_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// "" when the file is missing; reads files that do not know their size (sysfs).
inline std::string read_text_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline bool write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;  // an empty vector's data() may be null
    return fclose(f) == 0 && ok;
}
inline bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
    return write_file(path, data.data(), data.size());
}
inline bool write_text_file(const std::string& path, const std::string& text) {
    return write_file(path, text.data(), text.size());
}

// A fresh folder under /tmp, removed with everything in it when it goes.
struct TempDir {
    std::string path;
    explicit TempDir(const char* stem = "korvane") {
        std::string t = std::string("/tmp/") + stem + "_XXXXXX";
        if (mkdtemp(t.data())) path = t;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A fixed sequence (splitmix64), the same on every host.
struct Rng {
    uint64_t s;
    uint32_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (uint32_t)((z ^ (z >> 31)) >> 16);
    }
};
