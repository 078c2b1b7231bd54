#!/usr/bin/env python3
"""An independent model of a whole controller run, compared with a simulated
controller over random option sequences from random starting positions:
standard output, exit status, position file and port bytes must agree.

The model is written from the arm's documented behaviour, not from the C++
code: plain IEEE doubles in the stated order for the pose, exact rational
arithmetic for the bends, and a brute-force check of every pose on the way.

Usage: run_model.py <armctl built with ARMCTL_PORT=sim and no delay> <its state dir> [runs] [seed]
       run_model.py --judgements > tests/data/judgements.txt
       run_model.py --json < questions.json
The second form writes the model's verdicts on single moves near the guards'
limits, the table that the C++ arm model's judgement is checked against. The
third answers a JSON list of questions for the front end's tests, each one of
{"plan": [start, target]}, {"run": [start, ["-H", "200", ...]]} and
{"tip": counters}, with a list of answers in the same order.
"""
import itertools
import json
import math
import os
import random
import subprocess
import sys
from fractions import Fraction

PI = 3.14159265359
DEG = 57.29577951307855
INT32 = (-2**31, 2**31 - 1)
MOTOR = [0x00, 0x02, 0x10, 0x12, 0x20, 0x22, 0x30, 0x32]
STEP = [0x04, 0x80, 0x08, 0x40]

# letter: counter, sign, kind, limit or conditions, motion
POSITION = {'G': (0, +1, 800, ('move', 5, +1)), 'B': (0, -1, -800, ('move', 5, -1)),
            'S': (5, +1, 1600, ('move', 2, +1)), 'X': (5, -1, -2000, ('move', 2, -1)),
            'T': (3, +1, 2000, ('wrist', 4)), 'R': (3, -1, -2000, ('wrist', 3))}
GEOMETRY = {'H': (4, +1, ['tip_height_below'], ('move', 6, +1)),
            'N': (4, -1, ['tip_height_above_far', 'shoulder_angle_above', 'elbow_bend_below'], ('move', 6, -1)),
            'V': (1, +1, ['tip_height_below', 'elbow_bend_below'], ('move', 4, -1)),
            'F': (1, -1, ['tip_height_above', 'wrist_bend_below'], ('move', 4, +1)),
            'E': (2, +1, ['tip_height_below'], ('wrist', 2)), 'W': (2, -1, ['tip_height_above_far'], ('wrist', 1))}
WRIST = {1: (+1, -1), 2: (-1, +1), 3: (+1, +1), 4: (-1, -1)}


def segment(r, count, per):
    theta = float(count) * per
    a = theta * PI / 180
    return [math.cos(a) * r, math.sin(a) * r, r, theta]


def pose(c4, c1, c2):
    s, e, w = segment(7.5, c4, 0.0407), segment(7.5, c1, 0.0324), segment(4.5, c2, 0.0402)
    x = w[0] + e[0] + s[0]
    y = w[1] + e[1] + s[1]
    t = [x, y, math.sqrt(x * x + y * y), math.atan(y / x) * DEG]
    return {'base': [0.0, 9.5, 9.5, 0.0], 'shoulder': s, 'elbow': e, 'wrist': w, 'total': t}


def report(p):
    return ''.join(','.join('%g' % v for v in p[k]) + '\n'
                   for k in ('base', 'shoulder', 'elbow', 'wrist', 'total'))


def holds(cond, p):
    y = p['total'][1]
    return {'tip_height_below': lambda: y < 10, 'tip_height_above': lambda: y > -10,
            'tip_height_above_far': lambda: y > -10.5,
            'shoulder_angle_above': lambda: p['shoulder'][3] > -40,
            'elbow_bend_below': lambda: Fraction(p['elbow'][3]) - Fraction(p['shoulder'][3]) < 50,
            'wrist_bend_below': lambda: Fraction(p['wrist'][3]) - Fraction(p['elbow'][3]) < 80}[cond]()


