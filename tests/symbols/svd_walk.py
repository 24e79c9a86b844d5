# The registers of an SVD file as the SVD tests dump them: "P name base
# count" lines, each register under it with "field:offset:width". Plain
# registers, dim arrays, the three bit-position forms and derivedFrom copies,
# walked with python's ElementTree (no clusters: the files read have none).
# With --access first: "P name base" for each peripheral, then "R name offset
# reset rw ro" for each of its own registers, the masks of its read-write and
# read-only fields (a write-only register reads back nothing: all read-only).
import sys, xml.etree.ElementTree as ET
def num(t):
    t = (t or "").strip()
    if t[:2] in ("0x", "0X"): return int(t[2:], 16)
    if t[:1] == "#": return int(t[1:], 2)
    return int(t) if t else 0
def name(e): return (e.findtext("name") or "").strip()[:63]
def fields(r):
    out = ""
    for f in r.findall("fields/field"):
        if f.find("bitRange") is not None: hi, lo = map(int, f.findtext("bitRange").strip()[1:-1].split(":"))
        elif f.find("msb") is not None: lo, hi = num(f.findtext("lsb")), num(f.findtext("msb"))
        else: lo = num(f.findtext("bitOffset")); hi = lo + num(f.findtext("bitWidth") or "1") - 1
        out += " %s:%d:%d" % (name(f), lo, hi - lo + 1)
    return out
def access(path):
    for p in ET.parse(path).getroot().iter("peripheral"):
        print("P", name(p), num(p.findtext("baseAddress")))
        for r in p.iter("register"):
            racc, rw, ro = r.findtext("access"), 0, 0
            for f in r.iter("field"):
                m = ((1 << num(f.findtext("bitWidth"))) - 1) << num(f.findtext("bitOffset"))
                acc = f.findtext("access") or racc
                rw |= m if acc == "read-write" else 0
                ro |= m if acc == "read-only" else 0
            print("R", name(r), num(r.findtext("addressOffset")), num(r.findtext("resetValue")), rw,
                  0xFFFFFFFF if racc == "write-only" else ro)
if sys.argv[1] == "--access": access(sys.argv[2]), sys.exit(0)
done = {}
for p in ET.parse(sys.argv[1]).getroot().findall("peripherals/peripheral"):
    d = done.get(p.get("derivedFrom"))
    base = num(p.findtext("baseAddress")) if p.find("baseAddress") is not None else d[0] if d else 0
    regs = []
    for r in p.findall("registers/register"):
        dim, inc = num(r.findtext("dim")), num(r.findtext("dimIncrement") or "4")
        for i in range(max(dim, 1)):
            n = name(r)
            if dim: n = n.replace("[%s]", str(i), 1) if "[%s]" in n else n.replace("%s", str(i), 1) if "%s" in n else n + str(i)
            regs.append((n, base + num(r.findtext("addressOffset")) + i * inc, num(r.findtext("resetValue")), fields(r)))
    if d and not regs: regs = [(n, (a - d[0] + base) & 0xFFFFFFFF, v, f) for n, a, v, f in d[1]]
    done.setdefault(name(p), (base, regs))
    print("P %s 0x%08x %d" % (name(p), base, len(regs)))
    for n, a, v, f in regs: print("  %s 0x%08x 0x%08x%s" % (n, a, v, f))
