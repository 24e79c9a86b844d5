#include "tests/sim/qemu_gdb.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
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

// Collects the child's output; true when it ended before the deadline (and,
// with quiet_ms, before a silence that long).
bool read_until_eof(Child* c, Clock::time_point deadline, std::string* out, int quiet_ms = 0) {
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (quiet_ms > 0) left = std::min<long long>(left, quiet_ms);
        pollfd p{c->out_fd, POLLIN, 0};
        int r = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = read(c->out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (64u << 20)) return false;  // a runaway session
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

bool preflight(const std::string& elf, int timeout_ms, std::string* err) {
    if (find_in_path("qemu-system-arm").empty() || find_in_path("gdb-multiarch").empty())
        return *err = "qemu-system-arm or gdb-multiarch not found", false;
    if (access(elf.c_str(), R_OK) != 0) return *err = "cannot read " + elf, false;
    if (timeout_ms <= 0) return *err = "time-out must be positive", false;
    return true;
}

// QEMU halted at reset with its gdb socket in a folder of our own (no port to
// pick, no race with other sessions), then gdb running the file written
// there. Both tools are always ended and the folder removed. True when gdb
// ran to its end before the time-out.
bool run_session(const std::string& elf, const std::vector<std::string>& qemu_extra, const std::string& gdb_file,
                 const std::function<std::string(const std::string& sock)>& gdb_text, int timeout_ms,
                 std::string* transcript, std::string* err, bool* timed_out, int quiet_ms = 0) {
    *timed_out = false;
    if (!preflight(elf, timeout_ms, err)) return false;
    std::string qemu = find_in_path("qemu-system-arm"), gdb = find_in_path("gdb-multiarch");
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char dir_tmpl[] = "/tmp/korvane-qemu-XXXXXX";
    if (!mkdtemp(dir_tmpl)) return *err = "cannot make a temporary folder", false;
    std::string dir = dir_tmpl, cmd_path = dir + "/" + gdb_file, log_path = dir + "/qemu.log", sock = dir + "/gdb.sock";
    std::ofstream(cmd_path) << gdb_text(sock);
    bool ok = false;
    {
        Child q, g;
        auto socket_ready = [&] {  // QEMU exits at once when it cannot open it
            struct stat st {};
            while (stat(sock.c_str(), &st) != 0 && !q.exited() && Clock::now() < deadline) usleep(10000);
            return S_ISSOCK(st.st_mode);
        };
        std::vector<std::string> qargs = {qemu, "-M", "netduinoplus2", "-nographic", "-monitor", "none", "-serial", "null",
                                          "-S", "-gdb", "unix:" + sock + ",server=on,wait=off", "-kernel", elf};
        qargs.insert(qargs.end(), qemu_extra.begin(), qemu_extra.end());
        if (!spawn(qargs, log_path.c_str(), &q)) {
            *err = "cannot start qemu-system-arm";
        } else if (!socket_ready()) {
            std::ifstream f(log_path);
            *err = "qemu-system-arm did not open its gdb socket: " + trim(std::string(std::istreambuf_iterator<char>(f), {}));
        } else if (!spawn({gdb, "-batch", "-nx", "-x", cmd_path, elf}, nullptr, &g)) {
            *err = "cannot start gdb-multiarch";
        } else if (!read_until_eof(&g, deadline, transcript, quiet_ms)) {
            *timed_out = true;
            *err = Clock::now() < deadline ? "gdb silent for " + std::to_string(quiet_ms) + " ms"
                                           : "time-out after " + std::to_string(timeout_ms) + " ms";
        } else {
            ok = true;
        }
    }
    unlink(cmd_path.c_str());
    unlink(log_path.c_str());
    unlink(sock.c_str());
    rmdir(dir.c_str());
    return ok;
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
    std::string& err = result->error;
    if (!preflight(script.elf, script.timeout_ms, &err)) return false;
    for (const QemuGdbStep& s : script.steps)  // one line each: no smuggled gdb commands
        if (s.arg.find_first_of("\r\n") != std::string::npos || (s.op == QemuGdbOp::Memory && (s.count == 0 || s.count > 4096)))
            return err = std::string("bad step: ") + kOpNames[static_cast<int>(s.op)] + " " + s.arg, false;
    bool timed_out = false;
    auto text = [&](const std::string& sock) { return command_file(script, sock); };
    if (run_session(script.elf, {}, "cmds.gdb", text, script.timeout_ms, &result->transcript, &err, &timed_out))
        return qemu_gdb_parse(script, result->transcript, result);
    if (timed_out) {
        qemu_gdb_parse(script, result->transcript, result);  // names the step that hung
        err = "time-out after " + std::to_string(script.timeout_ms) + " ms; " + err;
    }
    return false;
}

// --- the batched session ------------------------------------------------------

namespace {

// Runs inside gdb. Python, not a command file, because an error in a command
// file ends the whole file, and a case must be able to fail alone. The guard
// is a thread that, once a command outlives its time, posts `interrupt` to
// gdb's event loop (which runs while the command waits for the target); the
// generation check keeps a late post from touching the next command.
const char* const kDriver = R"PY(
import gdb, threading, time

def out(text):
    gdb.write("\n@@KQG " + text + "\n")
    gdb.flush()

class Guard:
    gen = 0
    def __init__(self, secs):
        self.mine, self.fired, self.done = Guard.gen, False, threading.Event()
        self.thread = threading.Thread(target=self.wait, args=(secs,), daemon=True)
        self.thread.start()
    def wait(self, secs):
        if self.done.wait(secs):
            return
        while True:  # again while the command goes on: an interrupt may meet an internal stop
            gdb.post_event(self.fire)
            if self.done.wait(0.5):
                return
    def fire(self):
        if Guard.gen == self.mine and not self.done.is_set():
            self.fired = True
            try:
                gdb.execute("interrupt", to_string=True)
            except gdb.error:
                pass
    def end(self):
        Guard.gen += 1
        self.done.set()
        self.thread.join()

def run(cmd, secs):
    """(error text or None, whether the guard cut it short)"""
    g, err = Guard(secs), None
    try:
        gdb.execute(cmd, to_string=True)
    except gdb.error as e:
        err = " ".join(str(e).split()) or "error"
    finally:
        g.end()
    return err, g.fired

def pc():
    return int(gdb.parse_and_eval("$pc")) & 0xFFFFFFFE

def reset():
    gdb.execute("monitor system_reset", to_string=True)
    gdb.execute("maint flush register-cache", to_string=True)

def halt_record():
    out("PC 0x%x 0x%x" % (pc(), int(gdb.parse_and_eval("$sp")) & 0xFFFFFFFF))
    try:
        text = gdb.execute("bt", to_string=True)
    except gdb.error as e:
        out("BTERR " + " ".join(str(e).split()))
        return
    out("BT")
    gdb.write(text)
    out("BT END")

)PY";

// The step batch: a scan from reset, then each case from a reset of its own.
const char* const kStepDriver = R"PY(
def scan(addrs):
    """Addresses reached from reset, and whether the scan ran until quiet."""
    gdb.execute("set breakpoint always-inserted on", to_string=True)  # not all of them again at every stop
    bps, wanted = {}, {}  # by where gdb put them: it moves one inside an IT block to the IT
    for a in addrs:
        b = gdb.Breakpoint("*0x%x" % a, internal=True)
        at = b.locations[0].address & 0xFFFFFFFE if b.locations else a
        if at in bps:
            b.delete()
        else:
            bps[at] = b
        wanted.setdefault(at, []).append(a)
    reached, quiet, last, gap = set(), False, time.time(), 0.0
    reset()
    if pc() in bps:  # reached at reset already; continue would step past it
        bps.pop(pc()).delete()
        reached.update(wanted[pc()])
    while bps:
        err, fired = run("continue", SCAN_S)
        here = pc()
        if err or here not in bps:
            quiet = fired and not err
            break
        bps.pop(here).delete()
        reached.update(wanted[here])  # a moved one: the case reports it
        gap, last = max(gap, time.time() - last), time.time()
    for b in bps.values():
        b.delete()
    gdb.execute("set breakpoint always-inserted off", to_string=True)
    return reached, quiet or not bps, gap

def case(i, addr, op, reached, quiet):
    out("CASE %d" % i)
    if quiet and addr not in reached:
        out("MISS not reached in the scan")
        return
    reset()
    gdb.execute("delete", to_string=True)
    err, fired, here = None, False, pc()
    if here != addr:  # else reached at reset already; continue would step past it
        b = gdb.Breakpoint("*0x%x" % addr, temporary=True)
        at = b.locations[0].address & 0xFFFFFFFE if b.locations else addr
        if at != addr:
            b.delete()
            out("MISS gdb moved the breakpoint to 0x%x (out of an IT block)" % at)
            return
        err, fired = run("continue", REACH_S)
        here = pc()
    if err or here != addr:
        gdb.execute("delete", to_string=True)
        out("MISS %s at 0x%x" % (err or ("guard" if fired else "halted"), here))
        return
    halt_record()
    err, fired = run(op, OP_S)
    out("ERROR " + err if err else "TIMEOUT" if fired else "DONE")
    halt_record()

try:
    for c in ("set pagination off", "set confirm off", "set width 0", "set height 0",
              "set print frame-arguments presence", "set suppress-cli-notifications on",
              "set breakpoint pending off", "target remote " + SOCK):
        gdb.execute(c, to_string=True)
    if PRESCAN is None:
        reached, quiet, gap = scan(sorted(set(a for a, _ in CASES)))
    else:
        reached, quiet, gap = set(PRESCAN[0]), PRESCAN[1], 0.0
    out("SCAN %d %d %d" % (len(reached), 1 if quiet else 0, int(gap * 1000)))
    out("REACHED " + " ".join("0x%x" % a for a in sorted(reached)))
    for i, (addr, op) in enumerate(CASES):
        case(FIRST + i, addr, op, reached, quiet)
except BaseException as e:
    out("FATAL " + " ".join(repr(e).split()))
out("END")
)PY";

