# Runs inside gdb-multiarch, after a file that sets MODE, the mode's inputs,
# SILENT_S and ICOUNT (tests/sim/qemu_gdb.cpp writes it): starts QEMU halted
# at reset, drives it, and answers in lines "@@KQG TAG<TAB>field...", so the
# C++ side needs one reader only. Python rather than a command file: an error
# in a command file ends the whole file, and here a case must be able to fail alone.
import ctypes, gdb, os, re, shutil, signal, subprocess, tempfile, threading, time


def one_line(s):
    return " ".join(str(s).split())


last_out = [time.time()]


def out(*fields):
    gdb.write("\n@@KQG " + "\t".join(one_line(f) for f in fields) + "\n")
    gdb.flush()
    last_out[0] = time.time()


def hx(v):
    return "0x%x" % v


class Guard:
    """Once a command outlives its time, posts `interrupt` to gdb's event loop
    (which runs while the command waits for the target); the generation check
    keeps a late post from touching the next command."""
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
        last_out[0] = time.time()  # gdb answered: not silent
        Guard.gen += 1
        self.done.set()
        self.thread.join()


def run(cmd, secs):
    """(error text or None, whether the guard cut it short)"""
    g, err = Guard(secs), None
    try:
        gdb.execute(cmd, to_string=True)
    except gdb.error as e:
        err = one_line(e) or "error"
    finally:
        g.end()
    return err, g.fired


def val(expr):
    return int(gdb.parse_and_eval(expr)) & 0xFFFFFFFF


def pc():
    return val("$pc") & ~1


REGS = ["r%d" % i for i in range(13)] + ["sp", "lr", "pc", "xpsr"]


def reset():
    gdb.execute("monitor system_reset", to_string=True)
    gdb.execute("maint flush register-cache", to_string=True)


def breakpoint_at(addr, **kw):
    """A breakpoint and where gdb put it: it moves one inside an IT block to the IT."""
    b = gdb.Breakpoint("*" + hx(addr), **kw)
    return b, (b.locations[0].address & ~1 if b.locations else addr)


def halt_record():
    """HALT pc sp, then gdb's backtrace as FRAME level pc exception func file line."""
    out("HALT", hx(pc()), hx(val("$sp")))
    try:
        f, n = gdb.newest_frame(), 0
    except gdb.error as e:
        return out("BTERR", e)
    while f is not None and n < 64:
        if f.type() == gdb.SIGTRAMP_FRAME:
            out("FRAME", n, hx(f.pc()), 1, "<signal handler called>", "", 0)
        else:
            sal = f.find_sal()
            out("FRAME", n, hx(f.pc()), 0, f.name() or "??", sal.symtab.filename if sal.symtab else "", sal.line)
        try:
            f, n = f.older(), n + 1
        except gdb.error:  # "Backtrace stopped": the frames so far stand
            break


# --- ops: one list of actions, answers by label ------------------------------

def control():
    """QEMU does not give gdb CONTROL: MRS r0, CONTROL (F3EF 8014) is run from
    unused RAM instead, and r0 and pc are put back."""
    r0, old = val("$r0"), pc()
    gdb.execute("set var *(unsigned int *)0x2001f000 = 0x8014f3ef")
    gdb.execute("set var $pc = 0x2001f000")
    gdb.execute("stepi", to_string=True)
    if pc() != 0x2001F004:
        raise gdb.GdbError("the CONTROL probe did not run: pc " + hx(pc()))
    v = val("$r0") & 7
    gdb.execute("set var $r0 = %d" % r0)
    gdb.execute("set var $pc = %d" % old)
    return [v]


def mem(expr, count):
    a = val(expr)
    b = bytes(gdb.selected_inferior().read_memory(a, 4 * count))
    return [int.from_bytes(b[i:i + 4], "little") for i in range(0, len(b), 4)]


def step(cmd):
    err, fired = run(cmd, OP_S)
    if err or fired:
        raise gdb.GdbError(err or "%s did not end within %s s" % (cmd, OP_S))
    return [pc()]


OPS_RUN = {
    "break": lambda a, n: gdb.execute("break " + a, to_string=True),
    "delete": lambda a, n: gdb.execute("delete", to_string=True),
    "set": lambda a, n: gdb.execute("set var " + a, to_string=True),
    "continue": lambda a, n: step("continue"),
    "stepi": lambda a, n: step("stepi"),
    "regs": lambda a, n: [val("$" + r) for r in REGS],
    "mem": mem,
    "control": lambda a, n: control(),
}


