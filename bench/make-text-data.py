#!/usr/bin/env python3
"""Writes a deterministic CSV for the delimited text benchmark.

usage: make-text-data.py OUT.csv [ROWS]

1,000,000 rows x 10 columns by default (about 80 MB): numbers with up to
17 significant digits, integers, and texts (some quoted with a comma).
"""
import random
import sys

out = sys.argv[1]
rows = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
rng = random.Random(20240611)
names = ["Ann", "Bob", "Chloe", "Dmitri", "Eve", "Fiona", "Gunter", "Hana", "Ivan", "Jose",
         "Kevin", "Li", "Mary", "Noel", "Olu", "Pat", "Quinn", "Rosa", "Soren", "Tom"]
cities = ["Oslo", "Lyon", "Kyoto", "Dublin", "Nairobi", "\"Zurich, CH\"", "New York", "Krakow",
          "Sao Paulo", "Reykjavik", "\"Cape Town, ZA\""]
codes = ["A1", "B2", "C3", "D4", "E5", "F6"]
with open(out, "w", newline="") as f:
    f.write("id,height,weight,name,city,count,delta,code,ratio,note\n")
    lines = []
    for i in range(1, rows + 1):
        height = round(rng.uniform(20, 200), 2)
        weight = rng.random() * 1000.0
        name = rng.choice(names) + " " + rng.choice(names)
        city = rng.choice(cities)
        count = rng.randint(0, 500)
        delta = "*" if rng.random() < 0.02 else repr(round(rng.gauss(0, 100), 4))
        code = rng.choice(codes)
        ratio = repr(rng.random())
        note = "ok" if rng.random() < 0.9 else "check"
        lines.append(f"{i},{height},{weight:.6f},{name},{city},{count},{delta},{code},{ratio},{note}\n")
        if len(lines) >= 10000:
            f.writelines(lines)
            lines = []
    f.writelines(lines)