const char* const kLineOpNames[] = {"next", "step", "finish"};

// The session for cases first.. on; a session after one that hung takes the
// first one's scan (prescan) instead of scanning again.
struct Scan {
    std::vector<uint32_t> reached;
    bool quiet = false, read = false;
};

std::string driver_file(const QemuGdbBatch& b, size_t first, const Scan* prescan, const std::string& sock) {
    std::ostringstream f;
    f << "SOCK = '" << sock << "'\nSCAN_S = " << b.scan_quiet_ms / 1000.0 << "\nREACH_S = " << b.reach_ms / 1000.0
      << "\nOP_S = " << b.op_ms / 1000.0 << "\nFIRST = " << first << "\nPRESCAN = " << std::hex;
    if (prescan) {
        f << "([";
        for (uint32_t a : prescan->reached) f << "0x" << a << ",";
        f << "], " << (prescan->quiet ? "True" : "False") << ")";
    } else {
        f << "None";
    }
    f << "\nCASES = [\n";
    for (size_t i = first; i < b.cases.size(); ++i)
        f << "(0x" << b.cases[i].addr << ", '" << kLineOpNames[static_cast<int>(b.cases[i].op)] << "'),\n";
    f << "]\n" << std::dec << kDriver << kStepDriver;
    return f.str();
}

