// Temporary directories and files for tests.

#include "tests/support/temp_dir.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

TempDir::TempDir() {
  char tmpl[] = "/tmp/mavo-test-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (system(cmd.c_str()) != 0) {
    // best effort
  }
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return p;
}

std::string TempDir::script(const std::string& name, const std::string& body) const {
  std::string p = write(name, "#!/bin/sh\n" + body);
  chmod(p.c_str(), 0755);
  return p;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool processGone(int pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0;
}
