// Status file layout and overload rules.

#include "daemon/monitor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "tests/support/text.h"

namespace {

TEST(StatusReport, KnownCoreRowMatchesTheLayoutByteForByte) {
  std::string report = formatStatusReport(3, 1, {{2, 4, 0, 37, 12.0f, 5}});
  auto l = lines(report);
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[0], "Delete queue: 3");
  EXPECT_EQ(l[1], "Database number of connection: 1");
  EXPECT_EQ(l[2], std::string(104, '-'));
  EXPECT_EQ(l[3],
            "| CORE |     STATUS |      LOAD | DB CONNECT |          ACTIVITY | EXEC SIZE | "
            "EXEC STATE | QUEUE SIZE |");
  EXPECT_EQ(l[3].size(), 104u);
  EXPECT_EQ(l[4], l[2]);
  EXPECT_EQ(l[5],
            "|    0 |         OK |        12 |          5 |       2 /       4 |         0 |"
            "         OK |         37 |");
  EXPECT_EQ(l[5].size(), 104u);
  EXPECT_EQ(l[6], "TOTAL SERVICE: 39");
  EXPECT_EQ(report.back(), '\n');
}

TEST(StatusReport, NoCoreGivesHeaderAndZeroTotal) {
  auto l = lines(formatStatusReport(0, 1, {}));
  ASSERT_EQ(l.size(), 6u);
  EXPECT_EQ(l[5], "TOTAL SERVICE: 0");
}

struct OverloadCase {
  int busy, threads;
  long due;
  const char* status;
  const char* exec_state;
};

TEST(StatusReport, OverloadRules) {
  const OverloadCase cases[] = {
      {2, 4, 0, "OK", "OK"},       {3, 4, 0, "OVERLOAD", "OK"}, {0, 1, 0, "OVERLOAD", "OK"},
      {0, 0, 0, "OVERLOAD", "OK"}, {0, 4, 50, "OK", "OK"},      {0, 4, 51, "OVERLOAD", "OVERLOAD"},
      {0, 4, 0, "OK", "OK"},
  };
  for (const auto& c : cases) {
    auto l = lines(formatStatusReport(0, 1, {{c.busy, c.threads, c.due, 0, 0.0f, 1}}));
    const std::string& row = l[5];
    EXPECT_EQ(row.substr(8, 11), std::string(11 - strlen(c.status), ' ') + c.status)
        << c.busy << "/" << c.threads << " due " << c.due;
    EXPECT_EQ(row.substr(78, 11), std::string(11 - strlen(c.exec_state), ' ') + c.exec_state)
        << c.busy << "/" << c.threads << " due " << c.due;
  }
}

TEST(StatusReport, LoadUsesSixSignificantDigitsAndRowsFollowCoreOrder) {
  auto l =
      lines(formatStatusReport(0, 1, {{0, 4, 0, 400000, 2000000.0f, 2}, {1, 4, 2, 3, 0.5f, 2}}));
  EXPECT_EQ(l[5].substr(21, 10), "     2e+06");
  EXPECT_EQ(l[6].substr(0, 6), "|    1");
  EXPECT_EQ(l[6].substr(21, 10), "       0.5");
  EXPECT_EQ(l[7], "TOTAL SERVICE: 400006");
}

TEST(StatusReport, ItemsWiderThanTheirColumnAreWrittenWhole) {
  auto l = lines(formatStatusReport(0, 1, {{0, 4, 123456789012L, 0, 0.0f, 1}}));
  EXPECT_NE(l[5].find(" |123456789012 |"), std::string::npos) << l[5];
  EXPECT_EQ(l[5].size(), 106u);
}

}  // namespace