bool parse_hex(const std::string& s, uint32_t* v) { return s.rfind("0x", 0) == 0 && parse_u32(s, v); }

// Reads "@@KQG PC" and its bt block (or BTERR) from lines[*i] on.
bool read_halt(const std::vector<std::string>& lines, size_t* i, QemuGdbHalt* h, std::string* err) {
    const std::string bt = "@@KQG BT", end = "@@KQG BT END", bterr = "@@KQG BTERR ";
    char pc[16] = {}, sp[16] = {}, more = 0;
    if (*i >= lines.size() || std::sscanf(lines[*i].c_str(), "@@KQG PC %15s %15s %c", pc, sp, &more) != 2 ||
        !parse_hex(pc, &h->pc) || !parse_hex(sp, &h->sp))
        return *err = "no pc and sp", false;
    for (++*i; *i < lines.size() && lines[*i].rfind("@@KQG ", 0) != 0; ++*i) {
    }
    if (*i < lines.size() && lines[*i].rfind(bterr, 0) == 0) return h->bt_error = lines[(*i)++].substr(bterr.size()), true;
    if (*i >= lines.size() || lines[*i] != bt) return *err = "no bt", false;
    std::string text;
    for (++*i; *i < lines.size() && lines[*i] != end; ++*i) text += lines[*i] + "\n";
    if (*i >= lines.size()) return *err = "bt not ended", false;
    ++*i;
    return qemu_gdb_parse_bt(text, &h->frames, err);
}

