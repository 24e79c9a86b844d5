// A whole file as a string ("" when it cannot be read), for the settings tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
