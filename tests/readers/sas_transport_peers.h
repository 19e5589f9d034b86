// What the independent readers of SAS transport files (R foreign's
// read.xport, pandas.read_sas) read from a file: one line per column, each
// value as "n" and the C99 hexadecimal text of the number, "t" and the hex
// bytes of a text, or "m" for missing.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace trovadex::test {

struct PeerColumn {
  std::string name;
  std::vector<std::string> cells;
};

struct PeerTable {
  bool ok = false;
  long rows = 0;
  std::vector<PeerColumn> columns;
};

// The row count, then a line per column: its name and its cells.
inline PeerTable ParsePeerOutput(const std::string& out) {
  PeerTable t;
  std::istringstream in(out);
  std::string line;
  if (!std::getline(in, line)) return t;
  t.rows = std::stol(line);
  while (std::getline(in, line)) {
    std::istringstream cells(line);
    PeerColumn c;
    cells >> c.name;
    for (std::string cell; cells >> cell;) c.cells.push_back(cell);
    t.columns.push_back(c);
  }
  t.ok = true;
  return t;
}

inline bool HaveRForeign() {
  return std::system("Rscript -e 'library(foreign)' >/dev/null 2>&1") == 0;
}
inline bool HavePandas() { return std::system("/usr/bin/python3 -c 'import pandas' >/dev/null 2>&1") == 0; }

// The first member of `file` as R foreign reads it (`dir` holds the script).
inline PeerTable ReadWithR(const std::string& file, const TempDir& dir) {
  WriteFile(dir / "dump.R", R"(args <- commandArgs(trailingOnly = TRUE)
suppressMessages(library(foreign))
d <- read.xport(args[1])
if (!is.data.frame(d)) d <- d[[1]]
cat(nrow(d), "\n")
for (n in names(d)) {
  v <- d[[n]]
  out <- if (is.character(v) || is.factor(v)) {
    v <- as.character(v)
    ifelse(is.na(v), "m", paste0("t", vapply(v, function(s) paste(as.character(charToRaw(s)), collapse = ""), "")))
  } else {
    v <- as.numeric(v)
    ifelse(is.na(v), "m", paste0("n", sprintf("%a", v)))
  }
  cat(n, out, "\n")
}
)");
  std::string out;
  if (RunCommand("Rscript " + (dir / "dump.R") + " " + file + " 2>/dev/null", &out) != 0) return {};
  return ParsePeerOutput(out);
}

// The file as pandas.read_sas reads it.
inline PeerTable ReadWithPandas(const std::string& file, const TempDir& dir) {
  WriteFile(dir / "dump.py", R"(import sys, math, pandas
d = pandas.read_sas(sys.argv[1], format='xport')
print(len(d))
for c in d.columns:
    out = []
    for v in d[c]:
        if isinstance(v, bytes): out.append('t' + v.hex())
        elif v is None or math.isnan(v): out.append('m')
        else: out.append('n' + float(v).hex())
    print(c, ' '.join(out))
)");
  std::string out;
  if (RunCommand("/usr/bin/python3 " + (dir / "dump.py") + " " + file + " 2>/dev/null", &out) != 0) return {};
  return ParsePeerOutput(out);
}

// The text of a "t" cell.
inline std::string PeerText(const std::string& cell) {
  std::string text;
  for (std::size_t i = 1; i + 1 < cell.size(); i += 2) text += static_cast<char>(std::stoi(cell.substr(i, 2), nullptr, 16));
  return text;
}

inline double PeerNumber(const std::string& cell) { return std::strtod(cell.c_str() + 1, nullptr); }

}  // namespace trovadex::test
