#pragma once
// A TCP proxy on 127.0.0.1 in front of a local server port, for tests of a server that stops
// answering without closing anything (a frozen host, a partition, a stuck proxy): hang() stops
// passing bytes in both directions and leaves every connection open, new ones included;
// resume() passes everything again, what was sent meanwhile included.
//
// It can also lose one exchange: holdAnswerAfter(), cutAnswerAfter() and holdRequestsAfter()
// watch what clients send, and on the first connection whose bytes contain the given texts in
// order (say a statement's name, then "COMMIT"), once the last has gone to the server, hold back
// the server's answer until resume() (a partition, a storage stall), drop it and close that
// connection as soon as the server has answered (the request ran, its answer never came), or
// hold back whatever the client sends next until resume() (its next request never arrives,
// and the server keeps the session open).

#include <pthread.h>

#include <atomic>
#include <string>
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
  void holdAnswerAfter(const std::vector<std::string>& texts);
  void cutAnswerAfter(const std::vector<std::string>& texts);
  void holdRequestsAfter(const std::vector<std::string>& texts);
  // Whether an armed watch has found its texts.
  bool triggered() const { return triggered_; }

 private:
  static void* loop(void* self);
  void run();
  void wake();
  enum class Loss { kHoldAnswer, kCutAnswer, kHoldRequests };
  void arm(const std::vector<std::string>& texts, Loss loss);
  struct Pair;
  // Looks for the watched texts in what the client of p sent (the proxy's thread).
  void watch(Pair& p, const char* data, size_t n);

  struct Pair {
    int client = -1;
    int server = -1;
    size_t matched = 0;    // texts of the watch found so far on this connection
    std::string tail;      // the last bytes the client sent, for a text split between reads
    bool holding = false;  // the server's answer is held back
    bool cutting = false;  // the server's answer is dropped, and the connection closed
    bool holding_requests = false;  // what the client sends is held back
  };
  int target_port_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> hung_{false};
  pthread_mutex_t watch_mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<std::string> watch_;       // guarded by watch_mutex_; empty: nothing watched
  Loss watch_loss_ = Loss::kHoldAnswer;  // guarded by watch_mutex_
  std::atomic<bool> triggered_{false};
  std::atomic<bool> release_{false};  // resume() lets held answers go
  std::atomic<bool> stop_{false};
  std::vector<Pair> pairs_;  // used by the proxy's thread only
  pthread_t thread_;
};
