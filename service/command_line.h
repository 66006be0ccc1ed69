#pragma once
// Building a plugin's argument vector from its argument line: macro substitution from the row of
// the service query, keyword substitution from the device's advanced configuration, and
// splitting into arguments (service::Setparameter).

#include <libpq-fe.h>

#include <functional>
#include <list>
#include <string>

class pgConnectionPool;

// Column text of the service row by column number ("" for SQL NULL).
using ColumnReader = std::function<std::string(int column)>;

// Replaces the first occurrence of each of the seventeen macros, in their fixed order.
// Throws std::invalid_argument ("stoi") when the SNMP version is needed and is not a number.
std::string replaceServiceParameter(std::string line, PGresult* result, int row);
std::string replaceServiceParameter(std::string line, const ColumnReader& column);

// Replaces "$AUTH_FILE_<type name>" keywords with the device's values from select_adv_config
// (executed on pool). Only called when line contains "$AUTH_FILE". Throws PostgresqlException.
std::string replaceAuthFileKeywords(std::string line, const std::string& device_id,
                                    pgConnectionPool* pool);

// Splits a line with the argument tokenizer: spaces separate, ' and " quote, no escape
// character, empty fields dropped.
std::list<std::string> splitArguments(const std::string& line);
