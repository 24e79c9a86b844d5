# The registers of an SVD file with the masks of their read-write and read-only fields, walked with
# python's ElementTree: "P name base" for each peripheral, then "R name offset reset rw ro" for each of
# its own registers (a write-only register reads back nothing: all read-only).
import sys, xml.etree.ElementTree as ET
def num(t): return int(t, 16) if t.lower().startswith("0x") else int(t)
for p in ET.parse(sys.argv[1]).getroot().iter("peripheral"):
    print("P", p.findtext("name"), num(p.findtext("baseAddress")))
    for r in p.iter("register"):
        racc, rw, ro = r.findtext("access"), 0, 0
        for f in r.iter("field"):
            m = ((1 << num(f.findtext("bitWidth"))) - 1) << num(f.findtext("bitOffset"))
            acc = f.findtext("access") or racc
            rw |= m if acc == "read-write" else 0
            ro |= m if acc == "read-only" else 0
        print("R", r.findtext("name"), num(r.findtext("addressOffset")), num(r.findtext("resetValue")), rw,
              0xFFFFFFFF if racc == "write-only" else ro)
