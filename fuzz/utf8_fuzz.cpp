// Fuzzes the repair of plugin output as UTF-8 against a plain reading of the rule: each invalid
// lead byte becomes one space; an incomplete, overlong, surrogate or out-of-range sequence
// becomes one space together with the continuation bytes after its lead byte; a sequence cut off
// by the end becomes one space and ends the text. The result must be valid, never longer, and
// left as it is by a second repair.

#include <stddef.h>
#include <stdint.h>
#include <utf8.h>

#include <cstdlib>
#include <string>

#include "service/utf8_repair.h"

namespace {

bool isTrail(unsigned char c) { return (c & 0xC0) == 0x80; }

size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 0;
}

std::string reference(const std::string& in) {
  std::string out;
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(in[i]);
    const size_t len = sequenceLength(lead);
    if (len == 0) {
      out += ' ';
      ++i;
      continue;
    }
    size_t have = 1;
    while (have < len && i + have < n && isTrail(static_cast<unsigned char>(in[i + have]))) ++have;
    bool bad = false;
    if (have < len) {
      if (i + have == n) {
        out += ' ';
        break;
      }
      bad = true;
    } else if (len > 1) {
      uint32_t cp = lead & (0x7F >> len);
      for (size_t k = 1; k < len; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
      const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
      bad = cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (bad) {
      out += ' ';
      ++i;
      while (i < n && isTrail(static_cast<unsigned char>(in[i]))) ++i;
      continue;
    }
    out.append(in, i, len);
    i += len;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string repaired = repairUtf8(text);
  if (!utf8::is_valid(repaired.begin(), repaired.end())) abort();
  if (repaired.size() > text.size()) abort();
  if (utf8::is_valid(text.begin(), text.end()) && repaired != text) abort();
  if (repairUtf8(repaired) != repaired) abort();
  if (repaired != reference(text)) abort();
  return 0;
}
