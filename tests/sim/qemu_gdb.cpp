#include "tests/sim/qemu_gdb.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char* const kMarker = "@@KQG ";

std::string find_in_path(const char* name) {
    const char* path = std::getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string dir = p.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string full = dir + "/" + name;
        if (access(full.c_str(), X_OK) == 0) return full;
        start = end + 1;
    }
    return "";
}

// A port the kernel just reported free; QEMU may still lose a race for it,
// which qemu_gdb_run notices and answers with another port.
int pick_free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

struct Child {
    pid_t pid = -1;
    int out_fd = -1;  // read end of the child's stdout+stderr, or -1
};

// fork+exec rather than posix_spawn: the child must die with us
// (PR_SET_PDEATHSIG) so a crashed test never leaves QEMU running.
bool spawn(const std::string& exe, const std::vector<std::string>& args, const char* log_path, Child* c) {
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DEBUGINFOD_URLS=", 16) != 0) env_store.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& s : env_store) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_store;
    argv_store.push_back(exe);
    argv_store.insert(argv_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_store) argv.push_back(s.data());
    argv.push_back(nullptr);

    int pipefd[2] = {-1, -1};
    if (!log_path && pipe2(pipefd, O_CLOEXEC) != 0) return false;
    int log_fd = -1;
    if (log_path) {
        log_fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log_fd < 0) return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        if (log_fd >= 0) close(log_fd);
        if (pipefd[0] >= 0) close(pipefd[0]), close(pipefd[1]);
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        int out = log_path ? log_fd : pipefd[1];
        dup2(out, 1);
        dup2(out, 2);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (log_fd >= 0) close(log_fd);
    if (pipefd[1] >= 0) close(pipefd[1]);
    c->pid = pid;
    c->out_fd = pipefd[0];
    return true;
}

void kill_child(Child* c) {
    if (c->pid > 0) {
        kill(c->pid, SIGKILL);
        waitpid(c->pid, nullptr, 0);
        c->pid = -1;
    }
    if (c->out_fd >= 0) {
        close(c->out_fd);
        c->out_fd = -1;
    }
}

bool exited(Child* c) {
    int status = 0;
    if (c->pid > 0 && waitpid(c->pid, &status, WNOHANG) == c->pid) {
        c->pid = -1;
        return true;
    }
    return c->pid <= 0;
}

// Collects the child's output until it closes it or the deadline passes.
// True when the output ended before the deadline.
bool read_until_eof(Child* c, Clock::time_point deadline, std::string* out) {
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{c->out_fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = read(c->out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (8u << 20)) return false;  // a runaway session
    }
}

std::string read_file(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && s.size() < (1u << 20)) s.append(buf, n);
    std::fclose(f);
    return s;
}

const char* op_name(QemuGdbOp op) {
    switch (op) {
    case QemuGdbOp::Break: return "break";
    case QemuGdbOp::Delete: return "delete";
    case QemuGdbOp::Continue: return "continue";
    case QemuGdbOp::StepInstr: return "stepi";
    case QemuGdbOp::SetVar: return "set var";
    case QemuGdbOp::Registers: return "info registers";
    case QemuGdbOp::Memory: return "x";
    case QemuGdbOp::Print: return "print";
    }
    return "?";
}

bool parse_u32(const std::string& s, uint32_t* v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long x = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || x > 0xFFFFFFFFull) return false;
    *v = static_cast<uint32_t>(x);
    return true;
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

// The value of the first "$N = VALUE" in text (VALUE may run over lines).
bool value_of(const std::string& text, std::string* value) {
    for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at + 1)) {
        if (at > 0 && text[at - 1] != '\n') continue;
        size_t eq = text.find(" = ", at);
        if (eq == std::string::npos) return false;
        bool digits = eq > at + 1;
        for (size_t i = at + 1; i < eq; ++i) digits = digits && std::isdigit(static_cast<unsigned char>(text[i]));
        if (!digits) continue;
        *value = trim(text.substr(eq + 3));
        return true;
    }
    return false;
}

// "$N = 0x..." after the named sub-marker; false when absent or not a number.
bool marked_hex(const std::string& text, const char* mark, uint32_t* v) {
    size_t at = text.find(mark);
    if (at == std::string::npos) return false;
    std::string value;
    std::string rest = text.substr(at + std::strlen(mark));
    size_t next = rest.find("@@");
    if (next != std::string::npos) rest.resize(next);
    return value_of(rest, &value) && parse_u32(value, v);
}

bool parse_stop(const std::string& seg, QemuGdbStop* stop) {
    if (!marked_hex(seg, "@@PC\n", &stop->pc)) return false;
    size_t at = seg.find("@@SYM\n");
    if (at == std::string::npos) return false;
    for (const std::string& line : split_lines(seg.substr(at + 6))) {
        size_t in = line.find(" in section ");
        if (in == std::string::npos) continue;
        std::string sym = line.substr(0, in);
        size_t plus = sym.find(" + ");
        if (plus != std::string::npos) sym.resize(plus);
        stop->function = trim(sym);
        break;
    }
    return true;
}

