#!/usr/bin/env python3
"""The power-cut bench's host side (bench/power-cut.sh drives it).

options N: prints N option lines for the guest's loop.
cut N ...: boots the loop guest N times on a fresh ext4 image, kills QEMU
(SIGKILL) at a random instant during the runs or in the 30 s after the last
one, then checks with e2fsck and debugfs, boots the check guest, and checks
again. Prints the faults of each cut and the table row of docs/hacking.md.
front N ...: the same with the front end's loop (saves, STOP, clear), checked
on the disk: no file torn, no acknowledged save, history line or latch lost."""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

START = "0 0 0 0 0 0 \n"
WHOLE = re.compile(r"(-?\d+ ){6}\n")
STATE_NAMES = {".", "..", "lost+found", "lock.dat", "robot_position.dat"}


def options(n):
    rng = random.Random(12)
    for _ in range(n):
        words = []
        for _ in range(rng.randint(1, 3)):
            words += ["-" + rng.choice("GBSXTRHNVFEW"), str(rng.randint(1, 60))]
        print(" ".join(words))


def expected_positions(sim, state, lines):
    """The position file after each run, from the simulated controller."""
    os.makedirs(state, exist_ok=True)
    with open(os.path.join(state, "robot_position.dat"), "w") as f: f.write(START)
    with open(os.path.join(state, "lock.dat"), "w") as f: f.write("0\n")
    result = []
    for line in lines:
        subprocess.run([sim] + line.split(), stdout=subprocess.DEVNULL, check=False)
        with open(os.path.join(state, "robot_position.dat")) as f: result.append(f.read())
    return result


def qemu(args, kernel, initrd, image, mode, console):
    return subprocess.Popen(
        ["qemu-system-x86_64", "-m", "256", "-nographic", "-no-reboot", "-kernel", kernel,
         "-initrd", initrd, "-append",
         "console=ttyS0 quiet loglevel=0 panic=-1 mitigations=off hil=" + mode,
         "-drive", "file=%s,if=virtio,format=raw,cache=unsafe" % image],
        stdin=subprocess.DEVNULL, stdout=open(console, "w"), stderr=subprocess.STDOUT)


def console_text(path):
    with open(path, encoding="latin-1") as f: return f.read().replace("\r", "")


