// A small JSON reader for the expected-value files of the test corpora.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trovadex::test {

struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json* Get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? nullptr : &it->second;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}
  bool Parse(Json& out) {
    bool ok = Value(out);
    Space();
    return ok && p_ == s_.size();
  }

 private:
  void Space() {
    while (p_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[p_]))) ++p_;
  }
  bool Value(Json& v) {
    Space();
    if (p_ >= s_.size()) return false;
    char c = s_[p_];
    if (c == '{') {
      v.type = Json::Object;
      ++p_;
      Space();
      if (p_ < s_.size() && s_[p_] == '}') return ++p_, true;
      for (;;) {
        Json key;
        Space();
        if (!StringValue(key)) return false;
        Space();
        if (p_ >= s_.size() || s_[p_] != ':') return false;
        ++p_;
        if (!Value(v.fields[key.text])) return false;
        Space();
        if (p_ < s_.size() && s_[p_] == ',') {
          ++p_;
          continue;
        }
        if (p_ < s_.size() && s_[p_] == '}') return ++p_, true;
        return false;
      }
    }
    if (c == '[') {
      v.type = Json::Array;
      ++p_;
      Space();
      if (p_ < s_.size() && s_[p_] == ']') return ++p_, true;
      for (;;) {
        v.items.emplace_back();
        if (!Value(v.items.back())) return false;
        Space();
        if (p_ < s_.size() && s_[p_] == ',') {
          ++p_;
          continue;
        }
        if (p_ < s_.size() && s_[p_] == ']') return ++p_, true;
        return false;
      }
    }
    if (c == '"') return StringValue(v);
    if (s_.compare(p_, 4, "null") == 0) return p_ += 4, v.type = Json::Null, true;
    if (s_.compare(p_, 4, "true") == 0) return p_ += 4, v.type = Json::Bool, v.boolean = true, true;
    if (s_.compare(p_, 5, "false") == 0) return p_ += 5, v.type = Json::Bool, true;
    char* end = nullptr;
    v.number = std::strtod(s_.c_str() + p_, &end);
    if (end == s_.c_str() + p_) return false;
    p_ = static_cast<std::size_t>(end - s_.c_str());
    v.type = Json::Number;
    return true;
  }
  void Utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool StringValue(Json& v) {
    if (p_ >= s_.size() || s_[p_] != '"') return false;
    ++p_;
    v.type = Json::String;
    while (p_ < s_.size() && s_[p_] != '"') {
      char c = s_[p_++];
      if (c != '\\') {
        v.text += c;
        continue;
      }
      if (p_ >= s_.size()) return false;
      char e = s_[p_++];
      switch (e) {
        case 'n': v.text += '\n'; break;
        case 't': v.text += '\t'; break;
        case 'r': v.text += '\r'; break;
        case 'b': v.text += '\b'; break;
        case 'f': v.text += '\f'; break;
        case 'u': {
          if (p_ + 4 > s_.size()) return false;
          unsigned cp = static_cast<unsigned>(std::strtoul(s_.substr(p_, 4).c_str(), nullptr, 16));
          p_ += 4;
          Utf8(v.text, cp);
          break;
        }
        default: v.text += e; break;
      }
    }
    if (p_ >= s_.size()) return false;
    ++p_;
    return true;
  }
  const std::string& s_;
  std::size_t p_ = 0;
};

}  // namespace trovadex::test