bool parse_regs(const std::string& seg, QemuGdbRegs* regs) {
    static const char* const names[16] = {"r0", "r1", "r2",  "r3",  "r4",  "r5", "r6", "r7",
                                          "r8", "r9", "r10", "r11", "r12", "sp", "lr", "pc"};
    bool seen[17] = {};
    for (const std::string& line : split_lines(seg)) {
        std::istringstream in(line);
        std::string name, hex;
        if (!(in >> name >> hex)) continue;
        uint32_t v = 0;
        if (!parse_u32(hex, &v)) continue;
        for (int i = 0; i < 16; ++i)
            if (name == names[i]) regs->r[i] = v, seen[i] = true;
        if (name == "xpsr") regs->xpsr = v, seen[16] = true;
    }
    for (bool s : seen)
        if (!s) return false;
    regs->has_msp = marked_hex(seg, "@@MSP\n", &regs->msp);
    regs->has_psp = marked_hex(seg, "@@PSP\n", &regs->psp);
    return true;
}

bool parse_memory(const std::string& seg, unsigned count, QemuGdbMemory* mem) {
    bool first = true;
    for (const std::string& line : split_lines(seg)) {
        size_t colon = line.find(':');
        if (line.rfind("0x", 0) != 0 || colon == std::string::npos) continue;
        if (first) {
            std::string addr = line.substr(0, line.find_first_of(" :"));
            if (!parse_u32(addr, &mem->addr)) return false;
            first = false;
        }
        std::istringstream in(line.substr(colon + 1));
        std::string tok;
        while (in >> tok) {
            uint32_t v = 0;
            if (!parse_u32(tok, &v)) return false;
            mem->words.push_back(v);
        }
    }
    return !first && mem->words.size() == count;
}

// One line only: an argument must not smuggle further commands into gdb.
bool safe_arg(const std::string& s) {
    return s.find('\n') == std::string::npos && s.find('\r') == std::string::npos;
}

}  // namespace

bool qemu_gdb_capture(const std::vector<std::string>& argv, int timeout_ms, std::string* out, int* exit_code) {
    out->clear();
    *exit_code = -1;
    if (argv.empty() || timeout_ms <= 0) return false;
    std::string exe = argv[0].find('/') == std::string::npos ? find_in_path(argv[0].c_str()) : argv[0];
    if (exe.empty()) return false;
    Child c;
    if (!spawn(exe, std::vector<std::string>(argv.begin() + 1, argv.end()), nullptr, &c)) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ended = read_until_eof(&c, deadline, out);
    if (!ended) {
        kill_child(&c);
        return false;
    }
    // Output closed; the exit itself is bounded by the same deadline.
    int status = 0;
    for (;;) {
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) break;
        if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) {
            kill_child(&c);
            return false;
        }
        usleep(2000);
    }
    c.pid = -1;
    kill_child(&c);
    *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool qemu_gdb_available() {
    return !find_in_path("qemu-system-arm").empty() && !find_in_path("gdb-multiarch").empty();
}

std::string qemu_gdb_command_file(const QemuGdbScript& script, int port) {
    std::ostringstream f;
    f << "set pagination off\nset confirm off\nset width 0\nset height 0\n"
         "set print pretty off\nset tcp connect-timeout 10\n"
      << "target remote 127.0.0.1:" << port << "\n";
    for (size_t i = 0; i < script.steps.size(); ++i) {
        const QemuGdbStep& s = script.steps[i];
        f << "echo \\n" << kMarker << i << "\\n\n";
        switch (s.op) {
        case QemuGdbOp::Break: f << "break " << s.arg << "\n"; break;
        case QemuGdbOp::Delete: f << "delete\n"; break;
        case QemuGdbOp::Continue:
        case QemuGdbOp::StepInstr:
            f << (s.op == QemuGdbOp::Continue ? "continue\n" : "stepi\n")
              << "echo @@PC\\n\nprint/x $pc\necho @@SYM\\n\ninfo symbol $pc\n";
            break;
        case QemuGdbOp::SetVar: f << "set var " << s.arg << "\n"; break;
        case QemuGdbOp::Registers:
            f << "info registers\necho @@MSP\\n\nprint/x $msp\necho @@PSP\\n\nprint/x $psp\n";
            break;
        case QemuGdbOp::Memory: f << "x/" << s.count << "wx " << s.arg << "\n"; break;
        case QemuGdbOp::Print: f << "print " << s.arg << "\n"; break;
        }
    }
    f << "echo \\n" << kMarker << "END\\n\nkill\n";
    return f.str();
}

