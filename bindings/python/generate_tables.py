#!/usr/bin/env python3
"""Writes the tables of morelapi.py that come from the public header,
include/morelapi.h: the slot, event and buffer size constants, the call events
with the states they report (MORELAPI_CALL_EVENTS) and the system data items
(MORELAPI_SYSTEM_DATA_ITEMS). The tables stand in morelapi.py between two
marker lines, so that the module stays one file that works where it is copied.

    python3 bindings/python/generate_tables.py          # rewrites the tables
    python3 bindings/python/generate_tables.py --check  # exit 1 when they are out of date

Run it after changing the header; test_morelapi.py fails while the module's
tables differ from what this writes.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER = os.path.join(HERE, "..", "..", "include", "morelapi.h")
MODULE = os.path.join(HERE, "morelapi.py")
BEGIN = "# ---- generated from include/morelapi.h by generate_tables.py: do not edit ----"
END = "# ---- end of the generated tables ----"
WIDTH = 116


def _defines(header):
    """name (without MORELAPI_) -> value of each numeric #define, in header order."""
    return {m.group(1): int(m.group(2), 0)
            for m in re.finditer(r"^#define MORELAPI_(\w+) (0x[0-9A-Fa-f]+|\d+)u?(?:\s+/\*.*)?$", header, re.M)}


def _rows(header, macro, row):
    """The fields of each X(...) row of an X-macro list, each row matching the regex row."""
    found = re.search(r"^#define %s\(X\) \\\n((?:.*\\\n)*.*)$" % macro, header, re.M)
    if not found:
        raise ValueError("%s is not in the header" % macro)
    rows = re.findall(r"X\(([^)]*)\)", found.group(1))
    parsed = [re.fullmatch(row, r.strip()) for r in rows]
    if not rows or not all(parsed):
        raise ValueError("%s: a row does not read as %s" % (macro, row))
    return [p.groups() for p in parsed]


def _tuple(name, entries):
    """name = (entries...), several entries to a line."""
    lines, line = [name + " = ("], "   "
    for entry in entries:
        if len(line) + len(entry) + 2 > WIDTH:
            lines.append(line)
            line = "   "
        line += " " + entry + ","
    return lines + [line, ")"]


def generate(header):
    """The generated block, marker lines included, for the header's text."""
    defines = _defines(header)
    slots = [(n[5:], v) for n, v in defines.items() if n.startswith("SLOT_") and n != "SLOT_COUNT"]
    events = [(n[6:], v) for n, v in defines.items() if n.startswith("EVENT_") and not n.startswith("EVENT_CALL_")]
    sizes = [(n, v) for n, v in defines.items() if n.endswith("_BYTES")]
    calls = [(defines[code], int(state), name, ended == "1") for code, state, name, ended in
             _rows(header, "MORELAPI_CALL_EVENTS", r'MORELAPI_(EVENT_CALL_\w+), (\d+), (\w+), "[^"]*", ([01])')]
    items = [(int(i), int(w), t == "1") for i, w, t in
             _rows(header, "MORELAPI_SYSTEM_DATA_ITEMS", r"(\d+), (\d+), ([01])")]
    lines = [BEGIN]
    lines += ["SLOT_%s = %d" % s for s in slots] + ["SLOT_COUNT = %d" % defines["SLOT_COUNT"]]
    lines += ["EVENT_%s = 0x%04X" % e for e in events]
    lines += ["%s = %d" % s for s in sizes]
    lines.append("# Slot's members; Event's members other than the call events.")
    lines += _tuple("_SLOTS", ['("%s", %d)' % s for s in slots])
    lines += _tuple("_EVENTS", ['("%s", 0x%04X)' % e for e in events])
    lines.append("# The call events: (code, the call state it reports, CallState's name of that state,")
    lines.append("# whether the call is over).")
    lines += _tuple("_CALL_EVENTS", ['(0x%04X, %d, "%s", %s)' % c for c in calls])
    lines.append("# The items, the stored ones in store order, then the actions: (id, width in bytes, 0 for an")
    lines.append("# action; whether the bytes are a zero-terminated text).")
    lines += _tuple("_ITEMS", ["(%d, %d, %s)" % i for i in items])
    lines.append(END)
    return "\n".join(lines) + "\n"


def rewrite(module, block):
    """The module's text with the generated block replaced by block."""
    start = module.index(BEGIN + "\n")
    end = module.index(END + "\n", start) + len(END) + 1
    return module[:start] + block + module[end:]


def main(argv):
    with open(HEADER, encoding="utf-8") as f:
        header = f.read()
    with open(MODULE, encoding="utf-8") as f:
        module = f.read()
    wanted = rewrite(module, generate(header))
    if wanted == module:
        return 0
    if "--check" in argv:
        print("%s: the tables are not what include/morelapi.h gives; run %s" % (MODULE, __file__), file=sys.stderr)
        return 1
    with open(MODULE, "w", encoding="utf-8") as f:
        f.write(wanted)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
