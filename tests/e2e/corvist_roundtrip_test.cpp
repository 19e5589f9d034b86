// End to end: delimited text files of the shared corpus go through the built
// program into Corvist command files, which a small independent parser reads
// back (declarations and the values after each READ, up to ":").
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/dataset.h"
#include "readers/readers.h"
#include "test_support.h"

namespace trovadex {
namespace {

struct Structure {
  std::string kind;  // VARIATE, TEXT, FACTOR
  long nvalues = -1;
  std::vector<std::string> levels;  // inline or from _levels_
  std::vector<std::string> labels;  // inline or from _labels_
  long levelCount = -1;
  bool read = false;
  std::vector<std::string> values;  // data tokens; texts unquoted
  bool quoted = false;
};

struct CommandFile {
  std::map<std::string, Structure> structures;
  std::vector<std::string> deleted;
  std::vector<std::string> restricted;
  std::vector<std::string> units;
  std::string ending;
  std::string error;
};

class Parser {
 public:
  explicit Parser(std::string text) : s_(std::move(text)) {}

  CommandFile Parse() {
    CommandFile out;
    while (pos_ < s_.size() && out.error.empty()) {
      std::string line = Line();
      if (line.empty()) continue;
      if (line.front() == '"') continue;  // comment
      if (line.rfind("DELETE [Redefine=yes] _stitle_", 0) == 0) {
        std::vector<std::string> title;
        bool quoted = false;
        if (!Data(title, quoted, out.error)) break;
        Line();  // the PRINT statement
        continue;
      }
      Statement(line, out);
    }
    return out;
  }

 private:
  // The next statement line, with continuations joined.
  std::string Line() {
    std::string line;
    while (pos_ < s_.size()) {
      std::size_t end = s_.find('\n', pos_);
      if (end == std::string::npos) end = s_.size();
      std::string piece = s_.substr(pos_, end - pos_);
      pos_ = end + 1;
      if (!piece.empty() && piece.back() == '\\') {
        piece.pop_back();
        line += piece;
        continue;
      }
      line += piece;
      break;
    }
    return line;
  }

  // Data tokens up to ":"; quoted texts unquoted.
  bool Data(std::vector<std::string>& values, bool& quoted, std::string& error) {
    for (;;) {
      while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n')) ++pos_;
      if (pos_ >= s_.size()) {
        error = "data without ':'";
        return false;
      }
      if (s_[pos_] == '\'') {
        quoted = true;
        std::string text;
        ++pos_;
        for (;;) {
          if (pos_ >= s_.size()) {
            error = "open quote";
            return false;
          }
          char c = s_[pos_++];
          if (c == '\'') {
            if (pos_ < s_.size() && s_[pos_] == '\'') {
              text.push_back('\'');
              ++pos_;
              continue;
            }
            break;
          }
          if (c == '\n') {
            error = "line end inside a text";
            return false;
          }
          // Double quote, backslash and backquote are doubled inside texts.
          if ((c == '"' || c == '\\' || c == '`') && pos_ < s_.size() && s_[pos_] == c) ++pos_;
          text.push_back(c);
        }
        values.push_back(text);
        continue;
      }
      std::size_t start = pos_;
      while (pos_ < s_.size() && s_[pos_] != ' ' && s_[pos_] != '\n') ++pos_;
      std::string token = s_.substr(start, pos_ - start);
      if (token == ":") {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
        ++pos_;
        return true;
      }
      values.push_back(token);
    }
  }

  static std::vector<std::string> SplitTop(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    int depth = 0;
    bool inQuote = false;
    for (char c : text) {
      if (c == '\'') inQuote = !inQuote;
      if (!inQuote && c == '(') ++depth;
      if (!inQuote && c == ')') --depth;
      if (!inQuote && depth == 0 && c == separator) {
        parts.push_back(current);
        current.clear();
        continue;
      }
      current.push_back(c);
    }
    parts.push_back(current);
    return parts;
  }

  static std::vector<std::string> List(const std::string& value, bool quoted) {
    // "!(a,b)" or "!t('a','b')"
    std::size_t open = value.find('(');
    std::string inner = value.substr(open + 1, value.size() - open - 2);
    std::vector<std::string> items = SplitTop(inner, ',');
    if (quoted) {
      for (std::string& item : items) {
        std::string text;
        for (std::size_t i = 1; i + 1 < item.size(); ++i) {
          text.push_back(item[i]);
          char c = item[i];
          if ((c == '\'' || c == '"' || c == '\\' || c == '`') && i + 2 < item.size() && item[i + 1] == c) ++i;
        }
        item = text;
      }
    }
    return items;
  }

