// Helpers of the matrix-format tests: running a peer program, small Datasets
// built in place, and the values of a column.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "test_support.h"

namespace trovadex::test {

inline bool Available(const std::string& probe) {
  std::string out;
  return RunCommand(probe + " >/dev/null 2>&1", &out) == 0;
}

// A Columns Dataset of `rows` rows, made current.
inline Dataset* NewDataset(int32_t rows, const char* name = "") {
  Dataset* d = CreateDataset();
  d->name = name;
  d->rowCount = rows;
  CreateRows(d);
  return d;
}

inline Column* AddNumbers(Dataset* d, const char* name, const std::vector<double>& values,
                          ColumnKind kind = ColumnKind::Variate) {
  Column* c = AddColumn(d, kind, name, 25);
  AllocateValues(c, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetNumber(c, static_cast<int64_t>(i), values[i]);
  return c;
}

inline Column* AddTexts(Dataset* d, const char* name, const std::vector<std::string>& values,
                        ColumnKind kind = ColumnKind::Text) {
  Column* c = AddColumn(d, kind, name, 90);
  AllocateValues(c, static_cast<int32_t>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) SetText(c, static_cast<int64_t>(i), values[i]);
  return c;
}

inline std::vector<double> Numbers(const Column* c) {
  std::vector<double> v;
  for (int64_t i = 0; i < c->valueCount; ++i) v.push_back(GetNumber(c, i));
  return v;
}

inline std::vector<std::string> Texts(const Column* c) {
  std::vector<std::string> v;
  for (int64_t i = 0; i < c->valueCount; ++i) v.emplace_back(GetText(c, i));
  return v;
}

}  // namespace trovadex::test