// The function name and what follows its argument list, from "NAME (ARGS) REST".
bool split_call(const std::string& s, std::string* func, std::string* rest) {
    size_t open = s.find(" (");
    if (open == std::string::npos || open == 0) return false;
    int depth = 0;
    for (size_t k = open + 1; k < s.size(); ++k) {
        depth += s[k] == '(' ? 1 : s[k] == ')' ? -1 : 0;
        if (depth == 0) {
            *func = s.substr(0, open);
            *rest = s.substr(k + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

bool qemu_gdb_parse_bt(const std::string& text, std::vector<QemuGdbFrame>* frames, std::string* error) {
    frames->clear();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '#') continue;  // "Backtrace stopped: ...", warnings
        auto bad = [&](const char* why) { return *error = std::string(why) + ": " + line, false; };
        QemuGdbFrame f;
        size_t k = 1;
        while (k < line.size() && isdigit(static_cast<unsigned char>(line[k]))) f.level = f.level * 10 + (line[k++] - '0');
        if (k == 1 || f.level != static_cast<int>(frames->size())) return bad("frame level out of order");
        std::string s = trim(line.substr(k));
        if (s == "<signal handler called>") {
            f.func = s, f.exception = true;
            frames->push_back(f);
            continue;
        }
        if (s.rfind("0x", 0) == 0) {
            size_t in_at = s.find(" in ");
            if (in_at == std::string::npos || !parse_hex(s.substr(0, in_at), &f.pc)) return bad("bad frame address");
            s = s.substr(in_at + 4);
        }
        std::string rest;
        if (!split_call(s, &f.func, &rest)) return bad("no function");
        rest = trim(rest);
        if (rest.rfind("at ", 0) == 0) {
            size_t colon = rest.rfind(':');
            uint32_t line_nr = 0;
            if (colon == std::string::npos || colon <= 3 || !parse_u32(rest.substr(colon + 1), &line_nr) || !line_nr)
                return bad("bad source position");
            f.file = rest.substr(3, colon - 3), f.line = line_nr;
        } else if (!rest.empty() && rest.rfind("from ", 0) != 0) {
            return bad("unexpected text after the function");
        }
        frames->push_back(f);
    }
    return true;
}

namespace {

// Reads a session's output for cases first..case_count-1 into r->cases (appended).
bool parse_session(const std::string& out, size_t first, size_t case_count, QemuGdbBatchResult* r, Scan* scan) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    size_t i = 0;
    auto skip_to = [&](const std::string& prefix) {
        while (i < lines.size() && lines[i].rfind(prefix, 0) != 0 && lines[i].rfind("@@KQG FATAL", 0) != 0) ++i;
        return i < lines.size() && lines[i].rfind(prefix, 0) == 0;
    };
    auto fatal = [&](const std::string& where) {
        std::string why = i < lines.size() ? lines[i] : "output ended";
        return r->error = where + ": " + why, false;
    };
    unsigned reached = 0, quiet = 0, gap = 0;
    if (!skip_to("@@KQG SCAN ") || std::sscanf(lines[i].c_str(), "@@KQG SCAN %u %u %u", &reached, &quiet, &gap) != 3)
        return fatal("no scan");
    r->scan_reached = reached, r->scan_longest_gap_ms = std::max(r->scan_longest_gap_ms, static_cast<int>(gap));
    if (scan) {
        scan->quiet = quiet != 0;
        scan->reached.clear();
        if (!skip_to("@@KQG REACHED")) return fatal("no scan");
        std::istringstream in(lines[i].substr(13));
        for (std::string tok; in >> tok;)
            if (uint32_t a = 0; parse_hex(tok, &a)) scan->reached.push_back(a);
        if (scan->reached.size() != reached) return fatal("bad scan");
        scan->read = true;
    }
    for (size_t c = first; c < case_count; ++c) {
        std::string where = "case " + std::to_string(c);
        if (!skip_to("@@KQG CASE ") || lines[i] != "@@KQG CASE " + std::to_string(c)) return fatal(where);
        QemuGdbCaseResult res;
        std::string err;
        ++i;
        skip_to("@@KQG ");
        if (i < lines.size() && lines[i].rfind("@@KQG MISS ", 0) == 0) {
            res.note = lines[i++].substr(11);
            r->cases.push_back(res);
            continue;
        }
        if (!read_halt(lines, &i, &res.at, &err)) return r->error = where + ": at the breakpoint: " + err, false;
        if (!skip_to("@@KQG ")) return fatal(where);
        const std::string& o = lines[i];
        if (o == "@@KQG DONE") res.outcome = QemuGdbOutcome::Done;
        else if (o == "@@KQG TIMEOUT") res.outcome = QemuGdbOutcome::OpTimedOut;
        else if (o.rfind("@@KQG ERROR ", 0) == 0) res.outcome = QemuGdbOutcome::OpFailed, res.note = o.substr(12);
        else return fatal(where + ": no outcome");
        ++i;
        skip_to("@@KQG ");
        if (!read_halt(lines, &i, &res.after, &err)) return r->error = where + ": after the command: " + err, false;
        r->cases.push_back(res);
    }
    if (!skip_to("@@KQG END")) return fatal("no end");
    return true;
}

}  // namespace

bool qemu_gdb_parse_batch(const std::string& out, size_t case_count, QemuGdbBatchResult* r) {
    r->cases.clear();
    r->scan_reached = 0, r->scan_longest_gap_ms = 0;
    return parse_session(out, 0, case_count, r, nullptr);
}

bool qemu_gdb_batch(const QemuGdbBatch& b, QemuGdbBatchResult* result) {
    *result = QemuGdbBatchResult{};
    std::string& err = result->error;
    if (!preflight(b.elf, b.timeout_ms, &err)) return false;
    if (b.scan_quiet_ms <= 0 || b.reach_ms <= 0 || b.op_ms <= 0) return err = "guards must be positive", false;
    std::vector<std::string> qemu_extra;
    if (b.icount_shift >= 0) qemu_extra = {"-icount", "shift=" + std::to_string(b.icount_shift) + ",sleep=off"};
    // A case silent for this long hung gdb or QEMU (every guard has long passed):
    // it is recorded as Hung and a new session goes on with the next one.
    const int quiet_ms = b.scan_quiet_ms + b.reach_ms + b.op_ms + 20000;
    auto deadline = Clock::now() + std::chrono::milliseconds(b.timeout_ms);
    Scan scan;
    while (result->cases.size() < b.cases.size()) {
        size_t first = result->cases.size();
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return err = "time-out after " + std::to_string(b.timeout_ms) + " ms at case " + std::to_string(first), false;
        bool timed_out = false, had_scan = scan.read;
        std::string out, session_err;
        auto text = [&](const std::string& sock) { return driver_file(b, first, had_scan ? &scan : nullptr, sock); };
        bool ran = run_session(b.elf, qemu_extra, "driver.py", text, left, &out, &session_err, &timed_out, quiet_ms);
        result->transcript += out;
        bool parsed = parse_session(out, first, b.cases.size(), result, had_scan ? nullptr : &scan);
        if (ran && parsed) return err.clear(), true;
        if (!timed_out || !scan.read)  // not a hang within a case: give up
            return err = (ran ? "" : session_err + "; ") + err, false;
        err.clear();
        QemuGdbCaseResult hung;
        hung.outcome = QemuGdbOutcome::Hung;
        hung.note = session_err;
        result->cases.push_back(hung);
    }
    return true;
}

// --- the variable session -----------------------------------------------------

namespace {

// After the shared prelude: one run with all breakpoints, each stop recorded.
const char* const kVarDriver = R"PY(
import re

NAME = re.compile(r"^([A-Za-z_$][\w$]*) = ", re.M)

def text_block(tag, cmd):
    try:
        t = gdb.execute(cmd, to_string=True)
    except gdb.error as e:
        out(tag + " ERR " + " ".join(str(e).split()))
        return ""
    out(tag)
    gdb.write(t)
    return t

def hexmem(addr, n):
    try:
        return bytes(gdb.selected_inferior().read_memory(addr, n)).hex()
    except Exception:
        return None

def var(kind, name):
    out("VAR %s %s" % (kind, name))
    try:
        t = gdb.execute("print " + name, to_string=True)
    except gdb.error as e:
        out("PERR " + " ".join(str(e).split()))
        return
    out("PRINT")
    gdb.write(t)
    at = "none"
    try:
        v = gdb.parse_and_eval(name)
        if not v.is_optimized_out and v.address is not None:
            h = hexmem(int(v.address), min(v.type.sizeof, 64))
            if h is not None:
                at = "0x%x %s" % (int(v.address), h)
    except gdb.error:
        pass
    out("AT " + at)

def record(n, first):
    here = pc()
    out("STOP %d 0x%x" % (n, here))
    text_block("FRAME", "info frame")
    text_block("REGS", "info registers")
    text_block("FREGS", "info registers " + " ".join("s%d" % i for i in range(32)))
    seen = set()
    for tag, cmd in (("ARGS", "info args"), ("LOCALS", "info locals")):
        for name in NAME.findall(text_block(tag, cmd)):
            if name not in seen:
                seen.add(name)
                var("a" if tag == "ARGS" else "l", name)
    reads = list(READS.get(here, []))
    if first:
        for name in GLOBALS:
            var("g", name)
        reads += GLOBAL_READS
    for a, k in reads:
        out("MEM 0x%x %s" % (a, hexmem(a, k) or "-"))
    # From below SP (at a function's entry its locals lie under it) up; fewer
    # bytes where memory ends above SP.
    sp, w = (int(gdb.parse_and_eval("$sp")) & 0xFFFFFFFF) - 256, WINDOW + 256
    while w >= 16:
        h = hexmem(sp, w)
        if h is not None:
            out("MEM 0x%x %s" % (sp, h))
            break
        w //= 2
    out("STOP END")

try:
    for c in ("set pagination off", "set confirm off", "set width 0", "set height 0", "set print pretty off",
              "set suppress-cli-notifications on", "set breakpoint pending off", "target remote " + SOCK,
              "set breakpoint always-inserted on"):
        gdb.execute(c, to_string=True)
    bps, hits = {}, {}
    for a in BREAKS:  # by where gdb put them: it moves one inside an IT block to the IT
        b = gdb.Breakpoint("*0x%x" % a, internal=True)
        at = b.locations[0].address & 0xFFFFFFFE if b.locations else a
        if at in bps:
            b.delete()
        else:
            bps[at], hits[at] = b, 0
    n, why = 0, "all hit"
    while bps and n < MAX_STOPS:
        err, fired = run("continue", QUIET_S)
        here = pc()
        if err or here not in bps:
            why = "quiet" if fired and not err else "stopped at 0x%x: %s" % (here, err or "not a breakpoint")
            break
        record(n, n == 0)
        n += 1
        hits[here] += 1
        if hits[here] >= HITS:
            bps.pop(here).delete()
    out("DONE %d %s" % (n, why))
except BaseException as e:
    out("FATAL " + " ".join(repr(e).split()))
out("END")
)PY";

std::string py_str(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return r + "'";
}

std::string var_driver_file(const QemuGdbVarSession& v, const std::string& sock) {
    std::ostringstream f;
    f << "SOCK = " << py_str(sock) << "\nQUIET_S = " << v.quiet_ms / 1000.0 << "\nHITS = " << v.hits
      << "\nMAX_STOPS = " << v.max_stops << "\nWINDOW = " << v.stack_window << "\nGLOBALS = [";
    for (const std::string& g : v.globals) f << py_str(g) << ",";
    f << "]\n" << std::hex << "BREAKS = [";
    for (uint32_t a : v.breaks) f << "0x" << a << ",";
    f << "]\nGLOBAL_READS = [";
    for (auto& [a, n] : v.global_reads) f << "(0x" << a << ",0x" << n << "),";
    f << "]\nREADS = {";
    for (auto& [pc, list] : v.reads) {
        f << "0x" << pc << ":[";
        for (auto& [a, n] : list) f << "(0x" << a << ",0x" << n << "),";
        f << "],";
    }
    f << "}\n" << std::dec << kDriver << kVarDriver;
    return f.str();
}

bool parse_hex_bytes(const std::string& h, std::vector<uint8_t>* out) {
    if (h.size() % 2) return false;
    for (size_t i = 0; i < h.size(); i += 2) {
        uint32_t b = 0;
        if (!parse_u32("0x" + h.substr(i, 2), &b)) return false;
        out->push_back(static_cast<uint8_t>(b));
    }
    return true;
}

// "NAME = VALUE" lines of info args / info locals ("No locals." gives none).
std::vector<QemuGdbEntry> parse_entries(const std::string& text) {
    std::vector<QemuGdbEntry> r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find(" = ");
        if (eq == std::string::npos || eq == 0 || line.find_first_of(" \t") < eq) continue;
        r.push_back({line.substr(0, eq), trim(line.substr(eq + 3))});
    }
    return r;
}