  void Statement(const std::string& line, CommandFile& out) {
    auto startsWith = [&](const char* word) { return line.rfind(word, 0) == 0; };
    if (startsWith("VARIATE [") || startsWith("TEXT [") || startsWith("FACTOR [")) {
      Structure st;
      st.kind = line.substr(0, line.find(' '));
      std::size_t close = line.find("] ");
      std::string options = line.substr(line.find('[') + 1, close - line.find('[') - 1);
      std::string rest = line.substr(close + 2);
      std::string name = rest.substr(0, rest.find(';'));
      for (const std::string& option : SplitTop(options, ';')) {
        std::size_t eq = option.find('=');
        if (eq == std::string::npos) continue;
        std::string key = option.substr(0, eq);
        std::string value = option.substr(eq + 1);
        if (key == "nvalues" && value != "*") st.nvalues = std::atol(value.c_str());
        if (key == "levels") {
          if (value == "!(#_levels_)") {
            st.levels = structures_["_levels_"].values;
          } else if (value.rfind("!(", 0) == 0) {
            st.levels = List(value, false);
          } else {
            st.levelCount = std::atol(value.c_str());
          }
        }
        if (key == "labels") {
          st.labels = value == "!t(#_labels_)" ? structures_["_labels_"].values : List(value, true);
        }
      }
      if (name == "_levels_" || name == "_labels_") {
        structures_[name] = st;
        return;
      }
      out.structures[name] = st;
      return;
    }
    if (startsWith("READ ")) {
      std::string rest = line.substr(5);
      if (!rest.empty() && rest.front() == '[') rest = rest.substr(rest.find("] ") + 2);
      std::string name = rest.substr(0, rest.find(';'));
      Structure* st = nullptr;
      if (name == "_levels_" || name == "_labels_") {
        st = &structures_[name];
      } else if (name == "_rest_") {
        st = &structures_[name];
      } else if (out.structures.count(name)) {
        st = &out.structures[name];
      } else {
        out.error = "READ of undeclared " + name;
        return;
      }
      st->read = true;
      Data(st->values, st->quoted, out.error);
      return;
    }
    if (startsWith("DELETE [redefine=yes] ")) {
      for (const std::string& n : SplitTop(line.substr(22), ',')) out.deleted.push_back(n);
      return;
    }
    if (startsWith("RESTRICT ")) {
      std::string list = line.substr(9);
      list = list.substr(0, list.find(';'));
      for (const std::string& n : SplitTop(list, ',')) out.restricted.push_back(n);
      return;
    }
    if (startsWith("UNITS ")) {
      out.units.push_back(line.substr(6));
      return;
    }
    if (startsWith("RETURN") || startsWith("ENDBREAK")) {
      out.ending = line;
      return;
    }
    if (startsWith("POINTER") || startsWith("PRINT")) return;
    out.error = "unknown statement: " + line;
  }

  std::string s_;
  std::size_t pos_ = 0;
  std::map<std::string, Structure> structures_;
};

std::string Sanitized(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, kTextLength)) {
    unsigned char u = static_cast<unsigned char>(c);
    out.push_back(u < 32 || u >= 128 ? ' ' : c);
  }
  return out;
}

bool ParseNumber(const std::string& token, double& value) {
  auto r = std::from_chars(token.data(), token.data() + token.size(), value);
  return r.ec == std::errc() && r.ptr == token.data() + token.size();
}

// Number columns of the independent expected file, by column index: the
// values as Python prints them (shortest round trip), "*" for an empty cell.
std::map<int, std::vector<std::string>> ExpectedNumbers(const std::string& json) {
  std::map<int, std::vector<std::string>> columns;
  if (!std::filesystem::exists("/usr/bin/python3")) return columns;
  std::string command =
      "/usr/bin/python3 -c \"import json,sys\n"
      "d=json.load(open(sys.argv[1]))\n"
      "for i,c in enumerate(d['columns']):\n"
      "  if c['type']=='number': print(i, ' '.join('*' if v is None else repr(float(v)) for v in c['values']))\" '" +
      json + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return columns;
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  pclose(pipe);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    int index = 0;
    fields >> index;
    std::string value;
    while (fields >> value) columns[index].push_back(value);
  }
  return columns;
}

