#pragma once
// A TCP proxy on 127.0.0.1 in front of a local server port, for tests of a server that stops
// answering without closing anything (a frozen host, a partition, a stuck proxy): hang() stops
// passing bytes in both directions and leaves every connection open, new ones included;
// resume() passes everything again, what was sent meanwhile included.

#include <pthread.h>

#include <atomic>
#include <vector>

// A TCP connection to 127.0.0.1:port, or -1.
int connectLoopback(int port);

class TcpProxy {
 public:
  explicit TcpProxy(int target_port);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  void hang();
  void resume();

 private:
  static void* loop(void* self);
  void run();
  void wake();

  struct Pair {
    int client;
    int server;
  };
  int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> hung_{false};
  std::atomic<bool> stop_{false};
  std::vector<Pair> pairs_;  // used by the proxy's thread only
  pthread_t thread_;
};
