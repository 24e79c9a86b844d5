#include "tests/sim/qemu_gdb.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kMarker = "\n@@KQG ";

std::string find_in_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::istringstream path(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(path, dir, ':');)
        if (access(((dir.empty() ? "." : dir) + "/" + name).c_str(), X_OK) == 0) return (dir.empty() ? "." : dir) + "/" + name;
    return "";
}

struct Child {
    pid_t pid = -1;
    int out_fd = -1;  // read end of the child's stdout+stderr, or -1
    ~Child() {  // always reaps: a failed test never leaves a tool running
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        if (out_fd >= 0) close(out_fd);
    }
    bool exited() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
        return pid <= 0;
    }
};

// fork+exec so the child dies with us (PR_SET_PDEATHSIG). Output goes to
// log_path when given, else to a pipe in c->out_fd.
bool spawn(const std::vector<std::string>& args, const char* log_path, Child* c) {
    std::vector<std::string> store(args);
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DEBUGINFOD_URLS=", 16) != 0) store.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (size_t i = 0; i < store.size(); ++i) (i < args.size() ? argv : envp).push_back(store[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int p[2] = {-1, -1};
    if (log_path ? (p[1] = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) < 0 : pipe2(p, O_CLOEXEC) != 0)
        return false;
    pid_t parent = getpid(), pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(p[1], 1);
        dup2(p[1], 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(p[1]);
    if (pid < 0 && p[0] >= 0) close(p[0]);
    c->pid = pid;
    c->out_fd = pid < 0 ? -1 : p[0];
    return pid > 0;
}

// Collects the child's output; true when it ended before the deadline.
bool read_until_eof(Child* c, Clock::time_point deadline, std::string* out) {
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{c->out_fd, POLLIN, 0};
        int r = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = read(c->out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (8u << 20)) return false;  // a runaway session
    }
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

bool parse_u32(const std::string& s, uint32_t* v) {
    char* end = nullptr;
    errno = 0;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != '\0' || x > 0xFFFFFFFFull) return false;
    *v = static_cast<uint32_t>(x);
    return true;
}

// The value of the first "$N = VALUE" at a line start (VALUE may run over lines).
bool value_of(const std::string& text, std::string* value) {
    for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at + 1)) {
        size_t eq = text.find(" = ", at);
        if ((at > 0 && text[at - 1] != '\n') || eq == std::string::npos || eq == at + 1 ||
            text.find_first_not_of("0123456789", at + 1) != eq)
            continue;
        *value = trim(text.substr(eq + 3));
        return true;
    }
    return false;
}

bool parse_regs(const std::string& seg, QemuGdbRegs* regs) {
    static const char* const names[17] = {"r0", "r1", "r2",  "r3",  "r4", "r5", "r6", "r7",  "r8",
                                          "r9", "r10", "r11", "r12", "sp", "lr", "pc", "xpsr"};
    unsigned seen = 0;
    std::istringstream in(seg);
    for (std::string line, name, hex; std::getline(in, line);) {
        std::istringstream ls(line);
        uint32_t v = 0;
        if (!(ls >> name >> hex) || !parse_u32(hex, &v)) continue;
        for (int i = 0; i < 17; ++i)
            if (name == names[i]) (i < 16 ? regs->r[i] : regs->xpsr) = v, seen |= 1u << i;
    }
    return seen == 0x1FFFFu;
}

// "0xADDR <sym>:\t0xW\t0xW" lines of x/Nwx; exactly count words.
bool parse_memory(const std::string& seg, unsigned count, QemuGdbMemory* mem) {
    std::istringstream in(seg);
    bool first = true;
    for (std::string line, tok; std::getline(in, line);) {
        size_t colon = line.find(':');
        if (line.rfind("0x", 0) != 0 || colon == std::string::npos) continue;
        first = false;
        for (std::istringstream ws(line.substr(colon + 1)); ws >> tok;) {
            uint32_t v = 0;
            if (!parse_u32(tok, &v)) return false;
            mem->words.push_back(v);
        }
    }
    return !first && mem->words.size() == count;
}

const char* const kOpNames[] = {"break", "delete", "continue", "stepi", "set var", "info registers", "x", "print",
                                "next",  "step",   "finish"};

bool records_stop(QemuGdbOp op) {
    return op == QemuGdbOp::Continue || op == QemuGdbOp::StepInstr || op == QemuGdbOp::Next ||
           op == QemuGdbOp::StepLine || op == QemuGdbOp::Finish;
}

std::string command_file(const QemuGdbScript& script, const std::string& socket) {
    std::ostringstream f;
    f << "set pagination off\nset confirm off\nset width 0\nset height 0\nset print pretty off\n"
         "target remote " << socket << "\n";
    for (size_t i = 0; i <= script.steps.size(); ++i) {
        f << "echo \\n@@KQG " << (i < script.steps.size() ? std::to_string(i) : "END") << "\\n\n";
        if (i == script.steps.size()) break;
        const QemuGdbStep& s = script.steps[i];
        f << kOpNames[static_cast<int>(s.op)];
        switch (s.op) {
        case QemuGdbOp::Continue:
        case QemuGdbOp::StepInstr:
        case QemuGdbOp::Next:
        case QemuGdbOp::StepLine:
        case QemuGdbOp::Finish: f << "\necho @@PC\\n\nprint/x $pc\n"; break;
        case QemuGdbOp::Memory: f << "/" << s.count << "wx " << s.arg << "\n"; break;
        case QemuGdbOp::Registers:
        case QemuGdbOp::Delete: f << "\n"; break;
        default: f << " " << s.arg << "\n";
        }
    }
    f << "kill\n";
    return f.str();
}

}  // namespace

