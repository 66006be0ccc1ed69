#pragma once
// A plain HTTP client for the daemon's metrics endpoint, and readers of what it answers.

#include <string>

class DaemonProcess;

// Everything the server sends until it closes, or until timeout_ms passes.
std::string readAll(int fd, int timeout_ms);
// Sends request to 127.0.0.1:port and returns the whole answer ("" when the connection fails).
std::string http(int port, const std::string& request, int timeout_ms = 10000);
std::string get(int port, const std::string& path);
// The status code of an answer (0 when it is not HTTP) and its body.
int status(const std::string& answer);
std::string body(const std::string& answer);
// The sum of a metric's samples whose labels contain labels ("" for all).
double sample(const std::string& scrape, const std::string& name, const std::string& labels = "");
// The port of the daemon's metrics endpoint, from its log (metrics_listen=127.0.0.1:0); 0 when
// it does not say within 30 s.
int metricsPort(DaemonProcess& d);
