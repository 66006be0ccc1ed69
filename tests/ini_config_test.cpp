// Configuration reader: section and key matching, comments, blanks, CRLF files.

#include "core/ini_config.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

struct KeyCase {
  const char* name;
  const char* file;
  const char* section;
  const char* key;
  const char* expected;
};

class IniKeyTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(IniKeyTest, FindsTheValueTheScannerSees) {
  const KeyCase& c = GetParam();
  TempDir dir;
  iniConfig cfg(dir.write("mavo.conf", c.file));
  EXPECT_EQ(cfg.getKey(c.section, c.key), c.expected) << c.name;
}

const KeyCase kKeyCases[] = {
    {"plain", "[MAVO]\ncore_number=2\n", "MAVO", "core_number", "2"},
    {"last line without newline", "[MAVO]\ncore_number=3", "MAVO", "core_number", "3"},
    {"header after blanks", "   [MAVO]\ncore_number=2\n", "MAVO", "core_number", "2"},
    {"header after tabs", "\t\t[MAVO]\ncore_number=2\n", "MAVO", "core_number", "2"},
    {"header after blanks then tabs", "  \t[MAVO]\ncore_number=2\n", "MAVO", "core_number", "2"},
    {"header after tab then blank", "\t [MAVO]\ncore_number=2\n", "MAVO", "core_number", ""},
    {"blank inside brackets", "[ MAVO]\ncore_number=2\n", "MAVO", "core_number", ""},
    {"lower-case name", "[mavo]\ncore_number=2\n", "MAVO", "core_number", ""},
    {"trailing blank after header", "[MAVO] \ncore_number=2\n", "MAVO", "core_number", ""},
    {"key after blanks and tabs", "[MAVO]\n  \tcore_number=4\n", "MAVO", "core_number", "4"},
    {"commented key", "[MAVO]\n#core_number=2\n", "MAVO", "core_number", ""},
    {"commented key after blanks", "[MAVO]\n   #core_number=2\n", "MAVO", "core_number", ""},
    {"hash after value stays", "[MAVO]\ncore_number=2 # two\n", "MAVO", "core_number", "2 # two"},
    {"blanks around = kept", "[MAVO]\ncore_number = 2\n", "MAVO", "core_number", " 2"},
    {"further = in value", "[P]\nPGSQL_pwd=a=b\n", "P", "PGSQL_pwd", "a=b"},
    {"key only in another section", "[LOG]\ndaemon_id=4\n[MAVO]\ncore_number=1\n", "MAVO",
     "daemon_id", ""},
    {"section ends at next bracket", "[MAVO]\n[OTHER]\ncore_number=5\n", "MAVO", "core_number", ""},
    {"only first section searched", "[MAVO]\na=1\n[X]\n[MAVO]\ncore_number=9\n", "MAVO",
     "core_number", ""},
    {"same key twice: first wins", "[MAVO]\ncore_number=1\ncore_number=2\n", "MAVO", "core_number",
     "1"},
    {"longer key first wins", "[P]\nPGSQL_host_backup=b\nPGSQL_host=a\n", "P", "PGSQL_host", "b"},
    {"key text in a value", "[P]\nother=PGSQL_host\nPGSQL_host=a\n", "P", "PGSQL_host",
     "PGSQL_host"},
    {"line without = stops search", "[MAVO]\ncore_number\ncore_number=2\n", "MAVO", "core_number",
     ""},
    {"CRLF hides headers", "[MAVO]\r\ncore_number=2\r\n", "MAVO", "core_number", ""},
    {"missing section", "[LOG]\nx=1\n", "MAVO", "x", ""},
    {"empty file", "", "MAVO", "x", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniKeyTest, ::testing::ValuesIn(kKeyCases),
                         [](const ::testing::TestParamInfo<KeyCase>& info) {
                           std::string n;
                           for (const char* p = info.param.name; *p; ++p)
                             n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

TEST(IniConfig, MissingFileThrowsOnEveryCall) {
  iniConfig cfg("/nonexistent/mavo.conf");
  for (int i = 0; i < 2; ++i) {
    try {
      cfg.getKey("MAVO", "core_number");
      FAIL() << "no exception";
    } catch (const FileException& e) {
      EXPECT_STREQ(e.what(),
                   "error: can't open file /nonexistent/mavo.conf: No such file or directory");
    }
  }
  EXPECT_THROW(cfg.getSection("MAVO"), FileException);
  EXPECT_THROW(cfg.firstCrlfLine(), FileException);
}

TEST(IniConfig, FirstCrlfLineIsCountedFromOne) {
  TempDir dir;
  EXPECT_EQ(iniConfig(dir.write("lf.conf", "[MAVO]\na=1\n")).firstCrlfLine(), 0);
  EXPECT_EQ(iniConfig(dir.write("crlf.conf", "[MAVO]\r\na=1\r\n")).firstCrlfLine(), 1);
  EXPECT_EQ(iniConfig(dir.write("mixed.conf", "# x\n[MAVO]\na=1\r\n")).firstCrlfLine(), 3);
  EXPECT_EQ(iniConfig(dir.write("last.conf", "[MAVO]\na=1\r")).firstCrlfLine(), 2);
  EXPECT_EQ(iniConfig(dir.write("inner.conf", "[MAVO]\na=1\rb\n")).firstCrlfLine(), 0);
}

TEST(IniConfig, LookupSeesTheFileAsItIsNow) {
  TempDir dir;
  std::string path = dir.write("mavo.conf", "[MAVO]\ncore_number=1\n");
  iniConfig cfg(path);
  EXPECT_EQ(cfg.getKey("MAVO", "core_number"), "1");
  dir.write("mavo.conf", "[MAVO]\ncore_number=7\n");
  EXPECT_EQ(cfg.getKey("MAVO", "core_number"), "7");
}

TEST(IniConfig, SectionKeepsLastValueHeaderAndEmptyLine) {
  TempDir dir;
  iniConfig cfg(
      dir.write("mavo.conf", "[LOG]\nx=0\n[MAVO]\na=1\n#c=3\n\na=2\nflag\n[NEXT]\nb=4\n"));
  auto* m = cfg.getSection("MAVO");
  EXPECT_EQ(m->at("a"), "2");
  EXPECT_EQ(m->count("[MAVO]"), 1u);
  EXPECT_EQ(m->count(""), 1u);
  EXPECT_EQ(m->at("flag"), "");
  EXPECT_EQ(m->count("#c"), 0u);
  EXPECT_EQ(m->count("b"), 0u);
  EXPECT_EQ(m->count("x"), 0u);
  // A later call adds to what the map already holds.
  cfg.getSection("NEXT");
  EXPECT_EQ(m->at("a"), "2");
  EXPECT_EQ(m->at("b"), "4");
}

TEST(IniConfig, KeyToIntReadsLeadingNumberOrZero) {
  TempDir dir;
  iniConfig cfg(dir.write("mavo.conf", "[M]\nk1= 42x\nk2=abc\nk3=-3\n"));
  EXPECT_EQ(cfg.getKeyToInt("M", "k1"), 42);
  EXPECT_EQ(cfg.getKeyToInt("M", "k2"), 0);
  EXPECT_EQ(cfg.getKeyToInt("M", "k3"), -3);
  EXPECT_EQ(cfg.getKeyToInt("M", "missing"), 0);
}

}  // namespace
