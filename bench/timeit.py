#!/usr/bin/env python3
"""Runs one command and prints 'wall user sys maxrssKB' (microsecond CPU times
from wait4, unlike /usr/bin/time's hundredths). Exit status: the command's.

usage: timeit.py OUTFILE COMMAND [ARGS...]
"""
import os
import subprocess
import sys
import time

out = sys.argv[1]
start = time.perf_counter()
child = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
wall = time.perf_counter() - start
with open(out, "w") as f:
    f.write(f"{wall:.4f} {usage.ru_utime:.4f} {usage.ru_stime:.4f} {usage.ru_maxrss}\n")
sys.exit(os.waitstatus_to_exitcode(status))