def wait_for(path, text, proc, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end and proc.poll() is None:
        if text in console_text(path): return True
        time.sleep(0.05)
    return text in console_text(path)


def debugfs(image, request):
    return subprocess.run(["debugfs", "-R", request, image], capture_output=True,
                          text=True, errors="replace").stdout


def state_of(image):
    names = {f.split("/")[5] for f in debugfs(image, "ls -p /").splitlines() if f.count("/") >= 6}
    return {"position": debugfs(image, "cat /robot_position.dat"),
            "lock": debugfs(image, "cat /lock.dat"),
            "mark": "user.armctl.holder" in debugfs(image, "ea_list /lock.dat"),
            "temps": sorted(names - STATE_NAMES)}


def fsck(image):
    return subprocess.run(["e2fsck", "-fy", image], capture_output=True).returncode


def one_cut(a, rng, template, expected, k):
    image = os.path.join(a.work, "cut.img")
    shutil.copyfile(template, image)
    console = os.path.join(a.work, "console-loop.log")
    began = time.monotonic()
    proc = qemu(a, a.kernel, a.initrd, image, "loop", console)
    faults = []
    if not wait_for(console, "== runs", proc, 90):
        proc.kill(); proc.wait()
        return ["the loop guest did not start"], "none", time.monotonic() - began
    if rng.random() < 0.7:
        time.sleep(rng.uniform(0, a.run_span))
    else:
        wait_for(console, "== idle", proc, 120)
        time.sleep(rng.uniform(0, 30))
    text = console_text(console)
    phase = "idle" if "== idle" in text else "runs"
    proc.send_signal(signal.SIGKILL); proc.wait()
    acks = [int(m.group(1)) for m in re.finditer(r"== ack (\d+) (\d+) (\S*)$", text, re.M)
            if m.group(3) == ",".join(expected[int(m.group(1))].split())]
    acked = max(acks, default=-1)
    code = fsck(image)
    if code >= 4: faults.append("e2fsck status %d" % code)
    st = state_of(image)
    allowed = [expected[acked] if acked >= 0 else START]
    if acked + 1 < len(expected): allowed.append(expected[acked + 1])
    if not WHOLE.fullmatch(st["position"]):
        faults.append("torn position file %r" % st["position"])
    elif st["position"] not in allowed:
        older = st["position"] == START or st["position"] in expected[:max(acked, 0)]
        faults.append(("lost acknowledged run %d: %r" if older else "unexpected counters %d: %r")
                      % (acked, st["position"]))
    if st["lock"].startswith("1") and not st["mark"]:
        faults.append("stuck lock: an unmarked 1")
    check_console = os.path.join(a.work, "console-check.log")
    proc = qemu(a, a.kernel, a.initrd, image, "check", check_console)
    try:
        proc.wait(timeout=90)
    except subprocess.TimeoutExpired:
        proc.kill(); proc.wait()
    m = re.search(r"== check (\d+) (\S*)$", console_text(check_console), re.M)
    if not m or m.group(1) == "137":
        faults.append("stuck lock: the next run did not finish")
    elif m.group(2) != ",".join(st["position"].split()):
        faults.append("the next run read %s" % m.group(2))
    fsck(image)
    after = state_of(image)
    if after["lock"] != "0\n" or after["mark"]:
        faults.append("stuck lock after the next run: %r, mark %s" % (after["lock"], after["mark"]))
    if after["temps"]: faults.append("temporary files left: %s" % after["temps"])
    return faults, phase, time.monotonic() - began, st, acked


def state_image(a):
    """The guests' disk: a free lock and the start counters, on ext4."""
    template = os.path.join(a.work, "template.img")
    with tempfile.TemporaryDirectory() as d:
        for name, text in (("lock.dat", "0\n"), ("robot_position.dat", START)):
            with open(os.path.join(d, name), "w") as f: f.write(text)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-d", d, template, "16M"], check=True)
    return template


def cut(a):
    with open(a.options) as f: lines = f.read().splitlines()
    expected = expected_positions(a.sim, a.sim_state, lines)
    template = state_image(a)
    rng = random.Random(a.seed)
    counts = {"torn": 0, "lost": 0, "stuck": 0, "temps": 0, "other": 0, "idle": 0,
              "temp_after_cut": 0, "marked_one": 0}
    seconds = 0.0
    for k in range(a.cuts):
        result = one_cut(a, rng, template, expected, k)
        faults, phase, took = result[0], result[1], result[2]
        seconds += took
        counts["idle"] += phase == "idle"
        if len(result) > 3:
            st, acked = result[3], result[4]
            counts["temp_after_cut"] += bool(st["temps"])
            counts["marked_one"] += st["lock"].startswith("1") and st["mark"]
        for f in faults:
            key = next((k2 for k2 in ("torn", "lost", "stuck", "temporary") if k2 in f), "other")
            counts["temps" if key == "temporary" else key] += 1
        print("cut %d (%s, %.0f s): %s" % (k, phase, took, "; ".join(faults) or "ok"),
              file=sys.stderr, flush=True)
    print("| cuts | during runs / after | torn files | lost acknowledged runs | stuck locks "
          "| temp files left | other faults | marked 1 / temp file at the cut | s per cut |")
    print("| %d | %d / %d | %d | %d | %d | %d | %d | %d / %d | %.1f |" % (
        a.cuts, a.cuts - counts["idle"], counts["idle"], counts["torn"], counts["lost"],
        counts["stuck"], counts["temps"], counts["other"], counts["marked_one"],
        counts["temp_after_cut"], seconds / max(a.cuts, 1)))
    return 1 if any(counts[k] for k in ("torn", "lost", "stuck", "temps", "other")) else 0


FRONT_FILES = {"poses.dat", "history.dat", "history-older.dat", "stop-latch.json",
               "wait-queue.dat", "robot_position.dat", "lock.dat", "goto-lock.dat"}


def json_or_none(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


def front_state(image):
    names = {f.split("/")[5] for f in debugfs(image, "ls -p /").splitlines() if f.count("/") >= 6}
    files = {n: debugfs(image, "cat /" + n) for n in names & FRONT_FILES}
    return names, files


def front_faults(text, names, files):
    """The torn files and the lost acknowledged saves, from the guest's lines
    and the disk."""
    torn, lost = [], []
    events = [(m.group(1), int(m.group(2)), m.group(3), m.group(4)) for m in
              re.finditer(r"== (begin|ack) (\d+) (\w+) ?(\d*)$", text, re.M)]
    acks = [(i, kind, status) for what, i, kind, status in events if what == "ack"]
    poses = json_or_none(files.get("poses.dat", '{"poses": {}, "sequences": {}}'))
    if not isinstance(poses, dict):
        torn.append("poses.dat")
        poses = {"poses": {}, "sequences": {}}
    history = []
    for name in ("history-older.dat", "history.dat"):
        for line in files.get(name, "").splitlines():
            entry = json_or_none(line)
            if isinstance(entry, dict): history.append(entry)
            else: torn.append("%s line %r" % (name, line[:60]))
    requests = [json.dumps(e.get("request"), sort_keys=True) for e in history]
    for i, kind, status in acks:
        if kind in ("pose", "sequence") and status == "200":
            store = poses.get("poses" if kind == "pose" else "sequences", {})
            if ("p%d" if kind == "pose" else "s%d") % i not in store:
                lost.append("%s %d" % (kind, i))
    for kind in ("stop", "clear"):
        if sum(k == kind for _, k, _ in acks) > sum('"%s"' % kind in r for r in requests):
            lost.append("history of a %s" % kind)
    for i, kind in {(i, k) for i, k, _ in acks if k in ("pose", "sequence")}:
        name = ("p%d" if kind == "pose" else "s%d") % i
        if not any(('"save_%s"' % kind) in r and '"%s"' % name in r for r in requests):
            lost.append("history of %s %d" % (kind, i))
    if "stop-latch.json" in files and not isinstance(json_or_none(files["stop-latch.json"]), dict):
        torn.append("stop-latch.json")
    # The latch as the last acknowledged stop or clear left it, unless the
    # next one had begun.
    last = max(((n, k) for n, (what, _, k, _) in enumerate(events)
                if what == "ack" and k in ("stop", "clear")), default=None)
    if last is not None:
        later = {k for what, _, k, _ in events[last[0] + 1:] if what == "begin"}
        latched = "stop-latch.json" in names
        if last[1] == "stop" and not latched and "clear" not in later:
            lost.append("the latch of an acknowledged stop")
        if last[1] == "clear" and latched and "stop" not in later:
            lost.append("the clearing of the latch")
    return torn, lost, len(acks)


def front_cut(a, rng, template):
    image = os.path.join(a.work, "cut.img")
    shutil.copyfile(template, image)
    console = os.path.join(a.work, "console-front.log")
    began = time.monotonic()
    proc = qemu(a, a.kernel, a.initrd, image, "front", console)
    if not wait_for(console, "== runs", proc, 90):
        proc.kill(); proc.wait()
        return ["the front guest did not start"], [], [], 0, [], time.monotonic() - began
    time.sleep(rng.uniform(0, a.run_span))
    text = console_text(console)
    proc.send_signal(signal.SIGKILL); proc.wait()
    other = ["e2fsck status %d" % code] if (code := fsck(image)) >= 4 else []
    names, files = front_state(image)
    torn, lost, acked = front_faults(text, names, files)
    temps = sorted(n for n in names - FRONT_FILES - {".", "..", "lost+found"})
    return other, torn, lost, acked, temps, time.monotonic() - began


def front(a):
    template = state_image(a)
    rng = random.Random(a.seed)
    other = torn = lost = acked = temps = 0
    seconds = 0.0
    for k in range(a.cuts):
        o, t, l, n, left, took = front_cut(a, rng, template)
        other, torn, lost, acked = other + len(o), torn + len(t), lost + len(l), acked + n
        temps, seconds = temps + bool(left), seconds + took
        print("cut %d (%.0f s, %d answers): %s" % (k, took, n, "; ".join(o + t + l) or "ok")
              + (" (temp file %s)" % left if left else ""), file=sys.stderr, flush=True)
    print("| cuts | answers before the cuts | torn files | lost acknowledged saves "
          "| other faults | temp file at the cut | s per cut |")
    print("| %d | %d | %d | %d | %d | %d | %.1f |" % (a.cuts, acked, torn, lost, other, temps,
                                                    seconds / max(a.cuts, 1)))
    return 1 if torn or lost or other else 0


def main():
    if sys.argv[1] == "options":
        options(int(sys.argv[2]))
        return 0
    p = argparse.ArgumentParser()
    p.add_argument("mode", choices=("cut", "front"))
    p.add_argument("cuts", type=int)
    p.add_argument("--kernel", required=True)
    p.add_argument("--initrd", required=True)
    p.add_argument("--work", required=True)
    for name in ("options", "sim", "sim-state"):
        p.add_argument("--" + name, required=False)
    p.add_argument("--seed", type=int, default=int(time.time()))
    p.add_argument("--run-span", type=float, default=15.0)
    a = p.parse_args()
    return front(a) if a.mode == "front" else cut(a)


sys.exit(main())