// "(raw 0x...)" of `info registers s0 ... s31`.
bool parse_fregs(const std::string& text, uint32_t s[32]) {
    unsigned seen = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        unsigned k = 0;
        size_t raw = line.find("(raw 0x");
        uint32_t v = 0;
        if (std::sscanf(line.c_str(), "s%u ", &k) != 1 || k > 31 || raw == std::string::npos ||
            !parse_u32(line.substr(raw + 5, line.find(')', raw) - raw - 5), &v))
            continue;
        s[k] = v, seen |= 1u << k;
    }
    return seen == 0xFFFFFFFFu;
}

}  // namespace

bool QemuGdbVarStop::read(uint32_t addr, uint32_t n, std::vector<uint8_t>* out) const {
    for (const QemuGdbMemBlock& b : memory)
        if (addr >= b.addr && uint64_t(addr - b.addr) + n <= b.bytes.size()) {
            out->assign(b.bytes.begin() + (addr - b.addr), b.bytes.begin() + (addr - b.addr) + n);
            return true;
        }
    return false;
}

bool qemu_gdb_parse_variables(const std::string& out, QemuGdbVarResult* r) {
    r->stops.clear();
    r->quiet = false;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    const std::string m = "@@KQG ";
    size_t i = 0;
    // The text up to the next marker line.
    auto body = [&]() {
        std::string t;
        for (; i < lines.size() && lines[i].rfind(m, 0) != 0; ++i) t += lines[i] + "\n";
        return t;
    };
    auto bad = [&](const std::string& why) {
        return r->error = why + " at output line " + std::to_string(i + 1) + ": " + (i < lines.size() ? lines[i] : "(end)"), false;
    };
    for (body(); i < lines.size(); body()) {
        std::string l = lines[i++].substr(m.size());
        if (l == "END") return true;
        if (l.rfind("FATAL ", 0) == 0) return --i, bad("gdb's driver failed");
        if (l.rfind("DONE ", 0) == 0) {
            r->quiet = l.find(" quiet") != std::string::npos;
            body();
            continue;
        }
        if (l.rfind("STOP ", 0) != 0) return --i, bad("unexpected line");
        QemuGdbVarStop st;
        char pc[16] = {};
        unsigned nr = 0;
        if (std::sscanf(l.c_str(), "STOP %u %15s", &nr, pc) != 2 || nr != r->stops.size() || !parse_hex(pc, &st.pc))
            return --i, bad("bad stop");
        for (;;) {
            body();
            if (i >= lines.size()) return bad("stop not ended");
            std::string t = lines[i++].substr(m.size());
            if (t == "STOP END") break;
            std::string text = body();
            if (t == "FRAME") {
                size_t at = text.find("frame at 0x");
                st.has_cfa = at != std::string::npos && parse_hex(text.substr(at + 9, text.find(':', at) - at - 9), &st.cfa);
                size_t in_at = text.find(" in ");
                if (in_at != std::string::npos) st.func = text.substr(in_at + 4, text.find(" (", in_at + 4) - in_at - 4);
            } else if (t == "REGS") {
                st.has_regs = parse_regs(text, &st.regs);
            } else if (t == "FREGS") {
                st.has_fregs = parse_fregs(text, st.s);
            } else if (t == "ARGS") {
                st.args = parse_entries(text);
            } else if (t == "LOCALS") {
                st.locals = parse_entries(text);
            } else if (t.rfind("VAR ", 0) == 0 && t.size() > 6) {
                QemuGdbVar v;
                v.kind = t[4], v.name = t.substr(6);
                body();
                if (i < lines.size() && lines[i].rfind(m + "PERR ", 0) == 0) {
                    v.error = lines[i++].substr(m.size() + 5);
                    if (v.error.empty()) v.error = "error";
                } else {
                    if (i >= lines.size() || lines[i++] != m + "PRINT") return --i, bad("no print for " + v.name);
                    if (!value_of("\n" + body(), &v.print)) return bad("unreadable print of " + v.name);
                    if (i >= lines.size() || lines[i].rfind(m + "AT ", 0) != 0) return bad("no location of " + v.name);
                    std::string at = lines[i++].substr(m.size() + 3);
                    if (at != "none") {
                        std::istringstream ws(at);
                        std::string a, hex;
                        if (!(ws >> a >> hex) || !parse_hex(a, &v.addr) || !parse_hex_bytes(hex, &v.bytes))
                            return --i, bad("bad location of " + v.name);
                        v.in_memory = true;
                    }
                }
                st.vars.push_back(v);
            } else if (t.rfind("MEM ", 0) == 0) {
                QemuGdbMemBlock b;
                size_t sp = t.find(' ', 4);
                std::string h = sp == std::string::npos ? "" : t.substr(sp + 1);
                if (sp == std::string::npos || !parse_hex(t.substr(4, sp - 4), &b.addr) ||
                    (h != "-" && !parse_hex_bytes(h, &b.bytes)))
                    return --i, bad("bad memory");
                st.memory.push_back(b);
            } else if (t.find(" ERR ") == std::string::npos) {
                return --i, bad("unexpected record");
            }
        }
        r->stops.push_back(std::move(st));
    }
    return bad("output ended before END");
}

