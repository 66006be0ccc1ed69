#pragma once
// Small text helpers of the tests.

#include <sstream>
#include <string>
#include <vector>

// The lines of text, without their line ends. With complete_only, a last line that has no line
// end yet (still being written) is left out.
inline std::vector<std::string> lines(const std::string& text, bool complete_only = false) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  if (complete_only && !text.empty() && text.back() != '\n' && !out.empty()) out.pop_back();
  return out;
}

// How many times what occurs in text.
inline int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}
