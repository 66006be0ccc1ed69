// Plugin argument lines: macro substitution from the row of the service query, "$AUTH_FILE_"
// keywords from the device's advanced configuration, and the argument tokenizer. Run by the
// loaders (start-up and reload thread); takes no lock of its own, the pool locks its connection.

#include "service/command_line.h"

#include <boost/tokenizer.hpp>
#include <string>
#include <vector>

#include "core/log.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"

namespace {

namespace col = sql::service_column;

// Replaces `length` characters at the first occurrence of macro with value. The count is
// clamped at the end of the line, so a spacing macro that ends the line takes only its own
// characters.
void replaceFirst(std::string& line, const std::string& macro, std::string::size_type length,
                  const std::string& value) {
  const std::string::size_type pos = line.find(macro);
  if (pos != std::string::npos) line.replace(pos, length, value);
}

// Same, for a value computed only when the macro is present (parsing the version may throw).
template <typename MakeValue>
void replaceFirstWith(std::string& line, const std::string& macro, std::string::size_type length,
                      MakeValue make_value) {
  const std::string::size_type pos = line.find(macro);
  if (pos != std::string::npos) line.replace(pos, length, make_value());
}

// First "$IP" that does not begin "$IP_VERSION".
std::string::size_type findIpMacro(const std::string& line) {
  static const std::string kIpVersionMacro = "$IP_VERSION";
  std::string::size_type pos = line.find("$IP");
  while (pos != std::string::npos &&
         line.compare(pos, kIpVersionMacro.size(), kIpVersionMacro) == 0)
    pos = line.find("$IP", pos + 1);
  return pos;
}

std::string snmpParameterTemplate(const ColumnReader& column) {
  std::string text;
  if (std::stoi(column(col::kSnmpVersion)) == 3) {
    const bool privacy = !column(col::kSnmp3PrivProtocol).empty();
    text = "-v 3 -p $SNMP_PORT -U $SNMP3_USER -A '$SNMP3_AUTH_KEY'";
    if (privacy) text += " -P '$SNMP3_PRIV_KEY'";
    text += " -L $SNMP3_AUTH_PROT";
    if (privacy) text += ",$SNMP3_PRIV_PROT";
  } else {
    text = "-v $SNMP_VERSION -p $SNMP_PORT -C $SNMP_COM ";
  }
  return text + " ";
}

std::string snmpVersionText(const ColumnReader& column) {
  switch (std::stoi(column(col::kSnmpVersion))) {
    case 2:
      return "2 ";
    case 3:
      return "3 ";
    default:
      return "1 ";
  }
}

}  // namespace

std::string replaceServiceParameter(std::string line, PGresult* result, int row) {
  return replaceServiceParameter(std::move(line), [result, row](int column) {
    const char* value = PQgetvalue(result, row, column);  // null only out of range
    return std::string(value != nullptr ? value : "");
  });
}

std::string replaceServiceParameter(std::string line, const ColumnReader& column) {
  std::string out = std::move(line);

  const std::string::size_type ip = findIpMacro(out);
  if (ip != std::string::npos) out.replace(ip, 3, column(col::kDeviceIp));
  replaceFirst(out, "$IP_VERSION", 11, column(col::kIpVersion));
  replaceFirst(out, "$NODEID", 7, column(col::kDeviceId));
  replaceFirst(out, "$NODENAME", 9, column(col::kDeviceName));
  replaceFirstWith(out, "$SNMP_PARAMETER", 16, [&] { return snmpParameterTemplate(column); });
  replaceFirstWith(out, "$SNMP_VERSION", 14, [&] { return snmpVersionText(column); });
  replaceFirst(out, "$SNMP_COM", 10, "'" + column(col::kSnmpCommunity) + "' ");
  replaceFirst(out, "$SNMP_PORT", 11, column(col::kSnmpPort) + " ");
  replaceFirst(out, "$SNMP_TIMER", 11, column(col::kSnmpTimer));
  if (out.find("$SNMP3") != std::string::npos) {
    replaceFirst(out, "$SNMP3_SECLVL", 13, column(col::kSnmp3SecLvl));
    replaceFirst(out, "$SNMP3_USER", 11, column(col::kSnmp3User));
    replaceFirst(out, "$SNMP3_AUTH_PROT", 16, column(col::kSnmp3AuthProtocol));
    replaceFirst(out, "$SNMP3_AUTH_KEY", 15, column(col::kSnmp3AuthKey));
    replaceFirst(out, "$SNMP3_PRIV_PROT", 16, column(col::kSnmp3PrivProtocol));
    replaceFirst(out, "$SNMP3_PRIV_KEY", 15, column(col::kSnmp3PrivPassphrase));
  }
  replaceFirst(out, "$SERID", 6, column(col::kServiceId));
  replaceFirst(out, "$TIBOSN", 7, column(col::kTiboSn));
  return out;
}

