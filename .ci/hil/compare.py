#!/usr/bin/env python3
"""Compares the hardware runs of one guest boot with the simulated runs of
the same tables on the host: each run's block (status, standard output and
error, both state files with owners and modes, the directory's entries) and
its data bytes on the port, byte for byte, plus the fixed expectations of
the worked examples and of each caller setup.

Usage: compare.py CONSOLE TRACE TABLE:CASES:HOSTLOG:HOSTBYTES...

CONSOLE is the guest's serial output, TRACE QEMU's parallel_ioport_write
log; for each table the host's run.sh output and its directory of
bytes.<id> files (the simulated port.log of each run). Prints one line per
failed run and per table, and returns the number of failed runs."""
import os
import re
import sys

WRITE = re.compile(r"parallel_ioport_write write \[\w+\] addr 0x([0-9a-f]+) val 0x([0-9a-f]+)")
SIM_BYTE = re.compile(r"^\d+ 0x([0-9a-f]{2})$")
DENIED = "ioperm: Operation not permitted\n"

# Worked examples: the bytes and reports given for them, independent of the code.
WORKED = {
    ("0 0 0 0 0 0 ", "-G 2"): {
        "bytes": bytes.fromhex("34 35 a2 a3 2a 2b ee ef fc fd"),
        "stdout": "0,9.5,9.5,0\n7.5,0,7.5,0\n7.5,0,7.5,0\n4.5,0,4.5,0\n19.5,0,19.5,0\n"
                  "2,0,0,0,0,0\n"},
    ("0 0 0 0 0 0 ", "-H 200"): {
        "stdout": "0,9.5,9.5,0\n7.42444,1.06194,7.5,8.14\n7.5,0,7.5,0\n4.5,0,4.5,0\n"
                  "19.4244,1.06194,19.4534,3.12927\n0,0,0,0,200,0\n",
        "position": "0 0 0 0 200 0 \n"},
}
# Who owns each state file after a run, per caller setup (run.sh's setup()).
OWNERS = {"root": ("0:0", "0:0"), "user": ("1000:1000", "1000:1000"),
          "cap": ("1001:33", "33:33"), "suid": ("1001:1001", "1001:1001")}


def parse_blocks(lines):
    """{case id: (mode, [block lines])} from run.sh's output."""
    blocks, current = {}, None
    for line in lines:
        if line.startswith("== case "):
            _, _, cid, mode = line.split()
            current = blocks[int(cid)] = (mode, [])
        elif line == "== end":
            current = None
        elif current is not None:
            current[1].append(line)
    return blocks


def field(block, name):
    """The text after 'name ' on the block's line, or the lines between two labels."""
    if name in ("stdout", "stderr"):
        start = block.index(name + ":") + 1
        end = block.index("stderr:") if name == "stdout" else next(
            i for i, l in enumerate(block) if l.startswith("lock "))
        return "".join(l + "\n" for l in block[start:end])
    return next((l[len(name) + 1:] for l in block if l.startswith(name + " ")), None)


def file_text(value):
    """'owner mode hex bytes' -> (owner, text)."""
    owner, _, *hexes = value.split()
    return owner, bytes.fromhex("".join(hexes)).decode("latin-1")


def console_tables(path):
    tables, current = {}, None
    with open(path, encoding="latin-1") as f:
        for raw in f:
            line = raw.rstrip("\r\n").replace("\r", "")
            if line.startswith("== table "):
                current = tables[line.split()[2]] = []
            elif current is not None:
                current.append(line)
    return tables


def trace_tables(path):
    """Per table, the data bytes written between consecutive control-register
    marks. A table opens with the marks 0x5a 0xa5; the firmware's writes
    before the first table are dropped and counted."""
    events = []
    with open(path) as f:
        for line in f:
            m = WRITE.search(line)
            if m and int(m.group(1), 16) in (0, 2):
                events.append((int(m.group(1), 16), int(m.group(2), 16)))
    tables, dropped = [], 0
    for i, (addr, val) in enumerate(events):
        if addr == 2 and val == 0xa5 and i > 0 and events[i - 1] == (2, 0x5a):
            tables.append([])
        elif not tables:
            dropped += addr == 0
        elif addr == 2 and (i + 1 == len(events) or events[i + 1] != (2, 0xa5)):
            tables[-1].append(bytearray())
        elif addr == 0 and tables[-1]:
            tables[-1][-1].append(val)
    return tables, dropped


