#!/usr/bin/env python3
"""Writes the table of hardware runs: one line per run,
`id|mode|start|options`, where mode is the caller's setup (root, user, cap,
suid), start is the position file's text before the run (`none`: no file)
and options are the controller's arguments, separated by spaces.

Usage: cases.py SEED RANDOM_RUNS > cases.txt

The worked examples come first, then random option sequences from random
starts, each under a random caller setup. Counts stay small: every step is
two port writes through an emulated CPU."""
import random
import sys

LETTERS = "GBSXTRHNVFEW"
COUNTS = ["0", "1", "2", "7", "10", "25", "40", "010", "0x10", "08", "12abc", "abc", "-5"]
# Only for the position letters: a geometry letter checks every counter unit
# on its way, which for a saturated count is billions of poses.
HUGE = ["99999999999", "2147483647"]
MODES = ["root", "user", "cap", "suid"]

# The worked examples, checked against fixed expectations in compare.py too.
WORKED = [
    ("root", "0 0 0 0 0 0 \n", "-G 2"),
    ("root", "0 0 0 0 0 0 \n", "-H 200"),
    ("root", "0 0 0 0 0 0 \n", "-Q"),
    ("user", "0 -500 30 0 1000 12 \n", "-G 2"),
    ("cap", "0 0 0 0 0 0 \n", "-G 2"),
    ("suid", "0 0 0 0 0 0 \n", "-G 2"),
    ("cap", "0 -500 30 0 1000 12 \n", "-H 10 -V 5 -W 20 -Q"),
    ("suid", "0 -500 30 0 1000 12 \n", "-N 10 -F 5 -E 20 -R 15 -T 3"),
    ("root", "none", "-S 3 -X 1"),
    ("root", "799 0 0 0 0 0 \n", "-G 2 -B 1"),
]


def random_start(rng):
    if rng.random() < 0.05:
        return "none"
    c = [rng.randint(-800, 800), rng.randint(-700, 700), rng.randint(-900, 900),
         rng.randint(-2000, 2000), rng.randint(-900, 900), rng.randint(-2000, 1600)]
    return "".join("%d " % v for v in c) + "\n"


def random_options(rng):
    words = []
    for _ in range(rng.randint(1, 4)):
        letter = rng.choice(LETTERS + "Q")
        if letter == "Q":
            words.append("-Q")
        else:
            counts = COUNTS + [str(rng.randint(0, 120))] + (HUGE if letter in "GBSXTR" else [])
            words += ["-" + letter, rng.choice(counts)]
    return " ".join(words)


def main():
    seed, runs = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    table = list(WORKED)
    table += [(rng.choice(MODES), random_start(rng), random_options(rng)) for _ in range(runs)]
    for i, (mode, start, options) in enumerate(table):
        print("%d|%s|%s|%s" % (i, mode, start.rstrip("\n"), options))


main()
