// Plugin argument lines: macro substitution from a service row, "$AUTH_FILE_" keywords from the
// device's advanced configuration (real database) and splitting of the final line.

#include "service/command_line.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "service/service.h"
#include "tests/support/pg_test.h"

namespace {

using Args = std::list<std::string>;

// A service row by column number; columns not set read as SQL NULL ("").
class Row {
 public:
  Row() {
    cells_ = {{5, "12"},        {6, "192.0.2.1"}, {7, "2"},     {8, "public"},
              {9, "34"},        {15, "rtr"},      {16, "TB-9"}, {17, "u3"},
              {18, "authPriv"}, {19, "SHA"},      {20, "ak"},   {21, "AES"},
              {22, "pk"},       {23, "5"},        {29, "4"},    {30, "161"}};
  }
  Row& set(int column, const std::string& value) {
    cells_[column] = value;
    return *this;
  }
  ColumnReader reader() const {
    return [cells = cells_](int column) {
      auto it = cells.find(column);
      return it == cells.end() ? std::string() : it->second;
    };
  }

 private:
  std::map<int, std::string> cells_;
};

std::string substitute(const std::string& line, const Row& row = Row()) {
  return replaceServiceParameter(line, row.reader());
}

TEST(ReplaceServiceParameter, ReplacesEachMacroWithItsColumn) {
  const struct {
    const char* line;
    const char* expected;
  } cases[] = {
      {"-H $IP", "-H 192.0.2.1"},
      {"-f $IP_VERSION", "-f 4"},
      {"-n $NODEID", "-n 12"},
      {"-n $NODENAME", "-n rtr"},
      {"-v $SNMP_VERSION -x", "-v 2 -x"},
      {"-C $SNMP_COM -x", "-C 'public' -x"},
      {"-p $SNMP_PORT -x", "-p 161 -x"},
      {"-t $SNMP_TIMER", "-t 5"},
      {"-l $SNMP3_SECLVL", "-l authPriv"},
      {"-U $SNMP3_USER", "-U u3"},
      {"-a $SNMP3_AUTH_PROT", "-a SHA"},
      {"-A $SNMP3_AUTH_KEY", "-A ak"},
      {"-x $SNMP3_PRIV_PROT", "-x AES"},
      {"-X $SNMP3_PRIV_KEY", "-X pk"},
      {"-s $SERID", "-s 34"},
      {"-S $TIBOSN", "-S TB-9"},
      {"no macro at all", "no macro at all"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(substitute(c.line), c.expected) << c.line;
}

TEST(ReplaceServiceParameter, ReplacesOnlyTheFirstOccurrence) {
  EXPECT_EQ(substitute("$NODEID $NODEID"), "12 $NODEID");
  EXPECT_EQ(substitute("$IP,$IP"), "192.0.2.1,$IP");
  EXPECT_EQ(substitute("$SERID$SERID"), "34$SERID");
  EXPECT_EQ(substitute("-p $SNMP_PORT -q $SNMP_PORT"), "-p 161 -q $SNMP_PORT");
}

TEST(ReplaceServiceParameter, IpVersionWrittenBeforeIpKeepsBothPlaces) {
  EXPECT_EQ(substitute("$IP_VERSION $IP"), "4 192.0.2.1");
  EXPECT_EQ(substitute("$IP_VERSION$IP $IP"), "4192.0.2.1 $IP");
  EXPECT_EQ(substitute("$IP_VERSION", Row().set(29, "6")), "6");
}

TEST(ReplaceServiceParameter, SpacingMacrosConsumeTheNextCharacter) {
  const struct {
    const char* line;
    const char* expected;
  } cases[] = {
      {"-p $SNMP_PORT,x", "-p 161 x"},  // comma consumed
      {"-p $SNMP_PORT", "-p 161 "},     // at the end only the macro goes
      {"-C $SNMP_COM", "-C 'public' "}, {"-C $SNMP_COM-x", "-C 'public' x"},
      {"-v $SNMP_VERSION", "-v 2 "},    {"$SNMP_PARAMETER", "-v 2 -p 161 -C 'public'  "},
  };
  for (const auto& c : cases) EXPECT_EQ(substitute(c.line), c.expected) << c.line;
  // Only three characters for $IP: the space after it stays.
  EXPECT_EQ(substitute("$IP x"), "192.0.2.1 x");
}

TEST(ReplaceServiceParameter, EmptyColumnsLeaveOnlyTheDecoration) {
  Row row;
  row.set(8, "").set(30, "").set(15, "");
  EXPECT_EQ(substitute("-C $SNMP_COM -p $SNMP_PORT -n $NODENAME.", row), "-C '' -p  -n .");
}

TEST(ReplaceServiceParameter, SnmpVersionTextIsTwoThreeOrOne) {
  const struct {
    const char* version;
    const char* expected;
  } cases[] = {{"1", "-v 1 "}, {"2", "-v 2 "},  {"3", "-v 3 "}, {"0", "-v 1 "},
               {"7", "-v 1 "}, {"-2", "-v 1 "}, {" 2", "-v 2 "}};
  for (const auto& c : cases)
    EXPECT_EQ(substitute("-v $SNMP_VERSION", Row().set(7, c.version)), c.expected) << c.version;
  EXPECT_EQ(splitArguments(substitute("-v $SNMP_VERSION", Row().set(7, "1"))), (Args{"-v", "1"}));
}

TEST(ReplaceServiceParameter, Version2TemplateEndToEnd) {
  const std::string line = substitute("-H $IP $SNMP_PARAMETER -w 5");
  EXPECT_EQ(line, "-H 192.0.2.1 -v 2 -p 161 -C 'public'  -w 5");
  service s;
  s.plugin_path = "/usr/lib/nagios/plugins/check_snmp";
  s.Setparameter(line);
  EXPECT_EQ(s.parameter_list,
            (Args{"-H", "192.0.2.1", "-v", "2", "-p", "161", "-C", "public", "-w", "5"}));
}

TEST(ReplaceServiceParameter, Version3TemplateWithAndWithoutPrivacy) {
  Row v3;
  v3.set(7, "3");
  EXPECT_EQ(substitute("-H $IP $SNMP_PARAMETER -w 5", v3),
            "-H 192.0.2.1 -v 3 -p 161 -U u3 -A 'ak' -P 'pk' -L SHA,AES -w 5");
  v3.set(21, "");
  EXPECT_EQ(substitute("-H $IP $SNMP_PARAMETER -w 5", v3),
            "-H 192.0.2.1 -v 3 -p 161 -U u3 -A 'ak' -L SHA -w 5");
  // The security level plays no part in the template.
  v3.set(18, "");
  EXPECT_EQ(substitute("$SNMP_PARAMETER", v3), "-v 3 -p 161 -U u3 -A 'ak' -L SHA ");
}

TEST(ReplaceServiceParameter, Version3TemplateFeedsTheTiboSplit) {
  service s;
  s.plugin_path = "/opt/plugins/check_tibo";
  s.Setparameter(substitute("-H $IP $SNMP_PARAMETER", Row().set(7, "3")));
  EXPECT_EQ(s.parameter_list, (Args{"-H", "192.0.2.1", "-v", "3", "-p", "161", "-U", "u3", "-A",
                                    "ak' -P 'pk' -L SHA,AES "}));
}

TEST(ReplaceServiceParameter, Snmp3MacrosRunWhenAnyIsPresent) {
  EXPECT_EQ(substitute("$SNMP3_PRIV_KEY"), "pk");
  EXPECT_EQ(substitute("$SNMP3_SECLVL $SNMP3_USER"), "authPriv u3");
  // A text inserted by an earlier macro is substituted by the later ones ...
  EXPECT_EQ(substitute("-C $SNMP_COM", Row().set(8, "$SNMP3_USER")), "-C 'u3' ");
  // ... but one inserted after its own step has passed stays.
  EXPECT_EQ(substitute("$TIBOSN", Row().set(16, "$NODEID")), "$NODEID");
}

TEST(ReplaceServiceParameter, NonNumericVersionThrowsOnlyWhenNeeded) {
  for (const char* version : {"abc", ""}) {
    for (const char* line : {"-v $SNMP_VERSION", "$SNMP_PARAMETER"}) {
      try {
        substitute(line, Row().set(7, version));
        ADD_FAILURE() << line << " with version '" << version << "' did not throw";
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "stoi");
      }
    }
  }
  EXPECT_EQ(substitute("-H $IP", Row().set(7, "abc")), "-H 192.0.2.1");
}

// Keyword substitution and the PGresult overload against a real database.
// What the log and stored outputs show of a line: the values of the secret options, quoted or
// not, and every occurrence of a known secret, are "***"; the rest stays as written.
TEST(MaskArgumentLine, HidesSecretOptionsAndKnownSecrets) {
  struct Case {
    std::string line;
    std::vector<std::string> secrets;
    std::string shown;
  } cases[] = {
      {"-H 10.0.0.1 -C 'my community' -o .1.3", {}, "-H 10.0.0.1 -C *** -o .1.3"},
      {"-v 3 -U u -a SHA -A \"k e y\" -x AES -X pp", {}, "-v 3 -U u -a *** -A *** -x *** -X ***"},
      {"--community=pub --authpasswd='a b' --privpasswd=",
       {},
       "--community=*** --authpasswd=*** --privpasswd="},
      {"-f /etc/t0ken.key -k t0ken", {"t0ken", ""}, "-f /etc/***.key -k ***"},
      {"-Cpublic -A'k e y' -xAES --community pub --authpasswd a --privpasswd p",
       {},
       "-C*** -A*** -x*** --community *** --authpasswd *** --privpasswd ***"},
      {"-C", {}, "-C"},  // nothing after the option
      {"-H host -w 5", {"absent"}, "-H host -w 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(maskArgumentLine(c.line, c.secrets), c.shown) << c.line;
}

class CommandLineDb : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    if (HasFatalFailure()) return;
    pool_ = std::make_unique<pgConnectionPool>(conninfo(), 1);
    pool_->prepareRequest("select_adv_config", sql::kSelectAdvConfig, 1);
    device_ = addDevice("host-a", "10.0.0.1");
  }
  void TearDown() override {
    debug = 0;
    pool_.reset();
    PgTest::TearDown();
  }

  long addType(const std::string& name) {
    return std::stol(
        scalar("INSERT INTO mavo_device_advance_config_type (device_config_type_name) VALUES (" +
               quote(name) + ") RETURNING device_config_type_id"));
  }
  void addConfig(long device, long type, const std::string& value_sql) {
    exec("INSERT INTO mavo_device_advance_config VALUES (" + std::to_string(device) + ", " +
         std::to_string(type) + ", " + value_sql + ")");
  }
  std::string replace(const std::string& line) {
    return replaceAuthFileKeywords(line, std::to_string(device_), pool_.get());
  }

  std::unique_ptr<pgConnectionPool> pool_;
  long device_ = 0;
};

TEST_F(CommandLineDb, AuthFileReplacesFirstOccurrenceOfEachKeyword) {
  addConfig(device_, addType("SSH"), quote("/etc/mavo/keys/a.key"));
  addConfig(device_, addType("CERT"), quote("/etc/mavo/a.pem"));
  EXPECT_EQ(replace("-i $AUTH_FILE_SSH -c $AUTH_FILE_CERT -j $AUTH_FILE_SSH"),
            "-i /etc/mavo/keys/a.key -c /etc/mavo/a.pem -j $AUTH_FILE_SSH");
}

TEST_F(CommandLineDb, AuthFileNullValueOtherDeviceAndUnknownKeywordStay) {
  addConfig(device_, addType("NULLED"), "NULL");
  const long other = addDevice("host-b", "10.0.0.2");
  addConfig(other, addType("OTHER"), quote("/elsewhere"));
  const std::string line =
      "-a $AUTH_FILE_NULLED -b $AUTH_FILE_OTHER -c $AUTH_FILE_MISSING $AUTH_FILE";
  EXPECT_EQ(replace(line), line);
}

TEST_F(CommandLineDb, AuthFileTracesEachReplacement) {
  addConfig(device_, addType("SSH"), quote("/k"));
  debug = 1;
  testing::internal::CaptureStdout();
  const std::string line = replace("-i $AUTH_FILE_SSH");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(line, "-i /k");
  const std::string expected =
      "#DEBUG#" + std::to_string(device_) + " REPLACE $AUTH_FILE_SSHBY SSH\n";
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(CommandLineDb, AuthFileWithoutPreparedStatementThrows) {
  pgConnectionPool bare(conninfo(), 1);
  EXPECT_THROW(replaceAuthFileKeywords("$AUTH_FILE_X", "1", &bare), PostgresqlException);
}

TEST_F(CommandLineDb, MacrosFromTheServiceQueryRow) {
  const long v4 = addDevice("edge-1", "10.1.2.3",
                            "device_snmp_version, device_snmp_community, device_snmp_port",
                            "'2', 'priv', '1161'");
  const long v6 = addDevice("edge-6", "2001:db8::1");
  const long plugin = addPlugin("/usr/lib/nagios/plugins/check_dummy");
  const std::string line =
      "-H $IP $SNMP_PARAMETER -n $NODENAME -s $SERID -d $NODEID -f $IP_VERSION -t $TIBOSN";
  const long s4 = addService("svc4", plugin, v4, 60000, line);
  const long s6 = addService("svc6", plugin, v6, 60000, "$IP_VERSION $IP $NODEID");
  exec("INSERT INTO tibo_info VALUES (900, 'SN-900')");
  exec("INSERT INTO tibo_connected VALUES (" + std::to_string(v6) + ", 900)");
  exec("INSERT INTO tibo_connected VALUES (" + std::to_string(v4) + ", 900)");

  PgResult result(pool_->executeRequest(sql::reloadServiceQuery(0)));
  ASSERT_EQ(PQnfields(result.get()), 31);
  ASSERT_EQ(PQntuples(result.get()), 2);
  std::map<long, std::string> lines;
  for (int r = 0; r < PQntuples(result.get()); ++r) {
    lines[std::stol(PQgetvalue(result.get(), r, 9))] =
        replaceServiceParameter(PQgetvalue(result.get(), r, 4), result.get(), r);
  }
  EXPECT_EQ(lines[s4], "-H 10.1.2.3 -v 2 -p 1161 -C 'priv'  -n edge-1 -s " + std::to_string(s4) +
                           " -d " + std::to_string(v4) + " -f 4 -t SN-900");
  EXPECT_EQ(lines[s6], "6 2001:db8::1 " + std::to_string(v6));
}

}  // namespace