def ops():
    for i, (op, arg, count, label) in enumerate(OPS):
        try:
            words = OPS_RUN[op](arg, count)
        except gdb.error as e:
            return out("FATAL", "op %d (%s %s): %s" % (i, op, arg, one_line(e)))
        if label:
            out("REC", label, *[hx(w) for w in words])


# --- scan and steps: the lines reached, then each case from a reset ----------

def scan():
    """SCAN longest-wait-ms addr...: the ADDRS reached from reset, until SCAN_S pass without a new one."""
    gdb.execute("set breakpoint always-inserted on", to_string=True)  # not all of them again at every stop
    bps, wanted = {}, {}
    for a in sorted(set(ADDRS)):
        b, at = breakpoint_at(a, internal=True)
        if at in bps:
            b.delete()
        else:
            bps[at] = b
        wanted.setdefault(at, []).append(a)
    reached, last, gap = set(), time.time(), 0.0
    reset()
    if pc() in bps:  # reached at reset already; continue would step past it
        reached.update(wanted[pc()])
        bps.pop(pc()).delete()
    while bps:
        err, fired = run("continue", SCAN_S)
        here = pc()
        if err or here not in bps:
            if not fired or err:
                raise gdb.GdbError("the scan stopped at %s: %s" % (hx(here), err or "not a breakpoint"))
            break
        bps.pop(here).delete()
        reached.update(wanted[here])  # a moved one: its case reports it
        gap, last = max(gap, time.time() - last), time.time()
    out("SCAN", int(gap * 1000), *[hx(a) for a in sorted(reached)])


def steps():
    """Each case from a reset: run to addr, one command."""
    for i, (addr, op) in enumerate(CASES):
        out("CASE", FIRST + i)
        reset()
        gdb.execute("delete", to_string=True)
        err, fired, here = None, False, pc()
        if here != addr:  # else reached at reset already; continue would step past it
            b, at = breakpoint_at(addr, temporary=True)
            if at != addr:
                b.delete()
                out("MISS", "gdb moved the breakpoint to %s (out of an IT block)" % hx(at))
                continue
            err, fired = run("continue", REACH_S)
            here = pc()
        if err or here != addr:
            gdb.execute("delete", to_string=True)
            out("MISS", "%s at %s" % (err or ("guard" if fired else "halted"), hx(here)))
            continue
        halt_record()
        err, fired = run(op, OP_S)
        out("OUTCOME", "ERROR" if err else "TIMEOUT" if fired else "DONE", err or "")
        halt_record()


# --- variables: one run with all breakpoints, each stop recorded ---------------

NAME = re.compile(r"^([A-Za-z_$][\w$]*) = (.*)$", re.M)


def text_of(cmd):
    try:
        return gdb.execute(cmd, to_string=True)
    except gdb.error:
        return ""


def hexmem(addr, n):
    try:
        return bytes(gdb.selected_inferior().read_memory(addr, n)).hex()
    except Exception:
        return None


def var(kind, name):
    """VAR kind name print error address: print's text, and where gdb reads it from memory."""
    try:
        text = gdb.execute("print " + name, to_string=True)
    except gdb.error as e:
        return out("VAR", kind, name, "", one_line(e) or "error", "")
    at = ""
    try:
        v = gdb.parse_and_eval(name)
        if not v.is_optimized_out and v.address is not None and hexmem(int(v.address), 1):
            at = hx(int(v.address))
    except gdb.error:
        pass
    out("VAR", kind, name, re.sub(r"^\$\d+ = ", "", text.strip()), "", at)


def record(n, first):
    here = pc()
    out("STOP", n, hx(here))
    cfa = re.search(r"frame at (0x[0-9a-f]+)", text_of("info frame"))
    out("CFA", cfa.group(1) if cfa else "")
    out("REGS", *[hx(val("$" + r)) for r in REGS])
    raw = dict(re.findall(r"^s(\d+)\s.*\(raw (0x[0-9a-f]+)\)", text_of("info registers " + " ".join(
        "s%d" % i for i in range(32))), re.M))
    if len(raw) == 32:
        out("FREGS", *[raw[str(i)] for i in range(32)])
    seen = set()  # gdb lists a shadowed name once per block, innermost first; printed once
    for kind, cmd in (("a", "info args"), ("l", "info locals")):
        entries = NAME.findall(text_of(cmd))
        for name, value in entries:
            out("ENTRY", kind, name, value)
        for name, _ in entries:
            if name not in seen:
                seen.add(name)
                var(kind, name)
    reads = list(READS.get(here, []))
    if first:
        for name in GLOBALS:
            var("g", name)
        reads += GLOBAL_READS
    for a, k in reads:
        out("MEM", hx(a), hexmem(a, k) or "")
    # From below SP (at a function's entry its locals lie under it) up; fewer
    # bytes where memory ends above SP.
    sp, w = val("$sp") - 256, WINDOW + 256
    while w >= 16:
        h = hexmem(sp, w)
        if h is not None:
            out("MEM", hx(sp), h)
            break
        w //= 2


