// The proxy's one thread polls the listening socket, a wake-up pipe and, unless hung, every
// connection, and copies what one side sends to the other.

#include "tests/support/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

bool writeAll(int fd, const char* data, ssize_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, static_cast<size_t>(n));
    if (w <= 0) return false;
    data += w;
    n -= w;
  }
  return true;
}

}  // namespace

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TcpProxy::TcpProxy(int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("tcp proxy: cannot listen");
  port_ = ntohs(a.sin_port);
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("tcp proxy: no pipe");
  pthread_create(&thread_, nullptr, &TcpProxy::loop, this);
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  wake();
  pthread_join(thread_, nullptr);
  for (const Pair& p : pairs_) {
    close(p.client);
    close(p.server);
  }
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void TcpProxy::hang() {
  hung_ = true;
  wake();
}

void TcpProxy::resume() {
  hung_ = false;
  release_ = true;
  wake();
}

void TcpProxy::arm(const std::vector<std::string>& texts, Loss loss) {
  pthread_mutex_lock(&watch_mutex_);
  watch_ = texts;
  watch_loss_ = loss;
  triggered_ = false;
  pthread_mutex_unlock(&watch_mutex_);
}

void TcpProxy::holdAnswerAfter(const std::vector<std::string>& texts) {
  arm(texts, Loss::kHoldAnswer);
}

void TcpProxy::cutAnswerAfter(const std::vector<std::string>& texts) {
  arm(texts, Loss::kCutAnswer);
}

void TcpProxy::holdRequestsAfter(const std::vector<std::string>& texts) {
  arm(texts, Loss::kHoldRequests);
}

void TcpProxy::wake() {
  const char c = 'w';
  if (write(wake_[1], &c, 1) != 1) {
    // the loop wakes up within its poll timeout anyway
  }
}

void* TcpProxy::loop(void* self) {
  static_cast<TcpProxy*>(self)->run();
  return nullptr;
}

void TcpProxy::run() {
  char buf[65536];
  while (!stop_) {
    if (release_.exchange(false))
      for (Pair& p : pairs_) p.holding = p.holding_requests = false;
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    const bool hung = hung_;
    if (!hung) {
      for (const Pair& p : pairs_) {
        fds.push_back({p.client, static_cast<short>(p.holding_requests ? 0 : POLLIN), 0});
        // A held answer stays with the server's socket until it is let go.
        fds.push_back({p.server, static_cast<short>(p.holding ? 0 : POLLIN), 0});
      }
    }
    const size_t polled = hung ? 0 : pairs_.size();
    if (poll(fds.data(), fds.size(), 200) <= 0) continue;
    if (fds[0].revents != 0 && read(wake_[0], buf, sizeof buf) < 0) continue;
    if (fds[1].revents & POLLIN) {
      const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        const int server = connectLoopback(target_port_);
        if (server >= 0) {
          Pair p;
          p.client = client;
          p.server = server;
          pairs_.push_back(std::move(p));
        } else {
          close(client);
        }
      }
    }
    if (hung) continue;
    std::vector<Pair> alive;
    for (size_t i = 0; i < pairs_.size(); ++i) {
      if (i >= polled) {  // accepted just now
        alive.push_back(pairs_[i]);
        continue;
      }
      Pair& p = pairs_[i];
      bool open = true;
      for (int side = 0; side < 2 && open; ++side) {
        const pollfd& f = fds[2 + 2 * i + side];
        if (f.revents == 0 || (side == 1 && p.holding) || (side == 0 && p.holding_requests))
          continue;
        const ssize_t n = read(f.fd, buf, sizeof buf);
        if (side == 1 && p.cutting) {  // the answer is dropped with the connection
          open = false;
          break;
        }
        open = n > 0 && writeAll(side == 0 ? p.server : p.client, buf, n);
        if (open && side == 0) watch(p, buf, static_cast<size_t>(n));
      }
      if (open) {
        alive.push_back(p);
      } else {
        close(p.client);
        close(p.server);
      }
    }
    pairs_.swap(alive);
  }
}

void TcpProxy::watch(Pair& p, const char* data, size_t n) {
  pthread_mutex_lock(&watch_mutex_);
  if (!watch_.empty()) {
    p.tail.append(data, n);
    for (size_t at;
         p.matched < watch_.size() && (at = p.tail.find(watch_[p.matched])) != std::string::npos;) {
      p.tail.erase(0, at + watch_[p.matched].size());
      ++p.matched;
    }
    if (p.matched == watch_.size()) {
      switch (watch_loss_) {
        case Loss::kHoldAnswer:
          p.holding = true;
          break;
        case Loss::kCutAnswer:
          p.cutting = true;
          break;
        case Loss::kHoldRequests:
          p.holding_requests = true;
          break;
      }
      watch_.clear();
      triggered_ = true;
    } else if (p.tail.size() > 4096) {
      p.tail.erase(0, p.tail.size() - 256);
    }
  }
  pthread_mutex_unlock(&watch_mutex_);
}