def strtol0(text):
    s = text.lstrip(' \t\n\v\f\r')
    sign = 1
    if s[:1] in '+-':
        sign = -1 if s[0] == '-' else 1
        s = s[1:]
    if s[:2].lower() == '0x' and s[2:3] and s[2] in '0123456789abcdefABCDEF':
        base, s = 16, s[2:]
    elif s[:1] == '0':
        base = 8
    else:
        base = 10
    digits = '0123456789abcdef'[:base]
    n = 0
    for ch in s:
        if ch.lower() not in digits:
            break
        n = n * base + digits.index(ch.lower())
    return max(INT32[0], min(INT32[1], sign * n))


def cycle(out, p):
    out += [p, p | 1]


def move(out, m, d, steps):
    phase = 0
    for _ in range(max(steps, 0)):
        phase = (phase + 1) % 4 if d == 1 else (phase - 1) % 4
        cycle(out, STEP[phase] | MOTOR[m])
    cycle(out, MOTOR[m] | 0xCC)


def drive(out, how, n):
    if how[0] == 'move':
        move(out, how[1], how[2], n)
    else:
        d1, d3 = WRIST[how[1]]
        for _ in range(n // 10 if n >= 0 else 0):
            move(out, 1, d1, 10)
            move(out, 3, d3, 10)


def model(start, options):
    data, out, port, status = list(start), '', [], 0
    for letter, arg in options:
        cycle(port, 0x34)
        if letter == 'Q':
            out += report(pose(data[4], data[1], data[2]))
            continue
        n = strtol0(arg)
        idx, sign, _, how = POSITION.get(letter) or GEOMETRY[letter]
        target = data[idx] + sign * n
        counts = list(data)
        counts[idx] = target
        shown = data if letter in POSITION else counts
        out += report(pose(shown[4], shown[1], shown[2]))
        if judge(data, letter, n)[0] == 'allowed':
            drive(port, how, n)
            data[idx] = target
        else:
            status = 88
    cycle(port, 0xFC)
    out += ','.join(str(v) for v in data) + '\n'
    return out, status, ''.join('%d ' % v for v in data) + '\n', port


def bend_ties():
    """(shoulder, elbow) counts whose bend rounds to exactly 50 in doubles
    while the exact difference lies below it: only an exact comparison
    allows them."""
    ties = []
    for sc in range(-1300, 1):
        ec = round((50 + sc * 0.0407) / 0.0324)
        for e in (ec - 1, ec, ec + 1):
            a, b = e * 0.0324, sc * 0.0407
            if a - b == 50 and Fraction(a) - Fraction(b) < 50:
                ties.append((sc, e))
    return ties


TIES = bend_ties()


def near_limit(rng, letter, start):
    """A count that brings the move to one unit of its limit, or None."""
    d = rng.choice([-1, 0, 1])
    if letter == 'V' and TIES and rng.random() < 0.5:
        start[4], elbow_count = rng.choice(TIES)
        start[1] = elbow_count - 1 - d
        return 1 + d
    if letter in POSITION:
        idx, sign, limit, _ = POSITION[letter]
        return sign * (limit - start[idx]) + d
    if letter == 'N':  # shoulder angle -40 lies between counts -982 and -983
        return start[4] + 982 + rng.choice([0, 1])
    if letter == 'V':  # elbow bend of 50 against the shoulder where it stands
        return round((50 + start[4] * 0.0407) / 0.0324) - start[1] + d
    if letter == 'F':  # wrist bend of 80 against the elbow
        return start[1] - round((start[2] * 0.0402 - 80) / 0.0324) + d
    return None


def random_start(rng):
    return [rng.randint(-900, 900), rng.randint(-2500, 2500), rng.randint(-3000, 3000),
            rng.randint(-2100, 2100), rng.randint(-2500, 2500), rng.randint(-2100, 1700)]


def random_case(rng):
    start = random_start(rng)
    options = []
    huge_geometry = False  # at most one, so that its start stays out of reach
    for _ in range(rng.randint(0, 5)):
        letter = rng.choice('GBSXTRHNVFEWQ')
        if letter == 'Q':
            options.append(('Q', None))
            continue
        r = rng.random()
        edge = near_limit(rng, letter, start) if r < 0.3 else None
        if edge is not None and 0 <= edge <= 3000:
            arg = str(edge)
        elif r < 0.7:
            arg = str(rng.randint(0, 1200))
        elif r < 0.8:
            arg = str(rng.randint(-50, -1))
        elif r < 0.9:
            arg = rng.choice(['0', '010', '0x1f', '08', '12abc', 'abc', ' +7', '-0'])
        elif letter in POSITION:
            arg = str(rng.choice([2**31 - 1, 2**31 + 5, -2**31, 10**12]))
        elif not huge_geometry:  # a huge count whose end lies outside the counters' range
            huge_geometry = True
            arg = str(rng.choice([2**31 - 1, 2**31 + 5]))
            start[GEOMETRY[letter][0]] = GEOMETRY[letter][1] * 2**30
        else:
            arg = str(rng.randint(0, 1200))
        options.append((letter, arg))
    return start, options


def run_controller(exe, state, start, options):
    with open(os.path.join(state, 'lock.dat'), 'w') as f:
        f.write('0\n')
    with open(os.path.join(state, 'robot_position.dat'), 'w') as f:
        f.write(''.join('%d ' % v for v in start) + '\n')
    log = os.path.join(state, 'port.log')
    if os.path.exists(log):
        os.remove(log)
    argv = [exe]
    for letter, arg in options:
        argv += ['-' + letter] + ([arg] if arg is not None else [])
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    with open(os.path.join(state, 'robot_position.dat')) as f:
        saved = f.read()
    with open(log) as f:
        port = [int(line.split()[1], 16) for line in f]
    return done.stdout, done.returncode, saved, port


def value(cond, p):
    """What a condition compares, as a double (a bend rounded, for people)."""
    return {'shoulder_angle_above': p['shoulder'][3],
            'elbow_bend_below': p['elbow'][3] - p['shoulder'][3],
            'wrist_bend_below': p['wrist'][3] - p['elbow'][3]}.get(cond, p['total'][1])


def judge(start, letter, n):
    """(verdict, counter value at the deciding pose, on the way, value there)."""
    data = list(start)
    idx, sign, conds, _ = POSITION.get(letter) or GEOMETRY[letter]
    target = data[idx] + sign * n
    if n < 0:
        return 'negative_count', target, 0, float(n)
    if letter in POSITION:  # conds is the inclusive limit
        inside = target <= conds if sign > 0 else target >= conds
        return ('allowed' if inside else 'range'), target, 0, float(target)
    if not INT32[0] <= target <= INT32[1]:
        return 'int32_range', target, 0, float(target)

    def at(v):
        counts = list(data)
        counts[idx] = v
        return pose(counts[4], counts[1], counts[2])
    end = at(target)
    for c in conds:
        if not holds(c, end):
            return c, target, 0, value(c, end)
    kept = [c for c in conds if holds(c, at(data[idx]))]
    unit = 1 if target > data[idx] else -1
    for v in range(data[idx] + unit, target, unit):
        p = at(v)
        for c in kept:
            if not holds(c, p):
                return c, v, 1, value(c, p)
    return 'allowed', target, 0, 0.0


# Per counter, the letter that grows it and the one that shrinks it.
JOINT_LETTERS = ['GB', 'VF', 'EW', 'TR', 'HN', 'SX']


def plan(start, target):
    """The planner's rule: one letter per differing counter, its count the
    whole difference; the orders are the permutations of those counters in
    ascending index, tried in lexicographic order, and the first whose every
    move the guard allows, one after the other, is chosen. Returns (allowed,
    options, refusals), a refusal being (order letters, refused index)."""
    differing = [i for i in range(6) if target[i] != start[i]]
    refusals = []
    for order in itertools.permutations(differing):
        data, options, letters = list(start), [], ''
        refused = None
        for place, i in enumerate(order):
            d = target[i] - data[i]
            letter = JOINT_LETTERS[i][0 if d > 0 else 1]
            letters += letter
            if refused is None:
                if abs(d) > INT32[1] or judge(data, letter, abs(d))[0] != 'allowed':
                    refused = place
                else:
                    options += ['-' + letter, str(abs(d))]
                    data[i] = target[i]
        if refused is None:
            return True, options, []
        refusals.append((letters, refused))
    return False, [], refusals


def answer(question):
    """One question of --json."""
    if 'plan' in question:
        allowed, options, refusals = plan(*question['plan'])
        return {'allowed': allowed, 'options': options,
                'refusals': [{'order': o, 'index': i} for o, i in refusals]}
    if 'run' in question:
        start, words = question['run']
        options, i = [], 0
        while i < len(words):
            letter = words[i][1]
            arg = None if letter == 'Q' else words[i + 1]
            options.append((letter, arg))
            i += 1 if arg is None else 2
        out, status, saved, port = model(start, options)
        return {'stdout': out, 'status': status, 'counters': [int(v) for v in saved.split()],
                'port': port}
    c = question['tip']
    total = pose(c[4], c[1], c[2])['total']
    return [total[0], total[1]]


def judgements(rng):
    """Single moves that end within a unit or two of a limit, or pass one on
    the way, from random starts, plus the documented examples."""
    rows = [([0] * 6, 'G', 800), ([0] * 6, 'G', 801), ([0] * 6, 'X', 2000), ([0] * 6, 'S', 1601),
            ([0] * 6, 'N', 982), ([0] * 6, 'N', 983), ([0, 0, 0, 0, -844, 0], 'V', 483),
            ([900, 0, 0, 0, 0, 0], 'G', 0), ([0] * 6, 'H', -5), ([0, 0, 0, 0, 2**31 - 2, 0], 'H', 5),
            ([0, 1235, 995, 0, 0, 0], 'H', 4423), ([0, 0, 840, 0, 0, 0], 'H', 4500)]
    while len(rows) < 240:
        start = random_start(rng)
        letter = rng.choice('GBSXTRHNVFEW')
        n = near_limit(rng, letter, start)
        if n is None:
            n = rng.randint(0, 3000)
        if 0 <= n <= 6000:
            rows.append((start, letter, n))
    for start, letter, n in rows:
        verdict, at, on_the_way, v = judge(start, letter, n)
        print(' '.join(str(c) for c in start), letter, n, verdict, at, on_the_way, repr(v))


def plans(rng):
    """Targets two to four counters away from random starts, each geometry
    counter moved to within a unit of a guard's limit or by a random count:
    a third whose first allowed order is not the first order tried, a third
    allowed, a third with no order allowed."""
    rows = []
    while len(rows) < 160:
        start = random_start(rng)
        target = list(start)
        for letter in rng.sample('GSTHVFEWNB', rng.randint(2, 4)):
            idx = (POSITION.get(letter) or GEOMETRY[letter])[0]
            sign = (POSITION.get(letter) or GEOMETRY[letter])[1]
            n = near_limit(rng, letter, list(start))
            n = rng.randint(1, 1500) if n is None or not 0 < n <= 6000 else n
            target[idx] = start[idx] + sign * n
        allowed, options, refusals = plan(start, target)
        letters = [w[1] for w in options[::2]]
        reordered = letters != sorted(letters, key=lambda l: (POSITION.get(l) or GEOMETRY[l])[0])
        wanted = [reordered, allowed, not allowed]
        if wanted[len(rows) % 3]:
            rows.append((start, target, allowed, options, refusals))
    for start, target, allowed, options, refusals in rows:
        chosen = ''.join(w[1] for w in options[::2]) or '-'
        refused = ','.join('%s:%d' % r for r in refusals) or '-'
        print(' '.join(str(c) for c in start + target), int(allowed), chosen, refused)


def main():
    if sys.argv[1:] == ['--judgements']:
        judgements(random.Random(20261209))
        return 0
    if sys.argv[1:] == ['--plans']:
        plans(random.Random(20261210))
        return 0
    if sys.argv[1:] == ['--json']:
        json.dump([answer(q) for q in json.load(sys.stdin)], sys.stdout)
        return 0
    exe, state = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 500
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 20261208)
    failures = 0
    for i in range(runs):
        start, options = random_case(rng)
        want = model(start, options)
        got = run_controller(exe, state, start, options)
        if got != want:
            failures += 1
            if failures <= 5:
                print('MISMATCH run %d: start %s options %s' % (i, start, options))
                for name, w, g in zip(('stdout', 'status', 'file', 'port'), want, got):
                    if w != g:
                        print('  %s: model %r\n  %s  controller %r' % (name, w, ' ' * len(name), g))
    print('%d passed, %d failed' % (runs - failures, failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