bool qemu_gdb_parse(const QemuGdbScript& script, const std::string& out, QemuGdbResult* r) {
    r->stops.clear();
    r->regs.clear();
    r->memory.clear();
    r->prints.clear();
    for (size_t i = 0; i < script.steps.size(); ++i) {
        const QemuGdbStep& s = script.steps[i];
        std::string begin = std::string("\n") + kMarker + std::to_string(i) + "\n";
        std::string next = std::string("\n") + kMarker + (i + 1 < script.steps.size() ? std::to_string(i + 1) : "END") + "\n";
        size_t a = out.find(begin);
        size_t b = a == std::string::npos ? std::string::npos : out.find(next, a + begin.size());
        std::string what = "step " + std::to_string(i) + " (" + op_name(s.op) + " " + s.arg + ")";
        if (a == std::string::npos) {
            r->error = what + " never ran";
            return false;
        }
        std::string seg = out.substr(a + begin.size(), b == std::string::npos ? std::string::npos : b - a - begin.size());
        if (b == std::string::npos) {
            r->error = what + " failed: " + trim(seg);
            return false;
        }
        bool ok = true;
        switch (s.op) {
        case QemuGdbOp::Continue:
        case QemuGdbOp::StepInstr: {
            QemuGdbStop stop;
            ok = parse_stop(seg, &stop);
            r->stops.push_back(stop);
            break;
        }
        case QemuGdbOp::Registers: {
            QemuGdbRegs regs;
            ok = parse_regs(seg, &regs);
            r->regs.push_back(regs);
            break;
        }
        case QemuGdbOp::Memory: {
            QemuGdbMemory mem;
            ok = parse_memory(seg, s.count, &mem);
            r->memory.push_back(mem);
            break;
        }
        case QemuGdbOp::Print: {
            std::string v;
            ok = value_of(seg, &v);
            r->prints.push_back(v);
            break;
        }
        default: break;
        }
        if (!ok) {
            r->error = what + ": cannot read gdb's answer: " + trim(seg);
            return false;
        }
    }
    return true;
}

bool qemu_gdb_run(const QemuGdbScript& script, QemuGdbResult* result) {
    *result = QemuGdbResult{};
    std::string qemu = find_in_path("qemu-system-arm"), gdb = find_in_path("gdb-multiarch");
    if (qemu.empty() || gdb.empty()) {
        result->error = "qemu-system-arm or gdb-multiarch not found";
        return false;
    }
    if (access(script.elf.c_str(), R_OK) != 0) {
        result->error = "cannot read " + script.elf;
        return false;
    }
    for (const QemuGdbStep& s : script.steps) {
        if (!safe_arg(s.arg) || (s.op == QemuGdbOp::Memory && (s.count == 0 || s.count > 4096))) {
            result->error = std::string("bad step: ") + op_name(s.op) + " " + s.arg;
            return false;
        }
    }
    if (script.timeout_ms <= 0) {
        result->error = "time-out must be positive";
        return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(script.timeout_ms);

    char dir_tmpl[] = "/tmp/korvane-qemu-XXXXXX";
    if (!mkdtemp(dir_tmpl)) {
        result->error = "cannot make a temporary folder";
        return false;
    }
    std::string dir = dir_tmpl, cmd_path = dir + "/cmds.gdb", log_path = dir + "/qemu.log";

    bool ok = false;
    for (int attempt = 0; attempt < 5 && !ok && Clock::now() < deadline; ++attempt) {
        int port = pick_free_port();
        if (port <= 0) {
            result->error = "no free TCP port";
            break;
        }
        FILE* f = std::fopen(cmd_path.c_str(), "w");
        if (!f) {
            result->error = "cannot write " + cmd_path;
            break;
        }
        std::string cmds = qemu_gdb_command_file(script, port);
        std::fwrite(cmds.data(), 1, cmds.size(), f);
        std::fclose(f);

        Child q;
        std::string gdb_arg = "tcp:127.0.0.1:" + std::to_string(port);
        if (!spawn(qemu, {"-M", "netduinoplus2", "-nographic", "-monitor", "none", "-serial", "null", "-S", "-gdb",
                          gdb_arg, "-kernel", script.elf},
                   log_path.c_str(), &q)) {
            result->error = "cannot start qemu-system-arm";
            break;
        }
        // QEMU exits at once when it cannot listen (port taken): try another.
        usleep(150 * 1000);
        if (exited(&q)) {
            result->error = "qemu-system-arm stopped at start: " + trim(read_file(log_path));
            continue;
        }
        Child g;
        if (!spawn(gdb, {"-batch", "-nx", "-x", cmd_path, script.elf}, nullptr, &g)) {
            kill_child(&q);
            result->error = "cannot start gdb-multiarch";
            break;
        }
        std::string out;
        bool ended = read_until_eof(&g, deadline, &out);
        kill_child(&g);
        bool qemu_died_early = exited(&q);
        kill_child(&q);
        result->transcript = out;
        if (!ended) {
            qemu_gdb_parse(script, out, result);  // names the step that hung
            result->error = "time-out after " + std::to_string(script.timeout_ms) + " ms; " + result->error;
            break;
        }
        if (out.find(std::string("\n") + kMarker + (script.steps.empty() ? "END" : "0") + "\n") == std::string::npos &&
            qemu_died_early) {
            result->error = "qemu-system-arm ended before gdb connected: " + trim(read_file(log_path));
            continue;
        }
        ok = qemu_gdb_parse(script, out, result);
    }
    unlink(cmd_path.c_str());
    unlink(log_path.c_str());
    rmdir(dir.c_str());
    return ok;
}
