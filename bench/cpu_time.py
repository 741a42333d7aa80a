#!/usr/bin/env python3
"""Runs a command several times (output to /dev/null) and prints the smallest CPU time (user +
system, in seconds) of one run, measured with getrusage on the finished child, so that other load
on the machine disturbs the figure less than wall-clock time would.

usage: cpu_time.py RUNS [--cwd DIR] -- COMMAND [ARGS...]
Exits non-zero if any run fails.
"""
import os
import resource
import subprocess
import sys

args = sys.argv[1:]
runs = int(args.pop(0))
cwd = None
if args and args[0] == "--cwd":
    cwd = args[1]
    args = args[2:]
if args and args[0] == "--":
    args = args[1:]
best = None
for _ in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(os.devnull, "wb") as null:
        rc = subprocess.call(args, stdout=null, cwd=cwd)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if rc != 0:
        sys.exit(f"command failed with status {rc}: {' '.join(args)}")
    t = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    best = t if best is None else min(best, t)
print(f"{best:.4f}")
