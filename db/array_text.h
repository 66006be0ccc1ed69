#pragma once
// Array literals for the statements' parameters ("{1,2,3}", "{\"a\",\"b\"}"): texts are quoted,
// with their backslashes and double quotes escaped, so that any text (commas, braces, quotes) is
// one element as it is.

#include <string>

class ArrayText {
 public:
  ArrayText() = default;
  // Every element of a container of integers.
  template <class Ints>
  static std::string ofNumbers(const Ints& numbers) {
    ArrayText a;
    for (const auto n : numbers) a.add(static_cast<long long>(n));
    return a.str();
  }

  void add(const std::string& item) {
    text_ += text_.size() > 1 ? ",\"" : "\"";
    for (char c : item) {
      if (c == '"' || c == '\\') text_ += '\\';
      text_ += c;
    }
    text_ += '"';
  }
  void add(long long n) {
    if (text_.size() > 1) text_ += ',';
    text_ += std::to_string(n);
  }
  bool empty() const { return text_.size() == 1; }
  std::string str() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};
