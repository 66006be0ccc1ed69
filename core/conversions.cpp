// Number conversions with formatted stream extraction in the "C" locale. Reentrant.

#include "core/conversions.h"

#include <locale>
#include <sstream>

namespace {
template <typename T>
T readNumber(const std::string& text) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  T value = 0;
  in >> value;  // 0 when no number; the type's largest value on overflow
  return value;
}
}  // namespace

uint32_t stringToUnsignedInt(std::string text) { return readNumber<unsigned int>(text); }

int64_t stringToLongInt(std::string text) {
  return static_cast<int64_t>(readNumber<unsigned long>(text));
}

int64_t stringToLongLongInt(std::string text) {
  return static_cast<int64_t>(readNumber<unsigned long long>(text));
}

std::string intToString(int value) {
  std::ostringstream out;
  out << value;
  return out.str();
}
