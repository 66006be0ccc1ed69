// A plain HTTP client for the tests of the metrics endpoint.

#include "tests/support/http_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "tests/support/daemon_runner.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/text.h"

// Everything the server sends until it closes, or until timeout_ms passes.
std::string readAll(int fd, int timeout_ms) {
  std::string got;
  char buf[65536];
  for (int waited = 0; waited < timeout_ms;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      waited += 100;
      continue;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Sends request and returns the whole answer ("" when the connection fails).
std::string http(int port, const std::string& request, int timeout_ms) {
  const int fd = connectLoopback(port);
  if (fd < 0) return "";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    close(fd);
    return "";
  }
  const std::string answer = readAll(fd, timeout_ms);
  close(fd);
  return answer;
}

std::string get(int port, const std::string& path) {
  return http(port, "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
}
int status(const std::string& answer) {
  return answer.size() > 12 && answer.compare(0, 5, "HTTP/") == 0 ? std::stoi(answer.substr(9, 3))
                                                                  : 0;
}
std::string body(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}
// The sum of a metric's samples whose labels contain labels ("" for all).
double sample(const std::string& scrape, const std::string& name, const std::string& labels) {
  double total = 0;
  for (const std::string& line : lines(scrape)) {
    if (line.empty() || line[0] == '#' || line.compare(0, name.size(), name) != 0) continue;
    const char next = line.size() > name.size() ? line[name.size()] : ' ';
    if (next != ' ' && next != '{') continue;
    if (!labels.empty() && line.find(labels) == std::string::npos) continue;
    total += std::stod(line.substr(line.rfind(' ') + 1));
  }
  return total;
}

int metricsPort(DaemonProcess& d) {
  if (!d.waitForLog("metrics endpoint listening on 127.0.0.1:", 30000)) return 0;
  std::smatch m;
  const std::string log = d.log();
  if (!std::regex_search(log, m,
                         std::regex("metrics endpoint listening on 127\\.0\\.0\\.1:(\\d+)")))
    return 0;
  return std::stoi(m[1]);
}
