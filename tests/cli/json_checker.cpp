// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/cli/json_checker.h"

#include <cctype>
#include <cstring>

namespace pyralis::test {

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonCheck run() {
    JsonCheck result;
    space();
    const bool array = peek() == '[';
    int items = 0;
    if (!value(0, array ? &items : nullptr)) return result;
    space();
    result.valid = pos_ == text_.size();
    if (result.valid && array) result.top_level_items = items;
    return result;
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void space() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) != nullptr) ++pos_;
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool string() {
    if (peek() != '"') return false;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') return ++pos_, true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      const char e = ++pos_ < text_.size() ? text_[pos_] : '\0';
      if (e == 'u') {
        for (int k = 0; k < 4; ++k)
          if (++pos_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[pos_])))
            return false;
      } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
        return false;
      }
    }
    return false;
  }

  bool number() {
    const size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
    if (peek() == '0')
      ++pos_;
    else
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    if (peek() == '.') {
      ++pos_;
      if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    }
    return pos_ > start;
  }

  bool value(int depth, int* items) {
    if (depth > 64) return false;
    space();
    const char c = peek();
    if (c == '"') return string();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      space();
      if (peek() == close) return ++pos_, true;
      for (;;) {
        if (c == '{') {
          space();
          if (!string()) return false;
          space();
          if (peek() != ':') return false;
          ++pos_;
        }
        if (!value(depth + 1, nullptr)) return false;
        if (items) ++*items;
        space();
        if (peek() == ',') {
          ++pos_;
          continue;
        }
        if (peek() == close) return ++pos_, true;
        return false;
      }
    }
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number();
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

JsonCheck check_json(std::string_view text) {
  return Reader(text).run();
}

}  // namespace pyralis::test
