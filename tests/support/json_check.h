// Whether a text is one whole JSON value (RFC 8259), strictly: what a
// report's readers (PowerShell's ConvertFrom-Json, Python's json) accept.
#pragma once

#include <cctype>
#include <string_view>

namespace usqz::testing {

class JsonCheck {
 public:
  static bool valid(std::string_view text) {
    JsonCheck check(text);
    check.blanks();
    if (!check.value()) return false;
    check.blanks();
    return check.at_ == text.size();
  }

 private:
  explicit JsonCheck(std::string_view text) : text_(text) {}

  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  void blanks() {
    while (peek() == ' ' || peek() == '\n' || peek() == '\r' || peek() == '\t') ++at_;
  }
  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool value() {
    if (++depth_ > 64) return false;
    bool ok = false;
    switch (peek()) {
      case '{': ok = members('}', true); break;
      case '[': ok = members(']', false); break;
      case '"': ok = string(); break;
      case 't': ok = literal("true"); break;
      case 'f': ok = literal("false"); break;
      case 'n': ok = literal("null"); break;
      default: ok = number();
    }
    --depth_;
    return ok;
  }
  bool members(char close, bool named) {
    ++at_;
    blanks();
    if (peek() == close) {
      ++at_;
      return true;
    }
    for (;;) {
      blanks();
      if (named) {
        if (!string()) return false;
        blanks();
        if (peek() != ':') return false;
        ++at_;
        blanks();
      }
      if (!value()) return false;
      blanks();
      if (peek() == close) {
        ++at_;
        return true;
      }
      if (peek() != ',') return false;
      ++at_;
    }
  }
  bool string() {
    if (peek() != '"') return false;
    ++at_;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        const char e = peek();
        ++at_;
        if (e == 'u') {
          for (int i = 0; i < 4; ++i, ++at_) {
            if (!std::isxdigit(static_cast<unsigned char>(peek()))) return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
    }
    return false;
  }
  bool number() {
    const auto start = at_;
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++at_;
    } else {
      return false;
    }
    if (peek() == '.') {
      ++at_;
      if (!std::isdigit(static_cast<unsigned char>(peek()))) return false;
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++at_;
    }
    return at_ > start;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  int depth_ = 0;
};

}  // namespace usqz::testing
