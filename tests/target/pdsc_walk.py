#!/usr/bin/env python3
# Second opinion for the .pdsc reader: each selectable device of a pack (a device, or each of its
# variants) with what family > subFamily > device > variant give it: processor and debugconfig
# attributes redefined level by level, memories and sequences added up (a deeper one of the same
# name replaces), the deepest default algorithm, on multi-core devices the first named processor.
import sys
import xml.etree.ElementTree as ET


def num(s):
    s = (s or "").strip()
    return 0 if not s else int(s[2:], 16) if s[:2].lower() == "0x" else int(s)


def rows(root):
    for fam in root.find("devices").findall("family"):
        for a in fam:
            devs, outer = ([a], [fam]) if a.tag == "device" else (a.findall("device"), [fam, a])
            for d in devs if a.tag in ("device", "subFamily") else []:
                vs = d.findall("variant")
                yield from ([(v.get("Dvariant"), outer + [d, v]) for v in vs] or [(d.get("Dname"), outer + [d])])


def describe(name, chain):
    pname = next((p.get("Pname") for lv in chain for p in lv.findall("processor") if p.get("Pname")), None)
    mine = lambda e: pname is None or e.get("Pname") in (None, pname)
    every = lambda tag: [e for lv in chain for e in lv.findall(tag) if mine(e)]
    core, fpu, clock, dclock = "", False, 0, 0
    for p in every("processor"):
        core, clock = p.get("Dcore", core), num(p.get("Dclock")) if p.get("Dclock") else clock
        fpu = p.get("Dfpu") not in ("NO_FPU", "0") if p.get("Dfpu") else fpu
    for c in (c for lv in chain for c in lv.findall("debugconfig")):
        dclock = num(c.get("clock")) if c.get("clock") else dclock
    mems, seqs = {}, {}
    for m in every("memory"):
        key = m.get("name") or m.get("id") or ""
        if key in mems or len(mems) < 8:
            mems[key] = m
    for s in (s for lv in chain for g in lv.findall("sequences") for s in g.findall("sequence")):
        n = (s.get("name") or "")[:63]
        if n and mine(s) and (n in seqs or len(seqs) < 24):
            seqs[n] = s
    algo = None
    for lv in reversed(chain):
        cands = [a for a in lv.findall("algorithm") if mine(a) and a.get("name")]
        dflt = [a for a in cands if a.get("default") in ("1", "true")]
        algo = dflt[0] if dflt else algo or (cands[0] if cands else None)
        if dflt:
            break
    atext = ""
    if algo is not None:
        ram = [m for m in mems.values() if "w" in m.get("access", "rw" if (m.get("id") or "").startswith("IRAM") else "")]
        ram = ([m for m in ram if m.get("default") in ("1", "true")] + ram + [{}])[0]
        atext = "%s:%x:%x:%x:%x" % (algo.get("name")[:259], num(algo.get("start")), num(algo.get("size")),
                                    num(algo.get("RAMstart", ram.get("start"))), num(algo.get("RAMsize", ram.get("size"))))
    mtext = ";".join("%s:%x:%x" % (k[:63], num(m.get("start")), num(m.get("size"))) for k, m in mems.items())
    return "\t".join([name[:63], core[:63], str(int(fpu)), str(clock), str(dclock), mtext, atext, ",".join(seqs)])


with open(sys.argv[2], "w") as out:
    for name, chain in rows(ET.parse(sys.argv[1]).getroot()):
        out.write(describe(name, chain) + "\n")
