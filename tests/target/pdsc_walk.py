#!/usr/bin/env python3
# Second opinion for the .pdsc reader: each selectable device of a pack (a
# device, or each of its variants) with what family > subFamily > device >
# variant give it: processor attributes redefined level by level, memories and
# sequences added up (a deeper one of the same name replaces), the deepest
# default algorithm, on multi-core devices the first named processor only.
# One tab-separated line per device.
import sys
import xml.etree.ElementTree as ET


def num(s):
    s = (s or "").strip()
    if not s:
        return 0
    return int(s[2:], 16) if s[:2].lower() == "0x" else int(s)


def truthy(v):
    return v in ("1", "true")


def rows(path):
    root = ET.parse(path).getroot()
    for fam in root.find("devices").findall("family"):
        for a in fam:
            if a.tag == "subFamily":
                devs, chain0 = a.findall("device"), [fam, a]
            elif a.tag == "device":
                devs, chain0 = [a], [fam]
            else:
                continue
            for d in devs:
                variants = d.findall("variant")
                if not variants:
                    yield d.get("Dname"), chain0 + [d]
                for v in variants:
                    yield v.get("Dvariant"), chain0 + [d, v]


def describe(name, chain):
    pname = next((p.get("Pname") for lv in chain for p in lv.findall("processor") if p.get("Pname")), None)

    def mine(e):
        return pname is None or e.get("Pname") in (None, pname)

    core, fpu, clock = "", False, 0
    for lv in chain:
        for p in filter(mine, lv.findall("processor")):
            core = p.get("Dcore", core)
            clock = num(p.get("Dclock")) if p.get("Dclock") is not None else clock
            if p.get("Dfpu") is not None:
                fpu = p.get("Dfpu") not in ("NO_FPU", "0")
    dclock = 0
    for lv in chain:
        for c in lv.findall("debugconfig"):
            if c.get("clock") is not None:
                dclock = num(c.get("clock"))
    mems = {}
    for lv in chain:
        for m in filter(mine, lv.findall("memory")):
            key = m.get("name") or m.get("id") or ""
            if key in mems or len(mems) < 8:
                mems[key] = m
    algo = None
    for lv in reversed(chain):
        cands = [a for a in lv.findall("algorithm") if mine(a) and a.get("name")]
        algo = algo or (cands[0] if cands else None)
        dflt = [a for a in cands if truthy(a.get("default"))]
        if dflt:
            algo = dflt[0]
            break
    seqs = {}
    for lv in chain:
        for group in lv.findall("sequences"):
            for s in group.findall("sequence"):
                n = (s.get("name") or "")[:63]
                if n and mine(s) and (n in seqs or len(seqs) < 24):
                    seqs[n] = s
    mtext = ";".join("%s:%x:%x" % (k[:63], num(m.get("start")), num(m.get("size"))) for k, m in mems.items())
    atext = ""
    if algo is not None:
        rs, rz = algo.get("RAMstart"), algo.get("RAMsize")
        if rs is None or rz is None:
            def w(m):
                acc = m.get("access")
                if acc is None:
                    acc = "rw" if (m.get("id") or "").startswith("IRAM") else ""
                return "w" in acc
            ram = next((m for m in mems.values() if w(m) and truthy(m.get("default"))), None)
            ram = ram or next((m for m in mems.values() if w(m)), None)
            if ram is not None:
                rs = rs if rs is not None else ram.get("start")
                rz = rz if rz is not None else ram.get("size")
        atext = "%s:%x:%x:%x:%x" % (algo.get("name")[:259], num(algo.get("start")), num(algo.get("size")),
                                    num(rs), num(rz))
    return "\t".join([name[:63], core[:63], "1" if fpu else "0", str(clock), str(dclock), mtext, atext,
                      ",".join(seqs)])


if __name__ == "__main__":
    with open(sys.argv[2], "w") as out:
        for name, chain in rows(sys.argv[1]):
            out.write(describe(name, chain) + "\n")
