#!/usr/bin/env python3
"""Runs a 64-bit and a 32-bit build of the simulated controller side by side
on the same start positions and options, and fails unless both give the same
standard output, standard error, exit status, position file, lock file and
sequence of port bytes, byte for byte.

Usage: m32_compare.py EXE64 DIR64 EXE32 DIR32 [--cases N] [--seed S]

Each EXE is a controller built with ARMCTL_PORT=sim, ARMCTL_DELAY_NS=0 and
its own state directory DIR compiled in. The start positions mix poses whose
report digits or guard decisions turn on the last bit of a double (the
poses of tests/data/pose_reports.txt, and bends within a hair of their limits),
plain random counters, and damaged position files."""
import argparse
import concurrent.futures
import os
import random
import subprocess
import sys
import time

SHOULDER_PER_COUNT, ELBOW_PER_COUNT, WRIST_PER_COUNT = 0.0407, 0.0324, 0.0402
GEOMETRY_LETTERS = "HNVFEW"
POSITION_LETTERS = "GBSXTR"
COUNT_TEXTS = ["0", "010", "0x10", "08", "12abc", "abc", "", "-5", "+7", " 9", "0X1f",
               "-99999999999", "-2147483648"]
# Counts that saturate at the top of the 32-bit range: only for the position
# letters, whose fixed ranges refuse them. A geometry letter would check, and
# then step, every counter unit on the way.
HUGE_TEXTS = ["99999999999", "2147483647", "4294967296"]


def near_limit(limit, per_a, per_b, span, keep=400):
    """The `keep` counter pairs (a, b) with |b| <= span where a*per_a - b*per_b
    lies nearest `limit`: the bends that the exact comparison must decide
    alike. (An elbow bend can come within 1e-15 of 50; a wrist bend never
    gets nearer 80 than about 1e-4.)"""
    pairs = []
    for b in range(-span, span + 1):
        a = round((limit + b * per_b) / per_a)
        for a2 in (a - 1, a, a + 1):
            pairs.append((abs(a2 * per_a - b * per_b - limit), a2, b))
    pairs.sort()
    return [(a, b) for _, a, b in pairs[:keep]], pairs[keep - 1][0]


def load_sensitive_poses(path):
    poses = []
    with open(path) as f:
        lines = f.read().split("\n")
    for i in range(0, len(lines) - 5, 6):
        c4, c1, c2 = (int(v) for v in lines[i].split())
        poses.append((c4, c1, c2))
    return poses


def position_text(c):
    return "".join("%d " % v for v in c) + "\n"


def damaged(rng, c):
    """A position file that the reader must take apart the same way everywhere."""
    words = [str(v) for v in c]
    kind = rng.randrange(7)
    if kind == 0:
        words[rng.randrange(6)] = rng.choice(["x", "-", "+", "--1", "1e3", "0x10"])
    elif kind == 1:
        words = words[:rng.randrange(6)]
    elif kind == 2:
        words[rng.randrange(6)] = rng.choice(["2147483648", "-2147483649", "99999999999999999999"])
    elif kind == 3:
        return "\n\t ".join(words) + rng.choice(["", "\n", " junk"])
    elif kind == 4:
        words = ["+" + w if not w.startswith("-") else w for w in words]
    elif kind == 5:
        return ""
    else:
        return None  # no position file at all
    return " ".join(words) + "\n"


