// Fuzzes the plugin argument line: macro substitution from a service row, then splitting. The
// first input byte chooses the plugin (bit 0: a /check_tibo path); the rest is split at "\n":
// the argument line, then the columns of the service row from column 0 on (missing ones are
// empty). The alerting line is split from the same text.

#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/command_line.h"
#include "service/service.h"

namespace {

// Fields of the tokenizer are never empty and hold no quote character (quotes only switch
// quoting on and off).
void checkFields(const std::list<std::string>& fields) {
  for (const std::string& f : fields) {
    if (f.empty()) abort();
    if (f.find_first_of("'\"") != std::string::npos) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool tibo = (data[0] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> parts;
  std::string::size_type from = 0;
  for (;;) {
    const std::string::size_type nl = text.find('\n', from);
    parts.push_back(text.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
    if (nl == std::string::npos) break;
    from = nl + 1;
  }
  const std::string line = parts[0];
  const ColumnReader column = [&parts](int c) {
    const size_t index = static_cast<size_t>(c) + 1;
    return index < parts.size() ? parts[index] : std::string();
  };

  std::string replaced;
  try {
    replaced = replaceServiceParameter(line, column);
  } catch (const std::logic_error&) {
    return 0;  // a SNMP version that is not a number (or out of range) skips the service
  }

  service s;
  s.plugin_path = tibo ? "/usr/lib/plugins/check_tibo" : "/usr/lib/plugins/check_snmp";
  s.Setparameter(replaced);
  if (s.parameter != replaced) abort();
  const std::string::size_type marker = tibo ? replaced.find(" -A ") : std::string::npos;
  if (marker == std::string::npos) {
    checkFields(s.parameter_list);
    if (s.parameter_list != splitArguments(replaced)) abort();
  } else {
    // Fields of the text before " -A ", then "-A", then the rest as one argument.
    if (s.parameter_list.size() < 2) abort();
    std::list<std::string> head = s.parameter_list;
    const std::string rest = head.back();
    head.pop_back();
    if (head.back() != "-A") abort();
    head.pop_back();
    if (head != splitArguments(replaced.substr(0, marker))) abort();
    if (replaced.substr(marker + 4).find(rest) == std::string::npos) abort();
  }

  service alert;
  alert.SetAlertingParameter(line);
  checkFields(alert.alerting_parameter_list);
  return 0;
}
