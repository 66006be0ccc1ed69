// Connection string construction. Used by start-up only.

#include "db/conninfo.h"

#include <libpq-fe.h>

#include <algorithm>
#include <stdexcept>

std::string quoteConninfoValue(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

std::string buildConnectLine(const std::string& host, const std::string& port,
                             const std::string& dbname, const std::string& user,
                             const std::string& password, const std::string& options,
                             int timeout_seconds) {
  auto item = [](const std::string& key, const std::string& value) {
    return key + "=" + quoteConninfoValue(value);
  };
  const std::string t = std::to_string(timeout_seconds);
  std::string line = item("host", host) + " " + item("port", port) + " " + item("dbname", dbname) +
                     " " + item("user", user) + " " + item("password", password);
  // A server that stops answering is noticed within about the timeout: while connecting, while
  // idle (keepalives) and while data waits to be acknowledged (tcp_user_timeout).
  line += " connect_timeout=" + t + " keepalives=1 keepalives_idle=" + t +
          " keepalives_interval=" + std::to_string(std::max(1, timeout_seconds / 3)) +
          " keepalives_count=3 tcp_user_timeout=" + std::to_string(timeout_seconds * 1000) +
          " application_name=mavoDaemon";
  if (options.find_first_not_of(" \t") == std::string::npos) return line;

  char* error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(options.c_str(), &error);
  if (parsed == nullptr) {
    std::string why = error != nullptr ? error : "out of memory";
    PQfreemem(error);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    throw std::invalid_argument(why);
  }
  // Later keywords win: the options override the values above.
  for (PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
    if (o->val != nullptr) line += " " + item(o->keyword, o->val);
  }
  PQconninfoFree(parsed);
  return line;
}