class CorvistRoundTrip : public test::StateTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CorvistRoundTrip, ValuesAndNamesComeBack) {
  TROVADEX_NEED_SHARED();
  const std::string input = test::SharedDir() + "/corpus/delimited/" + GetParam();
  ASSERT_TRUE(std::filesystem::exists(input)) << input;
  test::TempDir dir;
  std::string ext = std::filesystem::path(input).extension().string();
  std::filesystem::copy_file(input, dir / ("trial" + ext));
  test::RunResult run = test::RunTrovadex({"trial" + ext, "trial.crv"}, dir.path().string());
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string bytes = test::ReadFile(dir / "trial.crv");
  ASSERT_FALSE(bytes.empty());

  // Every line ends in CR LF.
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r') {
      ASSERT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == '\n') << "lone CR at " << i;
      continue;
    }
    if (bytes[i] == '\n') {
      ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
    }
    text.push_back(bytes[i]);
  }
  CommandFile parsed = Parser(text).Parse();
  ASSERT_TRUE(parsed.error.empty()) << parsed.error;
  EXPECT_EQ(parsed.ending, "RETURN [CLOSE=yes]");

  // The same input read in this process gives the Dataset to compare with.
  ASSERT_EQ(ReadDelimitedText(input.c_str()), 1);
  Dataset* d = CurrentDataset();
  ASSERT_NE(d, nullptr);
  std::map<int, std::vector<std::string>> expected =
      ExpectedNumbers(input.substr(0, input.size() - ext.size()) + ".expected.json");

  std::vector<std::string> names;
  int index = 0;
  for (Column* c = d->firstColumn->next; c != nullptr; c = c->next, ++index) {
    names.push_back(c->name);
    SCOPED_TRACE(c->name);
    ASSERT_EQ(parsed.structures.count(c->name), 1u);
    const Structure& st = parsed.structures[c->name];
    ASSERT_TRUE(st.read);
    ASSERT_EQ(static_cast<long>(st.values.size()), c->valueCount);
    ASSERT_EQ(st.nvalues, c->valueCount);
    if (IsTextKind(c->kind)) {
      EXPECT_EQ(st.kind, "TEXT");
      for (int64_t i = 0; i < c->valueCount; ++i) EXPECT_EQ(st.values[i], Sanitized(GetText(c, i))) << i;
    } else if (c->kind == ColumnKind::Factor) {
      EXPECT_EQ(st.kind, "FACTOR");
      for (int64_t i = 0; i < c->valueCount; ++i) {
        double v = GetNumber(c, i);
        std::string want = (v >= 1 && v <= c->levelCount) ? std::to_string(static_cast<long>(v)) : "*";
        EXPECT_EQ(st.values[i], want) << i;
      }
      for (int32_t k = 0; k < c->labelCount && k < static_cast<int32_t>(st.labels.size()); ++k) {
        EXPECT_EQ(st.labels[k], Sanitized(c->labels.Get(k)));
      }
    } else {
      EXPECT_EQ(st.kind, "VARIATE");
      const std::vector<std::string>* independent = expected.count(index) ? &expected[index] : nullptr;
      for (int64_t i = 0; i < c->valueCount; ++i) {
        double v = GetNumber(c, i);
        if (IsMissing(d, v)) {
          EXPECT_EQ(st.values[i], "*") << i;
        } else {
          double back = 0;
          ASSERT_TRUE(ParseNumber(st.values[i], back)) << st.values[i];
          EXPECT_EQ(back, v) << st.values[i];
        }
        if (independent != nullptr && i < static_cast<int64_t>(independent->size())) {
          const std::string& want = (*independent)[i];
          if (want == "*") {
            EXPECT_EQ(st.values[i], "*") << i;
          } else {
            double a = 0, b = 0;
            ASSERT_TRUE(ParseNumber(want, a)) << want;
            ASSERT_TRUE(ParseNumber(st.values[i], b)) << st.values[i];
            EXPECT_EQ(a, b) << "row " << i << ": file has " << want << ", command file " << st.values[i];
          }
        }
      }
    }
  }
  EXPECT_EQ(parsed.deleted.size() >= names.size(), true);
  EXPECT_EQ(parsed.restricted, names);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorvistRoundTrip,
                         ::testing::Values("pandas_comma.csv", "gnumeric_comma.csv", "r_comma.csv",
                                           "r_tab.txt", "pspp_comma.csv", "pandas_nonames.csv",
                                           "r_comma_na_star.csv"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace trovadex
