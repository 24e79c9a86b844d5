#include "platform/fatal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool plat_find_in_path(const char* name, char* out, unsigned cap) {
    const char* path = getenv("PATH");
    if (!name || !name[0] || !path || !out || cap == 0) return false;
    const char* p = path;
    while (*p) {
        const char* end = strchr(p, ':');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len > 0) {
            int n = snprintf(out, cap, "%.*s/%s", (int)len, p, name);
            if (n > 0 && (unsigned)n < cap && access(out, X_OK) == 0) return true;
        }
        if (!end) break;
        p = end + 1;
    }
    out[0] = 0;
    return false;
}

void plat_fatal_message(const char* title, const char* text) {
    fprintf(stderr, "%s: %s\n", title ? title : "Error", text ? text : "");
    fflush(stderr);
    char zenity[1024];
    if (!plat_find_in_path("zenity", zenity, sizeof zenity)) return;
    char title_arg[256], text_arg[512];
    snprintf(title_arg, sizeof title_arg, "--title=%s", title ? title : "Error");
    snprintf(text_arg, sizeof text_arg, "--text=%s", text ? text : "");
    // Started directly, not through a shell, so no text can be read as a command.
    char* argv[] = {zenity, (char*)"--error", (char*)"--no-markup", title_arg, text_arg, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, zenity, nullptr, nullptr, argv, environ) != 0) return;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
    }
}
