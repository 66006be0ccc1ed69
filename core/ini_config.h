#pragma once
// Reader of the daemon's configuration file: bracketed sections of key=value lines.
// Every lookup re-opens and re-scans the file, so it always sees the file as it is on disk.

#include <exception>
#include <map>
#include <string>

class FileException : public std::exception {
 public:
  explicit FileException(std::string message) : message(std::move(message)) {}
  ~FileException() override = default;
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

class iniConfig {
 public:
  explicit iniConfig(std::string path);

  // Value of the first line of the first [section] that contains key anywhere; "" when not
  // found. Throws FileException("error: can't open file PATH: REASON") when the file cannot be
  // read.
  std::string getKey(std::string section, std::string key);
  // Adds every non-comment line of the section to sectionMap (a later key replaces an earlier
  // one) and returns it. Same exception as getKey.
  std::map<std::string, std::string>* getSection(std::string section);
  // Number (from 1) of the first line that ends with a carriage return, 0 when none does. Such a
  // line is never matched as written (a header "[MAVO]\r" is not "[MAVO]"). Same exception as
  // getKey.
  int firstCrlfLine();
  // getKey read like formatted int extraction; 0 when the text holds no number.
  int getKeyToInt(std::string section, std::string key);

 private:
  std::string path;
  std::map<std::string, std::string> sectionMap;
};
