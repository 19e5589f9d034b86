#!/usr/bin/env python3
"""Deterministic benchmark inputs (fixed seed; the same bytes on every run).

usage: make-data.py csv OUT.csv ROWS
       make-data.py dbf IN.csv OUT.dbf
       make-data.py xls IN.csv OUT.xls ROWS
       make-data.py dta IN.csv OUT.dta [RELEASE]   (default 117)
       make-data.py shp IN.csv OUT.shp ROWS

The table has ten columns:
  id      whole numbers 1..ROWS
  height  two decimals, 1% missing (empty field)
  value   1 to 17 significant digits in turn, magnitudes 1e-3 .. 1e6, 1% missing
  name    text, about 400 distinct values
  city    text, 11 distinct values (two quoted, holding a comma)
  count   whole numbers 0..500, 2% missing
  delta   four decimals around 0, 2% missing
  code    text, 6 distinct values
  ratio   17 significant digits in [0, 1)
  note    text, a million distinct values
"""
import csv
import random
import struct
import sys

NAMES = ["Ann", "Bob", "Chloe", "Dmitri", "Eve", "Fiona", "Gunter", "Hana", "Ivan", "Jose",
         "Kevin", "Li", "Mary", "Noel", "Olu", "Pat", "Quinn", "Rosa", "Soren", "Tom"]
CITIES = ["Oslo", "Lyon", "Kyoto", "Dublin", "Nairobi", "\"Zurich, CH\"", "New York", "Krakow",
          "Sao Paulo", "Reykjavik", "\"Cape Town, ZA\""]
CODES = ["A1", "B2", "C3", "D4", "E5", "F6"]
HEADER = ["id", "height", "value", "name", "city", "count", "delta", "code", "ratio", "note"]
NUMERIC = ["id", "height", "value", "count", "delta", "ratio"]


def make_csv(out, rows):
    rng = random.Random(20240611)
    with open(out, "w", newline="") as f:
        f.write(",".join(HEADER) + "\n")
        lines = []
        for i in range(1, rows + 1):
            height = "" if rng.random() < 0.01 else repr(round(rng.uniform(20, 200), 2))
            digits = 1 + i % 17
            x = rng.random() * 10.0 ** rng.randint(-3, 5)
            value = "" if rng.random() < 0.01 else repr(float(f"{x:.{digits}g}"))
            name = rng.choice(NAMES) + " " + rng.choice(NAMES)
            city = rng.choice(CITIES)
            count = "" if rng.random() < 0.02 else str(rng.randint(0, 500))
            delta = "" if rng.random() < 0.02 else repr(round(rng.gauss(0, 100), 4))
            code = rng.choice(CODES)
            ratio = repr(rng.random())
            note = f"lot {rng.randrange(10 ** 7):07d}"
            lines.append(f"{i},{height},{value},{name},{city},{count},{delta},{code},{ratio},{note}\n")
            if len(lines) >= 10000:
                f.writelines(lines)
                lines = []
        f.writelines(lines)


def read_rows(path, limit=None):
    with open(path, newline="") as f:
        reader = csv.reader(f)
        next(reader)
        for n, row in enumerate(reader):
            if limit is not None and n >= limit:
                break
            yield row


def make_dbf(src, out):
    """dBase III file: numbers as N fields, texts as C fields."""
    widths = {"id": (8, 0), "height": (8, 2), "value": (24, 10), "count": (4, 0), "delta": (12, 4),
              "ratio": (24, 18), "name": (16, 0), "city": (14, 0), "code": (2, 0), "note": (11, 0)}
    rows = sum(1 for _ in read_rows(src))
    fields = b""
    for name in HEADER:
        width, decimals = widths[name]
        kind = b"N" if name in NUMERIC else b"C"
        fields += name.upper().encode().ljust(11, b"\0") + kind + b"\0" * 4 + bytes([width, decimals]) + b"\0" * 14
    header_size = 32 + len(fields) + 1
    record_size = 1 + sum(w for w, _ in widths.values())
    with open(out, "wb") as f:
        f.write(struct.pack("<BBBBIHH20x", 3, 124, 6, 11, rows, header_size, record_size))
        f.write(fields + b"\r")
        block = []
        for row in read_rows(src):
            rec = [b" "]
            for name, text in zip(HEADER, row):
                width, _ = widths[name]
                data = text.encode("latin-1")[:width]
                rec.append(data.rjust(width) if name in NUMERIC else data.ljust(width))
            block.append(b"".join(rec))
            if len(block) >= 10000:
                f.write(b"".join(block))
                block = []
        f.write(b"".join(block) + b"\x1a")


