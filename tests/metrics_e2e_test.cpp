// The metrics endpoint of a running daemon, with real clients: promtool checks a scrape, the
// counters move with the runs (a CRITICAL service, a hung plugin, a cut output), /healthz turns
// 503 while the database hangs, and bad clients (wrong method or path, an oversized request, a
// crowd of clients trickling a byte a second, more than the server takes) get their answer, or
// are closed, while the runs go on and scrapes get through.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/http_client.h"
#include "tests/support/pg_test.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const char kDummy[] = "/usr/lib/nagios/plugins/check_dummy";

class MetricsE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    config_.dbname = dbname();
    config_.threads = 3;
    config_.extra_mavo = {"metrics_listen=127.0.0.1:0"};
    config_.extra_postgresql = {"PGSQL_timeout=2"};
    device_ = addDevice();
  }
  int portOf(DaemonProcess& d) { return metricsPort(d); }
  TempDir dir_;
  DaemonConfig config_;
  long device_ = 0;
};

TEST_F(MetricsE2ETest, ScrapesPassPromtoolCountersMoveAndBadClientsGetTheirAnswer) {
  addService("critical", addPlugin(kDummy), device_, 1000, "2 down");
  const long fine = addService("fine", addPlugin(kDummy), device_, 1000, "0 fine");
  addService("hung", addPlugin(dir_.script("hang", "exec /bin/sleep 60\n")), device_, 1000);
  addService("flood",
             addPlugin(dir_.script("flood", "/usr/bin/yes x | /usr/bin/head -c 1100000\n")),
             device_, 1000);
  config_.extra_mavo.push_back("plugin_timeout=1");
  DaemonProcess d(config_, dir_.path());
  const int port = portOf(d);
  ASSERT_GT(port, 0) << d.log();

  std::string scrape;
  EXPECT_TRUE(waitFor(
      [&] {
        scrape = body(get(port, "/metrics"));
        return sample(scrape, "mavo_runs_total", "state=\"critical\"") >= 1 &&
               sample(scrape, "mavo_plugin_timeouts_total") >= 1 &&
               sample(scrape, "mavo_plugin_outputs_cut_total") >= 1 &&
               sample(scrape, "mavo_runs_total", "state=\"ok\"") >= 2;
      },
      30000))
      << scrape;
  EXPECT_GE(sample(scrape, "mavo_plugin_run_seconds_count"), 4);
  EXPECT_GE(sample(scrape, "mavo_schedule_lag_seconds_count"), 4);
  EXPECT_GE(sample(scrape, "mavo_db_request_seconds_count"), 4);
  EXPECT_EQ(sample(scrape, "mavo_services_scheduled"), 4);
  EXPECT_EQ(sample(scrape, "mavo_build_info"), 1);
  EXPECT_EQ(sample(scrape, "mavo_healthy"), 1);
  const std::string file = dir_.write("scrape.txt", scrape);
  EXPECT_EQ(
      system(("promtool check metrics < " + file + " > " + dir_.file("promtool.txt") + " 2>&1")
                 .c_str()),
      0)
      << readFile(dir_.file("promtool.txt"));
  const std::string health = get(port, "/healthz");
  EXPECT_EQ(status(health), 200) << health;
  EXPECT_EQ(body(health), "ok\n");

  // Bad clients, while the runs go on.
  const std::string fine_before = stored(fine, "service_last_exec_time");
  const std::string wrong_method =
      http(port, "POST /metrics HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(status(wrong_method), 405) << wrong_method;
  EXPECT_NE(wrong_method.find("Allow: GET, HEAD"), std::string::npos) << wrong_method;
  EXPECT_EQ(status(get(port, "/nowhere")), 404);
  const std::string oversized =
      http(port, "GET /metrics HTTP/1.0\r\nX-Filler: " + std::string(64 * 1024, 'a') + "\r\n\r\n");
  EXPECT_GE(status(oversized), 400) << oversized.substr(0, 200);
  EXPECT_LT(status(oversized), 500) << oversized.substr(0, 200);

  // More clients than the server takes, each trickling a byte a second of a request that never
  // ends (never silent, far from the request memory): the server closes every one of them, and
  // a scrape gets through meanwhile (retried: past the limit a client waits or is refused).
  const int kCrowd = 40;
  std::vector<int> crowd;
  for (int i = 0; i < kCrowd; ++i) crowd.push_back(connectLoopback(port));
  for (int fd : crowd) ASSERT_GE(fd, 0);
  std::thread trickle([&] {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: localhost\r\nX-Slow: ";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (size_t sent = 0; std::chrono::steady_clock::now() < until; ++sent) {
      std::vector<pollfd> open;
      for (int& fd : crowd) {
        if (fd < 0) continue;
        const char c = sent < request.size() ? request[sent] : 'a';
        if (send(fd, &c, 1, MSG_NOSIGNAL) < 0) {
          close(fd);
          fd = -1;
        } else {
          open.push_back({fd, POLLIN, 0});
        }
      }
      if (open.empty()) return;
      // A second's wait, reading what the closed ones say (an end of file, or a reset).
      const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      for (auto now = std::chrono::steady_clock::now(); now < next;
           now = std::chrono::steady_clock::now()) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count());
        if (poll(open.data(), open.size(), left) <= 0) continue;
        for (pollfd& p : open) {
          if (p.fd < 0 || p.revents == 0) continue;
          char buf[4096];
          if (recv(p.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) continue;
          for (int& fd : crowd)
            if (fd == p.fd) fd = -1;
          close(p.fd);
          p.fd = -1;  // poll skips it
        }
      }
    }
  });
  std::string scrape_meanwhile;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       status(scrape_meanwhile) != 200 && std::chrono::steady_clock::now() < until;)
    scrape_meanwhile = get(port, "/metrics");
  trickle.join();
  EXPECT_EQ(status(scrape_meanwhile), 200) << scrape_meanwhile.substr(0, 200);
  int still_open = 0;
  for (int fd : crowd)
    if (fd >= 0) {
      ++still_open;
      close(fd);
    }
  EXPECT_EQ(still_open, 0) << "of " << kCrowd << " trickling clients, still open after 60 s";
  std::string scrape_after;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       status(scrape_after) != 200 && std::chrono::steady_clock::now() < until;)
    scrape_after = get(port, "/metrics");
  EXPECT_EQ(status(scrape_after), 200) << scrape_after.substr(0, 200);
  EXPECT_EQ(status(get(port, "/healthz")), 200);
  EXPECT_NE(stored(fine, "service_last_exec_time"), fine_before);
  EXPECT_EQ(d.stop(), 0) << d.log();
}

