// Configuration file reader. Used by start-up only (one thread); every call opens its own
// stream, so separate calls may read the same file at the same time.

#include "core/ini_config.h"

#include <errno.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace {

// The failure to open path, with the reason the system gave (missing, permission denied).
FileException cantOpen(const std::string& path) {
  const int err = errno;
  return FileException("error: can't open file " + path + ": " + strerror(err));
}

// Leading blanks go first, then leading tabs: " \tx" becomes "x", "\t x" keeps " x".
std::string stripLine(const std::string& line) {
  size_t i = line.find_first_not_of(' ');
  if (i == std::string::npos) return "";
  size_t j = line.find_first_not_of('\t', i);
  if (j == std::string::npos) return "";
  return line.substr(j);
}

std::string valueOf(const std::string& line) {
  size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

std::string keyOf(const std::string& line) {
  size_t eq = line.find('=');
  return eq == std::string::npos ? line : line.substr(0, eq);
}

}  // namespace

iniConfig::iniConfig(std::string path) : path(std::move(path)) {}

std::string iniConfig::getKey(std::string section, std::string key) {
  std::ifstream in(path);
  if (!in.is_open()) throw cantOpen(path);
  const std::string header = "[" + section + "]";
  bool found = false;
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line = stripLine(raw);
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line[0] == '[' && found) return "";
    if (line == header) found = true;
    if (found && line.find(key) != std::string::npos) return valueOf(line);
  }
  return "";
}

std::map<std::string, std::string>* iniConfig::getSection(std::string section) {
  std::ifstream in(path);
  if (!in.is_open()) throw cantOpen(path);
  const std::string header = "[" + section + "]";
  bool found = false;
  std::string raw;
  while (std::getline(in, raw)) {
    std::string line = stripLine(raw);
    if (!line.empty() && line[0] == '#') continue;
    if (!line.empty() && line[0] == '[' && found) break;
    if (line == header) found = true;
    if (found) sectionMap[keyOf(line)] = valueOf(line);
  }
  return &sectionMap;
}

int iniConfig::firstCrlfLine() {
  std::ifstream in(path);
  if (!in.is_open()) throw cantOpen(path);
  std::string raw;
  for (int line = 1; std::getline(in, raw); ++line) {
    if (!raw.empty() && raw.back() == '\r') return line;
  }
  return 0;
}

int iniConfig::getKeyToInt(std::string section, std::string key) {
  std::istringstream in(getKey(section, key));
  int value = 0;
  in >> value;
  return value;
}
