#pragma once
// Building a plugin's argument vector from its argument line: macro substitution from the row of
// the service query, keyword substitution from the device's advanced configuration, and
// splitting into arguments (service::Setparameter).

#include <libpq-fe.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

class pgConnectionPool;

// Column text of the service row by column number ("" for SQL NULL).
using ColumnReader = std::function<std::string(int column)>;

// Replaces the first occurrence of each of the seventeen macros, in their fixed order.
// Throws std::invalid_argument ("stoi") when the SNMP version is needed and is not a number.
std::string replaceServiceParameter(std::string line, PGresult* result, int row);
std::string replaceServiceParameter(std::string line, const ColumnReader& column);

// Replaces "$AUTH_FILE_<type name>" keywords with the device's values from select_adv_config
// (executed on pool). Only called when line contains "$AUTH_FILE". The values put in are added
// to *values when it is given (they are secrets). Throws PostgresqlException.
std::string replaceAuthFileKeywords(std::string line, const std::string& device_id,
                                    pgConnectionPool* pool,
                                    std::vector<std::string>* values = nullptr);

// The argument line as the log and stored outputs show it: the value after -C (SNMP community)
// and after -a, -A, -x, -X (SNMPv3 protocols and pass phrases), or after --community=,
// --authpasswd=, --privpasswd=, and every occurrence of each text of secrets (the community and
// keys of the device, the "$AUTH_FILE_" values), are replaced by "***". The plugin gets the line
// as it is.
std::string maskArgumentLine(const std::string& line, const std::vector<std::string>& secrets = {});

// Splits a line with the argument tokenizer: spaces separate, ' and " quote, no escape
// character, empty fields dropped.
std::list<std::string> splitArguments(const std::string& line);