// While the database hangs, /healthz says 503 and why, and mavo_healthy 0; once it answers
// again, 200 and 1.
TEST_F(MetricsE2ETest, HealthTurns503WhileTheDatabaseHangs) {
  TcpProxy proxy(std::stoi(conninfoValue("port")));
  config_.host = "127.0.0.1";
  config_.port = std::to_string(proxy.port());
  DaemonProcess d(config_, dir_.path());
  const int port = portOf(d);
  ASSERT_GT(port, 0) << d.log();
  EXPECT_TRUE(waitFor([&] { return status(get(port, "/healthz")) == 200; }, 10000));
  proxy.hang();
  std::string answer;
  EXPECT_TRUE(waitFor(
      [&] {
        answer = get(port, "/healthz");
        return status(answer) == 503;
      },
      20000))
      << answer;
  EXPECT_NE(body(answer).find("the database has not answered for "), std::string::npos) << answer;
  EXPECT_EQ(sample(body(get(port, "/metrics")), "mavo_healthy"), 0);
  proxy.resume();
  EXPECT_TRUE(waitFor([&] { return status(get(port, "/healthz")) == 200; }, 30000)) << d.log();
  EXPECT_EQ(sample(body(get(port, "/metrics")), "mavo_healthy"), 1);
  EXPECT_EQ(d.stop(), 0) << d.log();
}

// An address that cannot be listened on stops the start, and says why.
TEST_F(MetricsE2ETest, AnAddressThatCannotBeHadStopsTheStart) {
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string in_use = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  const std::pair<std::string, std::string> cases[] = {
      {in_use, "Address already in use"},
      {"localhost", "is not HOST:PORT"},
      {"127.0.0.1:http", "is not a port number"},
      {"192.0.2.1:9100", "Cannot assign requested address"},
  };
  for (const auto& [address, reason] : cases) {
    config_.extra_mavo = {"metrics_listen=" + address};
    DaemonProcess d(config_, dir_.path());
    EXPECT_EQ(d.wait(15000), 1) << address;
    const std::string out = readFile(d.stdoutPath());
    EXPECT_NE(out.find("configuration key metrics_listen of section [MAVO]"), std::string::npos)
        << out;
    EXPECT_NE(out.find(reason), std::string::npos) << address << ": " << out;
  }
  close(taken);
}

}  // namespace
