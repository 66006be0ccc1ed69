#pragma once
// Number conversions of database text, with formatted stream extraction rules: leading white
// space skipped, digits up to the first other character, 0 for no number, the type's largest
// value on overflow, "-" negating modulo 2^width. None of them throws.

#include <cstdint>
#include <string>

uint32_t stringToUnsignedInt(std::string text);
int64_t stringToLongInt(std::string text);      // read as unsigned long
int64_t stringToLongLongInt(std::string text);  // read as unsigned long long
std::string intToString(int value);
