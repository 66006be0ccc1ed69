#pragma once
// The metrics endpoint: an HTTP server (libmicrohttpd, on threads of its own) that answers
// GET /metrics in the Prometheus text format and GET /healthz with 200 or 503. It only reads
// what the daemon's threads count as they go (per core and per pool, without a lock) and a few
// queue lengths; it never delays a worker. Each connection lives 10 s at most, however busy.

#include <memory>
#include <string>
#include <utility>

struct SchedContext;
struct MHD_Daemon;
class ConnectionReaper;

// Throws std::invalid_argument, as MetricsServer's constructor does, when address is not an
// address to listen on; whether it can be had (not in use, of this host) is not tried.
void checkListenAddress(const std::string& address);

class MetricsServer {
 public:
  // Opens the listening socket of address: "HOST:PORT", "[IPV6]:PORT", or ":PORT" for the
  // loopback (127.0.0.1). Throws std::invalid_argument with the reason when the text is not
  // such an address or the socket cannot be opened (address in use, not an address of this
  // host...).
  explicit MetricsServer(const std::string& address);
  ~MetricsServer();  // stops the server's threads and closes the socket
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Starts answering, with what ctx holds; db_timeout_ms: how recent the database's last answer
  // must be for /healthz to say 200. Throws std::runtime_error when the server cannot start.
  void start(const SchedContext& ctx, int db_timeout_ms);

  // The body of /metrics, and what /healthz says (healthy, reason).
  std::string scrape() const;
  std::pair<bool, std::string> health() const;

  // The address and port it listens on, as "HOST:PORT".
  const std::string& address() const { return address_; }

 private:
  int fd_ = -1;
  std::string address_;
  const SchedContext* ctx_ = nullptr;
  int db_timeout_ms_ = 0;
  MHD_Daemon* daemon_ = nullptr;
  std::unique_ptr<ConnectionReaper> reaper_;  // closes the connections open for too long
};
