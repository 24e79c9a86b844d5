#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

static bool copy_bounded(const char* src, char* out, size_t cap) {
    size_t n = strlen(src);
    if (n + 1 > cap) return false;
    memcpy(out, src, n + 1);
    return true;
}

bool plat_exe_path(char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = 0;
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || (size_t)n >= sizeof buf) return false;
    buf[n] = 0;
    return copy_bounded(buf, out, cap);
}

bool plat_exe_dir(char* out, size_t cap) {
    char exe[4096];
    if (!plat_exe_path(exe, sizeof exe)) return false;
    char* slash = strrchr(exe, '/');
    if (!slash) return false;
    slash[1] = 0;
    return copy_bounded(exe, out, cap);
}

bool plat_dir_writable(const char* dir) {
    if (!dir || !dir[0]) return false;
    char probe[4200];
    int n = snprintf(probe, sizeof probe, "%s%s.korvane-write-test.%ld", dir,
                     dir[strlen(dir) - 1] == '/' ? "" : "/", (long)getpid());
    if (n < 0 || (size_t)n >= sizeof probe) return false;
    int fd = open(probe, O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (fd < 0) return false;
    close(fd);
    unlink(probe);
    return true;
}

bool plat_make_dirs(const char* dir) {
    if (!dir || !dir[0]) return false;
    char buf[4096];
    if (!copy_bounded(dir, buf, sizeof buf)) return false;
    for (char* p = buf + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = 0;
        if (mkdir(buf, 0755) != 0 && errno != EEXIST) return false;
        *p = '/';
    }
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return false;
    struct stat st;
    return stat(buf, &st) == 0 && S_ISDIR(st.st_mode);
}

bool plat_pick_data_dir(const char* exe_dir, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = 0;
    if (!exe_dir || exe_dir[0] != '/') return false;
    char dir[4096];
    if (!copy_bounded(exe_dir, dir, sizeof dir)) return false;
    size_t n = strlen(dir);
    while (n > 1 && dir[n - 1] == '/') dir[--n] = 0;
    char* slash = strrchr(dir, '/');
    if (!slash || n <= 1) return false;  // "/" has no parent to hold share/
    slash[1] = 0;
    char share[4096];
    return path_join(dir, "share", share, sizeof share) && path_join(share, "korvane-debugger/", out, cap);
}

bool plat_data_dir(char* out, size_t cap) {
    char exe_dir[4096], dir[4096];
    struct stat st;
    if (!plat_exe_dir(exe_dir, sizeof exe_dir) || !plat_pick_data_dir(exe_dir, dir, sizeof dir) ||
        stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (out && cap) out[0] = 0;
        return false;
    }
    return copy_bounded(dir, out, cap);
}

bool plat_pick_settings_dir(const char* exe_dir, bool exe_dir_writable, bool installed, const char* xdg_config_home,
                            const char* home, char* out, size_t cap) {
    if (!out || cap == 0) return false;
    out[0] = 0;
    // An installed program's bin/ is shared by every user (and writable to
    // root): its settings are per user, like any installed program's.
    if (exe_dir && exe_dir[0] && exe_dir_writable && !installed) return path_join(exe_dir, "", out, cap);
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
    if (xdg_config_home && xdg_config_home[0] == '/')
        return path_join(xdg_config_home, "korvane-debugger/", out, cap);
    if (home && home[0] == '/') {
        char cfg[4096];
        if (!path_join(home, ".config", cfg, sizeof cfg)) return false;
        return path_join(cfg, "korvane-debugger/", out, cap);
    }
    return false;
}

bool plat_settings_dir(char* out, size_t cap, bool* fallback) {
    static std::mutex mtx;
    static bool decided = false, ok = false, was_fallback = false;
    static char chosen[4096];
    std::lock_guard<std::mutex> lk(mtx);
    if (!decided) {
        decided = true;
        char exe_dir[4096];
        bool have_exe = plat_exe_dir(exe_dir, sizeof exe_dir);
        char data[4096];
        bool installed = plat_data_dir(data, sizeof data);
        bool writable = have_exe && !installed && plat_dir_writable(exe_dir);
        ok = plat_pick_settings_dir(have_exe ? exe_dir : nullptr, writable, installed, getenv("XDG_CONFIG_HOME"),
                                    getenv("HOME"), chosen, sizeof chosen);
        was_fallback = ok && !writable;
        if (ok && was_fallback) ok = plat_make_dirs(chosen);
    }
    if (fallback) *fallback = was_fallback;
    if (!ok) {
        if (out && cap) out[0] = 0;
        return false;
    }
    return copy_bounded(chosen, out, cap);
}

bool path_join(const char* dir, const char* name, char* out, size_t cap) {
    if (!dir || !name || !out || cap == 0) return false;
    size_t dl = strlen(dir), nl = strlen(name);
    bool need_slash = dl > 0 && dir[dl - 1] != '/';
    size_t total = dl + (need_slash ? 1 : 0) + nl;
    if (total + 1 > cap) {
        out[0] = 0;
        return false;
    }
    memmove(out, dir, dl);
    if (need_slash) out[dl++] = '/';
    memcpy(out + dl, name, nl + 1);
    return true;
}

const char* path_base_name(const char* path) {
    if (!path) return "";
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

bool plat_file_exists(const char* path) {
    struct stat st;
    return path && path[0] && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}
