// The settings file (debugger.ini) and the INI text operations under it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "app/settings.h"
#include "fuzz/fuzz_file.h"
#include "platform/ini.h"

namespace {

std::vector<std::string> lines_of(const std::string& t) {
    std::vector<std::string> out;
    size_t at = t.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // a byte-order mark is no line
    while (at < t.size()) {
        size_t nl = t.find('\n', at);
        size_t end = nl == std::string::npos ? t.size() : nl;
        std::string l = t.substr(at, end - at);
        while (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
        at = end + 1;
    }
    return out;
}

// A key added by set keeps every line there was, in order: nothing the user
// wrote is lost or changed.
void check_kept(const std::string& before, const std::string& after) {
    std::vector<std::string> a = lines_of(before), b = lines_of(after);
    size_t j = 0;
    for (const std::string& l : a) {
        while (j < b.size() && b[j] != l) ++j;
        if (j == b.size()) abort();
        ++j;
    }
    if (b.size() > a.size() + 2) abort();
}

bool mentions(const std::string& text, const char* word) {
    size_t n = strlen(word);
    for (size_t i = 0; i + n <= text.size(); ++i)
        if (strncasecmp(text.data() + i, word, n) == 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    std::string text((const char*)data, size);
    char out[300];
    // Keys and sections the input itself names, and the settings' own.
    const char* sections[] = {"Settings", "settings", "PDSC", ""};
    const char* keys[] = {"elf", "svd", "arm_svd", "bin", "source_root", ""};
    for (const char* s : sections)
        for (const char* k : keys) {
            IniGet r = ini_text_get(text, s, k, out, sizeof out);
            if (r != INI_GET_OK && out[0]) abort();
            if (strlen(out) >= sizeof out) abort();
        }
    IniGet tiny = ini_text_get(text, "Settings", "elf", out, 1);
    if (tiny == INI_GET_OK && out[0]) abort();

    for (const char* s : {"Settings", "Fuzz Section"}) {
        std::string t = text;
        IniPair p{"korvane_fuzz_key", "value 1"};
        if (ini_text_set(t, s, &p, 1)) {
            if (!mentions(text, p.key)) check_kept(text, t);
            if (ini_text_get(t, s, p.key, out, sizeof out) != INI_GET_OK || strcmp(out, "value 1") != 0) abort();
            p.value = nullptr;
            if (!ini_text_set(t, s, &p, 1)) abort();
            if (ini_text_get(t, s, p.key, out, sizeof out) == INI_GET_OK) abort();
        }
        // Removal takes the first of duplicate sections only; it never adds.
        size_t before = t.size();
        ini_text_remove_section(t, s);
        if (t.size() > before) abort();
    }

    // The whole load: the file in a folder of its own, five paths made absolute.
    static bool folder_set = false;
    static std::string ini_path;
    if (!folder_set) {
        config_override_folder(fuzz_folder());
        ini_path = std::string(fuzz_folder()) + "/debugger.ini";
        folder_set = true;
    }
    FILE* f = fopen(ini_path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    config_load();
    for (const char* v : {g_cfg_elf, g_cfg_svd, g_cfg_arm_svd, g_cfg_bin, g_src_root_dir})
        if (strnlen(v, CFG_PATH_LEN) >= CFG_PATH_LEN) abort();
    return 0;
}