def make_shp(src, out, rows):
    """Point shapefile (.shp, .shx, .dbf): one point per row, placed by the
    row's ratio and id, with five attributes of the row (id, name, city,
    count, delta)."""
    base = out[:-4]
    fields = [("id", b"N", 8, 0), ("name", b"C", 16, 0), ("city", b"C", 14, 0),
              ("count", b"N", 4, 0), ("delta", b"N", 12, 4)]
    index = {name: i for i, name in enumerate(HEADER)}
    n = sum(1 for _ in read_rows(src, rows))
    record = 8 + 20
    length = 100 + n * record
    box = struct.pack("<4d", -180.0, -90.0, 180.0, 90.0)

    def header(words):
        return struct.pack(">7i", 9994, 0, 0, 0, 0, 0, words) + struct.pack("<2i", 1000, 1) + box + b"\0" * 32

    descriptors = b""
    for name, kind, width, decimals in fields:
        descriptors += name.upper().encode().ljust(11, b"\0") + kind + b"\0" * 4 + bytes([width, decimals]) + b"\0" * 14
    with open(out, "wb") as shp, open(base + ".shx", "wb") as shx, open(base + ".dbf", "wb") as dbf:
        shp.write(header(length // 2))
        shx.write(header((100 + 8 * n) // 2))
        dbf.write(struct.pack("<BBBBIHH20x", 3, 124, 6, 11, n, 32 + len(descriptors) + 1,
                              1 + sum(f[2] for f in fields)))
        dbf.write(descriptors + b"\r")
        shps, shxs, dbfs = [], [], []
        for i, row in enumerate(read_rows(src, rows)):
            x = -180.0 + 360.0 * float(row[index["ratio"]])
            y = -90.0 + (i * 0.000179) % 180.0
            shps.append(struct.pack(">2i", i + 1, 10) + struct.pack("<i2d", 1, x, y))
            shxs.append(struct.pack(">2i", (100 + i * record) // 2, 10))
            rec = [b" "]
            for name, kind, width, _ in fields:
                data = row[index[name]].encode("latin-1")[:width]
                rec.append(data.ljust(width) if kind == b"C" else data.rjust(width))
            dbfs.append(b"".join(rec))
            if len(shps) >= 10000:
                shp.write(b"".join(shps)), shx.write(b"".join(shxs)), dbf.write(b"".join(dbfs))
                shps, shxs, dbfs = [], [], []
        shp.write(b"".join(shps)), shx.write(b"".join(shxs)), dbf.write(b"".join(dbfs) + b"\x1a")


def make_xls(src, out, rows):
    import xlwt
    book = xlwt.Workbook()
    sheet = book.add_sheet("Data")
    for c, name in enumerate(HEADER):
        sheet.write(0, c, name)
    for r, row in enumerate(read_rows(src, rows), start=1):
        for c, (name, text) in enumerate(zip(HEADER, row)):
            if text == "":
                continue
            sheet.write(r, c, float(text) if name in NUMERIC else text)
    book.save(out)


def make_dta(src, out, version=117):
    import pandas
    frame = pandas.read_csv(src)
    frame.to_stata(out, write_index=False, version=version)


def main():
    what = sys.argv[1]
    if what == "csv":
        make_csv(sys.argv[2], int(sys.argv[3]))
    elif what == "dbf":
        make_dbf(sys.argv[2], sys.argv[3])
    elif what == "xls":
        make_xls(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif what == "shp":
        make_shp(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif what == "dta":
        make_dta(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 117)
    else:
        sys.exit("unknown kind " + what)


if __name__ == "__main__":
    main()