class Cases:
    def __init__(self, rng, poses):
        self.rng = rng
        self.poses = poses
        self.bend50, self.within50 = near_limit(50.0, ELBOW_PER_COUNT, SHOULDER_PER_COUNT, 60000)
        self.bend80, self.within80 = near_limit(80.0, WRIST_PER_COUNT, ELBOW_PER_COUNT, 60000)

    def random_counters(self):
        r = self.rng
        c = [r.randint(-900, 900), r.randint(-4000, 4000), r.randint(-4000, 4000),
             r.randint(-2100, 2100), r.randint(-4000, 4000), r.randint(-2100, 1700)]
        if r.random() < 0.1:
            c = [r.randint(-2**31, 2**31 - 1) for _ in range(6)]
        return c

    def random_option(self):
        r = self.rng
        roll = r.random()
        if roll < 0.1:
            return ["-Q"]
        if roll < 0.16:
            return ["-" + r.choice(POSITION_LETTERS + GEOMETRY_LETTERS) + r.choice(COUNT_TEXTS)]
        if roll < 0.18:
            return ["-" + r.choice(POSITION_LETTERS), r.choice(HUGE_TEXTS)]
        if roll < 0.2:
            return [r.choice(["-Z", "-QQ", "stray", "-G"])]
        letter = r.choice(GEOMETRY_LETTERS + POSITION_LETTERS)
        return ["-" + letter, str(r.choice([r.randint(0, 40), r.randint(0, 3000)]))]

    def targeted(self, c):
        """A start one short move away from a bend limit, and that move."""
        r = self.rng
        k = r.randint(1, 40)
        kind = r.randrange(4)
        if kind == 0:  # V raises the elbow's bend towards 50
            e, s = r.choice(self.bend50)
            c[1], c[4] = e - k, s
            return ["-V", str(k)]
        if kind == 1:  # N lowers the shoulder: the elbow's bend grows
            e, s = r.choice(self.bend50)
            c[1], c[4] = e, s + k
            return ["-N", str(k)]
        if kind == 2:  # F lowers the elbow: the wrist's bend grows
            w, e = r.choice(self.bend80)
            c[2], c[1] = w, e + k
            return ["-F", str(k)]
        c[4] = r.choice([-982, -983, -981, -984]) + k  # shoulder angle near -40
        return ["-N", str(k)]

    def make(self):
        r = self.rng
        c = self.random_counters()
        args = []
        roll = r.random()
        if roll < 0.4:
            c[4], c[1], c[2] = r.choice(self.poses)
            args.append("-Q")
        elif roll < 0.8:
            args += self.targeted(c)
        for _ in range(r.randint(1, 6)):
            args += self.random_option()
        if r.random() < 0.5:
            args.append("-Q")
        text = damaged(r, c) if r.random() < 0.1 else position_text(c)
        return text, args


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def port_bytes(log):
    """The bytes of the port log without their time stamps."""
    if log is None:
        return None
    return [line.split(b" ")[1] for line in log.splitlines()]


def run_one(exe, state, text, args):
    for name in ("port.log", "robot_position.dat"):
        try:
            os.unlink(os.path.join(state, name))
        except FileNotFoundError:
            pass
    with open(os.path.join(state, "lock.dat"), "w") as f:
        f.write("0\n")
    if text is not None:
        with open(os.path.join(state, "robot_position.dat"), "w") as f:
            f.write(text)
    p = subprocess.run([exe] + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return {
        "status": p.returncode,
        "stdout": p.stdout,
        "stderr": p.stderr.replace(exe.encode(), b"armctl"),
        "position file": read(os.path.join(state, "robot_position.dat")),
        "lock file": read(os.path.join(state, "lock.dat")),
        "port bytes": port_bytes(read(os.path.join(state, "port.log"))),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe64")
    ap.add_argument("dir64")
    ap.add_argument("exe32")
    ap.add_argument("dir32")
    ap.add_argument("--cases", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--poses", default=os.path.join(os.path.dirname(__file__), "..", "tests",
                                                    "data", "pose_reports.txt"))
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else int(time.time())
    print("m32 compare: seed %d, %d cases" % (seed, a.cases), flush=True)
    rng = random.Random(seed)
    cases = Cases(rng, load_sensitive_poses(a.poses))
    print("m32 compare: start poses include the %d elbow bends nearest 50 (within %.1e) and"
          " the %d wrist bends nearest 80 (within %.1e)" % (len(cases.bend50), cases.within50,
                                                          len(cases.bend80), cases.within80),
          flush=True)

    # The bend that lies 1.8e-15 below 50 must be allowed by both builds.
    fixed = [(position_text([0] * 6), ["-N", "844", "-V", "483"])]
    work = fixed + [cases.make() for _ in range(a.cases)]

    failures = 0
    reports = moves = 0
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for i, (text, args) in enumerate(work):
            f64 = pool.submit(run_one, a.exe64, a.dir64, text, args)
            f32 = pool.submit(run_one, a.exe32, a.dir32, text, args)
            r64, r32 = f64.result(), f32.result()
            reports += sum(1 for l in r64["stdout"].split(b"\n") if l.count(b",") == 3) // 5
            moves += sum(1 for x in args if len(x) > 1 and x[0] == "-" and x[1] != "Q")
            diff = [k for k in r64 if r64[k] != r32[k]]
            if i == 0 and (r64["status"], r32["status"]) != (0, 0):
                diff.append("status of -N 844 -V 483 (must be 0)")
            if i == 0 and not r64["stdout"].endswith(b"0,483,0,0,-844,0\n"):
                diff.append("summary of -N 844 -V 483")
            if diff:
                failures += 1
                if failures <= 10:
                    print("MISMATCH in %s, position file %r, options %r" % (diff, text, args))
                    for k in diff:
                        if k in r64:
                            print("  64-bit %s: %r\n  32-bit %s: %r" % (k, r64[k], k, r32[k]))
    elapsed = time.monotonic() - started
    print("m32 compare: %d runs per build, %d report blocks, %d options with counts, %.0f s"
          % (len(work), reports, moves, elapsed))
    print("m32 compare: %d runs alike, %d differ" % (len(work) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
