#pragma once
// A notification socket as systemd offers one (NOTIFY_SOCKET): a datagram socket bound to a
// path, whose messages ("READY=1", "WATCHDOG=1", ...) a thread collects with the time they came.

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) throw std::runtime_error("notify socket path too long");
    path.copy(a.sun_path, path.size());
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot bind " + path);
    timeval tv{0, 200000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    reader_ = std::thread([this] {
      char buf[4096];
      while (!stop_) {
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        got_.emplace_back(seconds(), std::string(buf, static_cast<size_t>(n)));
      }
    });
  }
  ~NotifySocket() {
    stop_ = true;
    reader_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // Every message so far, with the monotonic time (seconds) it came.
  std::vector<std::pair<double, std::string>> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }
  // The times of the messages that hold line (a whole line of the message).
  std::vector<double> times(const std::string& line) {
    std::vector<double> out;
    for (const auto& [at, text] : messages())
      if (("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos) out.push_back(at);
    return out;
  }
  static double seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::pair<double, std::string>> got_;  // guarded by mutex_
  std::thread reader_;
};
