#include "platform/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

static bool reap(pid_t pid, int* status, bool block) {
    for (;;) {
        pid_t r = waitpid(pid, status, block ? 0 : WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno == EINTR) continue;
        return false;
    }
}

static int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

PlatProcResult plat_process_run(const char* const* argv, uint32_t timeout_ms, int* exit_code, int* err) {
    if (exit_code) *exit_code = -1;
    if (err) *err = 0;
    if (!argv || !argv[0]) {
        if (err) *err = EINVAL;
        return PLAT_PROC_SPAWN_FAILED;
    }
    pid_t pid = -1;
    // posix_spawnp takes char* const*; it does not write through it.
    int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ);
    if (rc != 0) {
        if (err) *err = rc;
        return PLAT_PROC_SPAWN_FAILED;
    }
    // An external program runs in real time whatever clock the caller uses.
    using clk = std::chrono::steady_clock;
    const auto end = clk::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (clk::now() < end) {
        if (reap(pid, &status, false)) {
            if (exit_code) *exit_code = exit_status(status);
            return PLAT_PROC_EXITED;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGTERM);
    const auto grace = clk::now() + std::chrono::milliseconds(2000);
    while (clk::now() < grace) {
        if (reap(pid, &status, false)) return PLAT_PROC_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    reap(pid, &status, true);
    return PLAT_PROC_TIMEOUT;
}
