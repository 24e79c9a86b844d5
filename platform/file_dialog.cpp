#include "platform/file_dialog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/fatal.h"

extern char** environ;

static pid_t s_pid = -1;
static int s_fd = -1;
static bool s_folder = false;
static std::string s_output;

bool plat_dialog_running() { return s_pid > 0; }

static bool start(std::vector<std::string> args, bool folder, char* err, size_t err_cap) {
    if (s_pid > 0) {
        std::snprintf(err, err_cap, "a file dialog is already open");
        return false;
    }
    char prog[1024];
    if (!plat_find_in_path("zenity", prog, sizeof prog)) {
        std::snprintf(err, err_cap, "zenity not found");
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::snprintf(err, err_cap, "pipe: %s", strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    args.insert(args.begin(), prog);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    // No shell: paths and titles reach the dialog as they are.
    int rc = posix_spawn(&pid, prog, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        std::snprintf(err, err_cap, "cannot start zenity: %s", strerror(rc));
        return false;
    }
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    s_pid = pid;
    s_fd = fds[0];
    s_folder = folder;
    s_output.clear();
    return true;
}

bool plat_dialog_open_file(const char* title, const PlatFileFilter* filters, int filter_count, char* err,
                           size_t err_cap) {
    std::vector<std::string> args = {"--file-selection", std::string("--title=") + (title ? title : "Open")};
    for (int i = 0; i < filter_count; ++i)
        args.push_back(std::string("--file-filter=") + filters[i].name + " | " + filters[i].patterns);
    return start(args, false, err, err_cap);
}

bool plat_dialog_open_folder(const char* title, char* err, size_t err_cap) {
    return start({"--file-selection", "--directory", std::string("--title=") + (title ? title : "Select folder")},
                 true, err, err_cap);
}

static void drain() {
    char buf[1024];
    for (;;) {
        ssize_t n = read(s_fd, buf, sizeof buf);
        if (n > 0) {
            // A path longer than any buffer here is refused anyway; keep a bound.
            if (s_output.size() < 65536) s_output.append(buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

static void finish() {
    if (s_fd >= 0) close(s_fd);
    s_fd = -1;
    s_pid = -1;
}

PlatDialogResult plat_dialog_poll(char* out, size_t out_cap, char* err, size_t err_cap) {
    if (s_pid <= 0) return PLAT_DIALOG_NONE;
    drain();
    int status = 0;
    pid_t r = waitpid(s_pid, &status, WNOHANG);
    if (r == 0) return PLAT_DIALOG_RUNNING;
    drain();
    bool folder = s_folder;
    finish();
    if (r < 0 || !WIFEXITED(status)) {
        std::snprintf(err, err_cap, "the file dialog ended abnormally");
        return PLAT_DIALOG_FAILED;
    }
    if (WEXITSTATUS(status) == 1) return PLAT_DIALOG_CANCELLED;
    while (!s_output.empty() && (s_output.back() == '\n' || s_output.back() == '\r')) s_output.pop_back();
    if (WEXITSTATUS(status) != 0 || s_output.empty()) {
        std::snprintf(err, err_cap, "the file dialog failed (exit %d)", WEXITSTATUS(status));
        return PLAT_DIALOG_FAILED;
    }
    if (s_output.size() + 1 > out_cap) {
        std::snprintf(err, err_cap, "the chosen path is %zu characters long; at most %zu fit", s_output.size(),
                      out_cap - 1);
        return PLAT_DIALOG_FAILED;
    }
    struct stat st;
    if (stat(s_output.c_str(), &st) != 0 || (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))) {
        std::snprintf(err, err_cap, "%s is not an existing %s", s_output.c_str(), folder ? "folder" : "file");
        return PLAT_DIALOG_FAILED;
    }
    std::memcpy(out, s_output.c_str(), s_output.size() + 1);
    return PLAT_DIALOG_CHOSEN;
}

void plat_dialog_cancel() {
    if (s_pid <= 0) return;
    kill(s_pid, SIGTERM);
    waitpid(s_pid, nullptr, 0);
    finish();
}
