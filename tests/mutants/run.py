#!/usr/bin/env python3
"""Puts each fault of mutants.txt into the product code in turn, builds the one
test program that should notice, runs it and puts the code back.

CAUGHT: a test failed, crashed or timed out. MISSED: every test passed.
BUILD-FAIL: the fault does not compile (mend its entry). STALE: its old text
is not in the file exactly once (the code moved on: mend its entry).

  tests/mutants/run.py --build build [--suite probe_tests] [--out before.md]
"""
import argparse, os, re, signal, subprocess, sys, time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
KINDS = {"boundary", "bit", "skipped-check", "lost-error", "oracle-field", "other"}
KEYS = ("suite", "file", "old", "new", "kind", "why")


def parse(path):
    """Blocks separated by blank lines; 'key: value', or 'key:' followed by
    lines starting with '| ' for text that spans lines. '#' lines are notes."""
    entries, cur, key = [], {}, None
    lines = path.read_text().split("\n")
    for n, line in enumerate(lines + [""], 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if cur:
                entries.append(cur)
            cur, key = {}, None
            continue
        if line.startswith("|") and key in ("old", "new"):
            cur[key] += ("\n" if cur[key] else "") + line[2:]
            continue
        k, sep, v = line.partition(":")
        if not sep or k not in KEYS:
            sys.exit(f"{path}:{n}: expected one of {', '.join(KEYS)}, got: {line}")
        key, cur[k] = k, v[1:] if v.startswith(" ") else v
        cur.setdefault("line", n)
    for e in entries:
        missing = [k for k in KEYS if k not in e]
        if missing or e["kind"] not in KINDS or e["old"] == e["new"]:
            sys.exit(f"{path}:{e['line']}: bad entry (missing {missing}, kind {e.get('kind')})")
    return entries


def run(cmd, timeout, env=None, cwd=None):
    """Runs in its own process group so a time-out also ends what the test
    started (Xvfb, QEMU, gdb). Gives (status, output); status None on time-out."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", env=env, cwd=cwd, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        return p.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        return None, p.communicate()[0]
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        raise


def suite_env(build, suite):
    """The environment ctest gives the suite's tests (e.g. ASAN_OPTIONS)."""
    env = dict(os.environ)
    # The sanitizer settings ./run-tests exports, so a clean run here fails only where it fails there.
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1")
    env.setdefault("LSAN_OPTIONS", f"suppressions={ROOT / 'tests' / 'lsan.supp'}:print_suppressions=0")
    f = build / "tests" / f"{suite}[1]_tests.cmake"
    if f.exists():
        m = re.search(r"ENVIRONMENT \[==\[(.*?)\]==\]", f.read_text())
        for kv in (m.group(1).split(";") if m else []):
            k, _, v = kv.partition("=")
            env[k] = v
    return env


def build_and_test(args, suite, timeout, fail_fast=False):
    """Gives (PASS, FAIL or BUILD-FAIL, detail, seconds of the test run)."""
    st, out = run(["cmake", "--build", str(args.build), "--target", suite, f"-j{args.jobs}"], 3600)
    if st != 0:
        errs = [l for l in out.splitlines() if "error:" in l or "Error " in l]
        return "BUILD-FAIL", (errs or out.splitlines()[-3:] or [""])[0][:200], 0
    t0 = time.monotonic()
    st, out = run([str(args.build / "tests" / suite), "--gtest_brief=1",
                   "--gtest_also_run_disabled_tests"] + (["--gtest_fail_fast"] if fail_fast else []), timeout,
                  env=suite_env(args.build, suite), cwd=args.build / "tests")
    secs = time.monotonic() - t0
    if st is None:
        return "FAIL", f"timed out after {timeout:.0f} s", secs
    failed = re.findall(r"^\[  FAILED  \] (\S+\.\S+?)(?:,| \(|$)", out, re.M)
    failed = list(dict.fromkeys(failed))
    if st == 0 and not failed:
        return "PASS", "", secs
    if failed:
        return "FAIL", ", ".join(failed[:3]) + (" …" if len(failed) > 3 else ""), secs
    return "FAIL", f"exit status {st}" + (" (crash)" if st < 0 or st > 1 else ""), secs


def git_clean(path):
    return subprocess.run(["git", "-C", str(ROOT), "diff", "--quiet", "--", str(path)]).returncode == 0


def mutate(args, e, timeout):
    path = ROOT / e["file"]
    if not path.is_file():
        return "STALE", "no such file", 0
    text, was_clean = path.read_text(), git_clean(path)
    if text.count(e["old"]) != 1:
        return "STALE", f"old text found {text.count(e['old'])} times", 0
    try:
        path.write_text(text.replace(e["old"], e["new"]))
        # The first failing test is enough to call a fault caught; the slow gdb suites end early.
        r, d, s = build_and_test(args, e["suite"], timeout, fail_fast=not args.all_failures)
        return {"PASS": "MISSED", "FAIL": "CAUGHT"}.get(r, r), d, s
    finally:
        path.write_text(text)
        if path.read_text() != text or (was_clean and not git_clean(path)):
            sys.exit(f"!! {path} was not put back as it was: check it by hand")


def on_term(*_):
    raise KeyboardInterrupt  # a kill unwinds through the restoring finally blocks, as Ctrl-C does


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", type=Path, default=ROOT / "build")
    ap.add_argument("--suite", action="append", help="only this suite (may repeat)")
    ap.add_argument("--table", type=Path, default=Path(__file__).with_name("mutants.txt"))
    ap.add_argument("--out", type=Path, help="markdown results")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--all-failures", action="store_true",
                    help="run every test of a mutant's suite, to list all that catch it")
    ap.add_argument("--check", action="store_true", help="only say which entries are stale")
    ap.add_argument("--timeout", type=float, default=120,
                    help="seconds a mutant's run may take at least (and 5x the clean run)")
    args = ap.parse_args()
    args.build = args.build.resolve()
    signal.signal(signal.SIGTERM, on_term)

    entries = [e for e in parse(args.table) if not args.suite or e["suite"] in args.suite]
    suites = list(dict.fromkeys(e["suite"] for e in entries))
    if args.check:
        for e in entries:
            n = (ROOT / e["file"]).read_text().count(e["old"]) if (ROOT / e["file"]).is_file() else 0
            print(f"{'ok' if n == 1 else 'STALE'} {e['suite']} {e['file']}:{e['line']} ({n})")
        return
    rows, clean, t_start = [], {}, time.monotonic()
    try:
        for suite in suites:
            # Without a clean pass first, a failure says nothing about the fault.
            res, detail, secs = build_and_test(args, suite, 3600)
            clean[suite] = (res, secs)
            print(f"== {suite}: clean run {res} in {secs:.0f} s {detail}", flush=True)
            for e in (x for x in entries if x["suite"] == suite):
                if res != "PASS":
                    rows.append((e, "NOT-RUN", "the clean suite fails"))
                    continue
                r, d, s = mutate(args, e, max(args.timeout, 5 * secs))
                rows.append((e, r, d))
                print(f"{r:10} {s:5.0f} s  {e['file']} (mutants.txt:{e['line']})  {e['why']}"
                      + (f"  [{d}]" if d else ""), flush=True)
    except KeyboardInterrupt:
        print("interrupted: every file has been put back", flush=True)
    finally:
        if suites:  # leave the build dir matching the sources
            st, _ = run(["cmake", "--build", str(args.build), "--target", *suites,
                         f"-j{args.jobs}"], 7200)
            print(f"clean rebuild of {len(suites)} suites: {'done' if st == 0 else 'FAILED'}")
    report(args, rows, clean, suites, time.monotonic() - t_start)


def report(args, rows, clean, suites, total):
    lines = ["| suite | kind | fault | result | caught by |", "|---|---|---|---|---|"]
    for e, r, d in rows:
        lines.append(f"| {e['suite']} | {e['kind']} | `{e['file']}`: {e['why']} | {r} | {d} |")
    lines += ["", "| suite | caught / total | clean run |", "|---|---|---|"]
    caught = tot = 0
    for s in suites:
        res = [r for e, r, d in rows if e["suite"] == s and r in ("CAUGHT", "MISSED")]
        c = res.count("CAUGHT")
        caught, tot = caught + c, tot + len(res)
        cr = clean.get(s, ("-", 0))
        lines.append(f"| {s} | {c} / {len(res)} | {cr[0].lower()}, {cr[1]:.0f} s |")
    lines += [f"| all | {caught} / {tot} | {total / 60:.0f} min in all |", ""]
    bad = [f"- mutants.txt:{e['line']} ({e['file']}): {r}, {d}" for e, r, d in rows
           if r in ("STALE", "BUILD-FAIL", "NOT-RUN")]
    if bad:
        lines += ["Entries to mend:", *bad, ""]
    text = "\n".join(lines)
    print(text)
    if args.out:
        args.out.write_text(text)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