bool qemu_gdb_capture(const std::vector<std::string>& argv, int timeout_ms, std::string* out, int* exit_code) {
    out->clear();
    *exit_code = -1;
    std::vector<std::string> args(argv);
    if (args.empty() || timeout_ms <= 0 || (args[0] = find_in_path(args[0])).empty()) return false;
    Child c;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (!spawn(args, nullptr, &c) || !read_until_eof(&c, deadline, out)) return false;
    // Output closed; the exit itself is bounded by the same deadline.
    int status = 0;
    for (pid_t r; (r = waitpid(c.pid, &status, WNOHANG)) != c.pid; usleep(2000))
        if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) return false;
    c.pid = -1;
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool qemu_gdb_available() { return !find_in_path("qemu-system-arm").empty() && !find_in_path("gdb-multiarch").empty(); }

bool qemu_gdb_parse(const QemuGdbScript& script, const std::string& out, QemuGdbResult* r) {
    r->stops.clear(), r->regs.clear(), r->memory.clear(), r->prints.clear();
    for (size_t i = 0; i < script.steps.size(); ++i) {
        const QemuGdbStep& s = script.steps[i];
        std::string begin = kMarker + std::to_string(i) + "\n";
        std::string next = kMarker + (i + 1 < script.steps.size() ? std::to_string(i + 1) : "END") + "\n";
        std::string what = "step " + std::to_string(i) + " (" + kOpNames[static_cast<int>(s.op)] + " " + s.arg + ")";
        size_t a = out.find(begin), b = a == std::string::npos ? a : out.find(next, a);
        if (a == std::string::npos) return r->error = what + " never ran", false;
        std::string seg = out.substr(a + begin.size(), b == std::string::npos ? b : b - a - begin.size());
        if (b == std::string::npos) return r->error = what + " failed: " + trim(seg), false;
        bool ok = true;
        std::string v;
        if (records_stop(s.op))
            ok = seg.find("@@PC\n") != std::string::npos && value_of(seg.substr(seg.find("@@PC\n")), &v) &&
                 parse_u32(v, &r->stops.emplace_back().pc);
        else if (s.op == QemuGdbOp::Registers)
            ok = parse_regs(seg, &r->regs.emplace_back());
        else if (s.op == QemuGdbOp::Memory)
            ok = parse_memory(seg, s.count, &r->memory.emplace_back());
        else if (s.op == QemuGdbOp::Print)
            ok = value_of(seg, &r->prints.emplace_back());
        if (!ok) return r->error = what + ": cannot read gdb's answer: " + trim(seg), false;
    }
    return true;
}

bool qemu_gdb_run(const QemuGdbScript& script, QemuGdbResult* result) {
    *result = QemuGdbResult{};
    std::string qemu = find_in_path("qemu-system-arm"), gdb = find_in_path("gdb-multiarch");
    std::string& err = result->error;
    if (qemu.empty() || gdb.empty()) return err = "qemu-system-arm or gdb-multiarch not found", false;
    if (access(script.elf.c_str(), R_OK) != 0) return err = "cannot read " + script.elf, false;
    if (script.timeout_ms <= 0) return err = "time-out must be positive", false;
    for (const QemuGdbStep& s : script.steps)  // one line each: no smuggled gdb commands
        if (s.arg.find_first_of("\r\n") != std::string::npos || (s.op == QemuGdbOp::Memory && (s.count == 0 || s.count > 4096)))
            return err = std::string("bad step: ") + kOpNames[static_cast<int>(s.op)] + " " + s.arg, false;
    auto deadline = Clock::now() + std::chrono::milliseconds(script.timeout_ms);
    char dir_tmpl[] = "/tmp/korvane-qemu-XXXXXX";
    if (!mkdtemp(dir_tmpl)) return err = "cannot make a temporary folder", false;
    // A socket in our own folder: no port to pick, no race with other sessions.
    std::string dir = dir_tmpl, cmd_path = dir + "/cmds.gdb", log_path = dir + "/qemu.log", sock = dir + "/gdb.sock";
    std::ofstream(cmd_path) << command_file(script, sock);
    bool ok = false;
    {
        Child q, g;
        auto socket_ready = [&] {  // QEMU exits at once when it cannot open it
            struct stat st {};
            while (stat(sock.c_str(), &st) != 0 && !q.exited() && Clock::now() < deadline) usleep(10000);
            return S_ISSOCK(st.st_mode);
        };
        if (!spawn({qemu, "-M", "netduinoplus2", "-nographic", "-monitor", "none", "-serial", "null", "-S", "-gdb",
                    "unix:" + sock + ",server=on,wait=off", "-kernel", script.elf},
                   log_path.c_str(), &q)) {
            err = "cannot start qemu-system-arm";
        } else if (!socket_ready()) {
            std::ifstream f(log_path);
            err = "qemu-system-arm did not open its gdb socket: " + trim(std::string(std::istreambuf_iterator<char>(f), {}));
        } else if (!spawn({gdb, "-batch", "-nx", "-x", cmd_path, script.elf}, nullptr, &g)) {
            err = "cannot start gdb-multiarch";
        } else if (!read_until_eof(&g, deadline, &result->transcript)) {
            qemu_gdb_parse(script, result->transcript, result);  // names the step that hung
            err = "time-out after " + std::to_string(script.timeout_ms) + " ms; " + err;
        } else {
            ok = qemu_gdb_parse(script, result->transcript, result);
        }
    }
    unlink(cmd_path.c_str());
    unlink(log_path.c_str());
    unlink(sock.c_str());
    rmdir(dir.c_str());
    return ok;
}