def sim_bytes(path):
    with open(path) as f:
        return bytes(int(m.group(1), 16) for m in map(SIM_BYTE.match, f.read().splitlines()) if m)


def check_run(case, mode, guest, host, hw_bytes, sim):
    start, options = case
    faults = []
    if mode == "user":
        # No grant without privilege: nothing moves, nothing is saved.
        if field(guest, "status") != "1": faults.append("status %s" % field(guest, "status"))
        if field(guest, "stderr") != DENIED: faults.append("stderr %r" % field(guest, "stderr"))
        if field(guest, "stdout"): faults.append("stdout %r" % field(guest, "stdout"))
        if file_text(field(guest, "lock"))[1] != "0\n": faults.append("lock not free")
        pos = field(guest, "position")
        if (pos == "missing") != (start == "none") or (
                pos != "missing" and file_text(pos)[1] != start + "\n"):
            faults.append("counters changed: %s" % pos)
        if hw_bytes: faults.append("%d bytes on the port" % len(hw_bytes))
        if field(guest, "dir").split()[2:] != field(host, "dir").split()[2:]:
            faults.append("directory %s" % field(guest, "dir"))
    else:
        if guest != host:
            diff = [(g, h) for g, h in zip(guest, host) if g != h] or [("lengths", "")]
            faults.append("differs from the simulated run: %r" % (diff[0],))
        if hw_bytes != sim:
            faults.append("port bytes: %d traced, %d simulated" % (len(hw_bytes), len(sim)))
    lock_owner, pos_owner = OWNERS[mode]
    if field(guest, "lock").split()[0] != lock_owner: faults.append("lock owner")
    pos = field(guest, "position")
    if pos != "missing" and pos.split()[0] != pos_owner: faults.append("position owner")
    want = WORKED.get(case, {})
    if "bytes" in want and mode != "user" and hw_bytes != want["bytes"]:
        faults.append("worked example bytes %s" % hw_bytes.hex(" "))
    if "stdout" in want and mode != "user" and field(guest, "stdout") != want["stdout"]:
        faults.append("worked example output")
    if "position" in want and file_text(pos)[1] != want["position"]:
        faults.append("worked example position file")
    return faults


def load_cases(path):
    cases = {}
    with open(path) as f:
        for line in f:
            cid, mode, start, options = line.rstrip("\n").split("|")
            cases[int(cid)] = (mode, start, options)
    return cases


def main():
    console, trace, entries = sys.argv[1], sys.argv[2], sys.argv[3:]
    tables = console_tables(console)
    traced, dropped = trace_tables(trace)
    print("hil: %d firmware writes before the first run dropped" % dropped)
    failed = passed = compared = 0
    for entry in entries:
        name, cases_path, host_log, host_bytes = entry.split(":")
        cases = load_cases(cases_path)
        guest_lines = tables.get(os.path.basename(cases_path), [])
        guest = parse_blocks(guest_lines)
        with open(host_log) as f:
            host = parse_blocks(f.read().splitlines())
        table_failed = 0
        segments = traced.pop(0) if traced else []
        for cid, (mode, start, options) in sorted(cases.items()):
            hw = bytes(segments.pop(0)) if segments else None
            if cid not in guest or cid not in host or hw is None:
                faults = ["no result"]
            else:
                sim = sim_bytes(os.path.join(host_bytes, "bytes.%d" % cid))
                faults = check_run((start, options), mode, guest[cid][1], host[cid][1], hw, sim)
                compared += len(hw)
            if faults:
                table_failed += 1
                print("FAIL %s run %d (%s, start '%s', %s): %s"
                      % (name, cid, mode, start, options, "; ".join(faults)))
        whole = segments == [bytearray()] and "== end" in guest_lines
        if not whole: print("FAIL %s: the table did not finish as traced" % name)
        failed += table_failed + (not whole)
        passed += len(cases) - table_failed
        print("hil: %s: %d runs, %d failed" % (name, len(cases), table_failed))
    print("hil: %d traced port writes compared byte for byte" % compared)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


sys.exit(main())