def variables():
    gdb.execute("set breakpoint always-inserted on", to_string=True)
    bps, hits = {}, {}
    for a in BREAKS:
        b, at = breakpoint_at(a, internal=True)
        if at in bps:
            b.delete()
        else:
            bps[at], hits[at] = b, 0
    n, why = 0, "all hit"
    while bps and n < MAX_STOPS:
        err, fired = run("continue", QUIET_S)
        here = pc()
        if err or here not in bps:
            why = "quiet" if fired and not err else "stopped at %s: %s" % (hx(here), err or "not a breakpoint")
            break
        record(n, n == 0)
        n += 1
        hits[here] += 1
        if hits[here] >= HITS:
            bps.pop(here).delete()
    out("DONE", why)


# --- names: the variables gdb lists for the image, without QEMU ----------------

def names():
    """Each name of `info variables -n` (file-level and static variables with
    debug information) as gdb writes it: "int *p[4];" gives p, "void (*f)(void);" f."""
    for line in gdb.execute("info variables -n", to_string=True).splitlines():
        if "\t" not in line or ";" not in line:
            continue  # headers, "File x:" lines
        d = line[line.index("\t") + 1:line.rindex(";")].strip()
        m = re.search(r"\(\*+([^)]*)\)", d)  # pointer to function or array
        d = m.group(1) if m else re.sub(r"(\[[^]]*\])+$", "", d)
        depth, start = 0, 0  # the name starts after the last space or '*' / '&' outside template brackets
        for k, c in enumerate(d):
            depth += {"<": 1, ">": -1}.get(c, 0)
            if depth == 0 and c in " *&":
                start = k + 1
        if d[start:]:
            out("NAME", d[start:])


def watchdog(qemu):
    """Silence for QUIET_S means gdb or QEMU stopped answering: both end, and
    the reader sees the output stop where it stopped."""
    while qemu.poll() is None:
        time.sleep(0.5)
        if time.time() - last_out[0] > SILENT_S:
            gdb.write("\n@@KQG HUNG\tno answer for %d s\n" % SILENT_S)
            gdb.flush()
            qemu.kill()
            qemu.wait()
            os._exit(3)


def session():
    # QEMU's gdb socket in a folder of our own: no port to pick, no race with other sessions.
    folder = tempfile.mkdtemp(prefix="korvane-qemu-")
    sock = os.path.join(folder, "gdb.sock")
    qemu = subprocess.Popen(["qemu-system-arm", "-M", "netduinoplus2", "-nographic", "-monitor", "none", "-serial", "null",
                             "-S", "-gdb", "unix:%s,server=on,wait=off" % sock, "-kernel", gdb.current_progspace().filename]
                            # SysTick then counts the instructions run, so each case sees the same ticks.
                            + (["-icount", "shift=3,sleep=off"] if ICOUNT else []),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            # QEMU ends with gdb, however gdb ends (PR_SET_PDEATHSIG).
                            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
    try:
        while not os.path.exists(sock) and qemu.poll() is None:
            time.sleep(0.01)
        if qemu.poll() is not None:
            raise RuntimeError("qemu-system-arm ended: " + qemu.stderr.read().decode(errors="replace"))
        threading.Thread(target=watchdog, args=(qemu,), daemon=True).start()
        for c in ("set pagination off", "set confirm off", "set width 0", "set height 0", "set print pretty off",
                  "set print frame-arguments presence", "set suppress-cli-notifications on",
                  "set breakpoint pending off", "target remote " + sock):
            gdb.execute(c, to_string=True)
        {"ops": ops, "scan": scan, "steps": steps, "variables": variables}[MODE]()
        out("END")
    except BaseException as e:
        out("FATAL", repr(e))
    finally:
        qemu.kill()
        qemu.wait()
        shutil.rmtree(folder, ignore_errors=True)


if MODE == "names":
    names()
    out("END")
else:
    session()
