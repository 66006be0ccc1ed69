#pragma once
// The daemon's libpq connection string, built from the configuration.

#include <string>

// One value quoted for a libpq connection string: in single quotes, with backslashes and single
// quotes escaped by a backslash, so that any text (blanks, quotes, '=') is taken as it is.
std::string quoteConninfoValue(const std::string& value);

// "host='H' port='P' dbname='D' user='U' password='W'", then the time limits set from
// timeout_seconds (connect_timeout, TCP keepalives, tcp_user_timeout) and
// application_name='mavoDaemon', then the further libpq keywords of options ("k=v k2=v2", as
// libpq reads them), which take precedence. Throws std::invalid_argument with libpq's reason
// when options is not such a list.
std::string buildConnectLine(const std::string& host, const std::string& port,
                             const std::string& dbname, const std::string& user,
                             const std::string& password, const std::string& options,
                             int timeout_seconds);