std::string replaceAuthFileKeywords(std::string line, const std::string& device_id,
                                    pgConnectionPool* pool, std::vector<std::string>* values) {
  PgResult rows(pool->executePrepareRequest("select_adv_config", {device_id}));
  const int count = PQntuples(rows.get());
  for (int r = 0; r < count; ++r) {
    const std::string type_name = PQgetvalue(rows.get(), r, 0);
    const std::string keyword = "$AUTH_FILE_" + type_name;
    const std::string::size_type pos = line.find(keyword);
    if (pos == std::string::npos) continue;
    Trace(device_id + " REPLACE " + keyword + "BY " + type_name);
    const char* value = PQgetvalue(rows.get(), r, 1);
    line.replace(pos, keyword.size(), value);
    if (values != nullptr) values->push_back(value);
  }
  return line;
}

std::list<std::string> splitArguments(const std::string& line) {
  using Separator = boost::escaped_list_separator<char>;
  boost::tokenizer<Separator> tokens(line, Separator("", " ", "\"'"));
  std::list<std::string> fields;
  for (const std::string& field : tokens) {
    if (!field.empty()) fields.push_back(field);
  }
  return fields;
}

namespace {

const char kMask[] = "***";

// The spans [begin, end) of the fields of line as the tokenizer splits it: blanks separate, a
// quote of either kind switches quoting on and off.
std::vector<std::pair<size_t, size_t>> fieldSpans(const std::string& line) {
  std::vector<std::pair<size_t, size_t>> spans;
  bool quoted = false;
  size_t begin = std::string::npos;
  for (size_t i = 0; i <= line.size(); ++i) {
    const bool end = i == line.size();
    const char c = end ? ' ' : line[i];
    if (!end && (c == '\'' || c == '"')) quoted = !quoted;
    const bool separator = end || (c == ' ' && !quoted);
    if (separator) {
      if (begin != std::string::npos) spans.emplace_back(begin, i);
      begin = std::string::npos;
    } else if (begin == std::string::npos) {
      begin = i;
    }
  }
  return spans;
}

// The options whose value is a secret: the SNMP community and the SNMPv3 protocols and pass
// phrases, short ("-C public", "-Cpublic") and long ("--community public", "--community=public").
const std::string kSecretShortOptions = "CaAxX";
const char* const kSecretLongOptions[] = {"--community", "--authpasswd", "--privpasswd"};

bool secretShortOption(const std::string& field) {
  return field.size() >= 2 && field[0] == '-' &&
         kSecretShortOptions.find(field[1]) != std::string::npos;
}

// Whether field is a secret option alone, its value in the next field.
bool secretOption(const std::string& field) {
  if (field.size() == 2) return secretShortOption(field);
  for (const std::string option : kSecretLongOptions)
    if (field == option) return true;
  return false;
}

// The length of a secret option that carries its value in the same field, or 0.
size_t secretAttachedOption(const std::string& field) {
  for (const std::string option : kSecretLongOptions)
    if (field.compare(0, option.size() + 1, option + "=") == 0) return option.size() + 1;
  return field.size() > 2 && secretShortOption(field) ? 2 : 0;
}

}  // namespace

std::string maskArgumentLine(const std::string& line, const std::vector<std::string>& secrets) {
  // Spans to mask, from the options, found on the line as it is; replaced from the end.
  const std::vector<std::pair<size_t, size_t>> fields = fieldSpans(line);
  std::vector<std::pair<size_t, size_t>> masked;
  for (size_t f = 0; f < fields.size(); ++f) {
    const std::string field = line.substr(fields[f].first, fields[f].second - fields[f].first);
    if (secretOption(field) && f + 1 < fields.size()) {
      masked.push_back(fields[f + 1]);
      ++f;
    } else if (const size_t n = secretAttachedOption(field)) {
      if (fields[f].first + n < fields[f].second)
        masked.emplace_back(fields[f].first + n, fields[f].second);
    }
  }
  std::string out = line;
  for (auto it = masked.rbegin(); it != masked.rend(); ++it)
    out.replace(it->first, it->second - it->first, kMask);
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, at + 3))
      out.replace(at, secret.size(), kMask);
  }
  return out;
}