bool qemu_gdb_variables(const QemuGdbVarSession& v, QemuGdbVarResult* result) {
    *result = QemuGdbVarResult{};
    std::string& err = result->error;
    if (!preflight(v.elf, v.timeout_ms, &err)) return false;
    if (v.quiet_ms <= 0 || v.hits == 0 || v.max_stops == 0) return err = "guards and counts must be positive", false;
    for (const std::string& g : v.globals)  // one name each: nothing else reaches gdb's command line
        if (g.empty() || g.find_first_of("\r\n;") != std::string::npos) return err = "bad global name: " + g, false;
    std::vector<std::string> qemu_extra;
    if (v.icount_shift >= 0) qemu_extra = {"-icount", "shift=" + std::to_string(v.icount_shift) + ",sleep=off"};
    bool timed_out = false;
    auto text = [&](const std::string& sock) { return var_driver_file(v, sock); };
    // Silence longer than the quiet guard plus room for a starved QEMU is a hang.
    bool ran = run_session(v.elf, qemu_extra, "vars.py", text, v.timeout_ms, &result->transcript, &err, &timed_out,
                           v.quiet_ms + 20000);
    std::string why = err;
    bool parsed = qemu_gdb_parse_variables(result->transcript, result);
    if (ran && parsed) return err.clear(), true;
    if (!ran) err = why + (parsed ? "" : "; " + err);
    return false;
}

std::vector<std::string> qemu_gdb_parse_info_variables(const std::string& text) {
    std::vector<std::string> names;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t semi = line.rfind(';'), tab = line.find('\t');
        if (semi == std::string::npos || tab == std::string::npos) continue;  // headers, "File x:" lines
        std::string d = trim(line.substr(tab + 1, semi - tab - 1));
        if (size_t fp = d.find("(*"); fp != std::string::npos) {  // pointer to function or array
            size_t close = d.find(')', fp);
            if (close != std::string::npos) names.push_back(d.substr(fp + 2, close - fp - 2));
            continue;
        }
        while (!d.empty() && d.back() == ']') d.erase(d.rfind('['));
        int depth = 0;  // the name starts after the last space or '*' / '&' outside template brackets
        size_t start = 0;
        for (size_t k = 0; k < d.size(); ++k) {
            depth += d[k] == '<' ? 1 : d[k] == '>' ? -1 : 0;
            if (depth == 0 && (d[k] == ' ' || d[k] == '*' || d[k] == '&')) start = k + 1;
        }
        if (start < d.size()) names.push_back(d.substr(start));
    }
    return names;
}
