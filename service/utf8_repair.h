#pragma once
// Repair of plugin output as UTF-8: every invalid sequence becomes one space.

#include <string>

// Returns text unchanged when it is valid UTF-8; otherwise a copy in which each invalid lead
// byte gives one space, each incomplete, overlong or out-of-range sequence (lead byte and the
// continuation bytes after it) gives one space, and a sequence cut off by the end gives one
// space and ends the text. The result is always valid UTF-8.
std::string repairUtf8(const std::string& text);
