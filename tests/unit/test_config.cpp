// Configuration file: lookups, integer conversion and section walks over
// files written into a scratch directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"

namespace {

int OpenFdCount() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/natd-config-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    savedPath_ = Config_Path;
    Config_Path = dir_ + "/nat.conf";
    fdsBefore_ = OpenFdCount();
  }
  void TearDown() override {
    // Every lookup and walk must have closed its stream again.
    EXPECT_EQ(OpenFdCount(), fdsBefore_);
    unlink(Config_Path.c_str());
    rmdir(dir_.c_str());
    Config_Path = savedPath_;
  }
  void Write(const std::string &text) {
    FILE *f = fopen(Config_Path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
    fclose(f);
  }
  using Entries = std::vector<std::pair<std::string, std::string>>;
  Entries Walk(const char *section) {
    Entries out;
    ConfigSection *c = Config_OpenSection(section);
    if (!c) return out;
    std::string value;
    while (auto key = Config_NextEntry(c, &value)) out.emplace_back(*key, value);
    EXPECT_FALSE(Config_NextEntry(c, &value)) << "an exhausted walk stays exhausted";
    Config_CloseSection(c);
    return out;
  }

  std::string dir_, savedPath_;
  int fdsBefore_ = 0;
};

struct LookupCase {
  const char *name;
  std::string file;
  const char *section, *key;
  std::optional<std::string> want;
};

const std::string kLong(20000, 'a');

const LookupCase kLookups[] = {
    {"section upper case", "[HOST]\nip = 1\n", "host", "ip", "1"},
    {"section mixed case", "[Host]\nip = 1\n", "host", "ip", "1"},
    {"blanks inside brackets", "[ host ]\nip = 1\n", "host", "ip", std::nullopt},
    {"longer section name", "[hostx]\nip = 1\n", "host", "ip", std::nullopt},
    {"text after bracket ignored", "[host] extra\nip = 1\n", "host", "ip", "1"},
    {"indented header", "  \t[host]\nip = 1\n", "host", "ip", "1"},
    {"key case and colon", "[host]\nIP: 10.0.0.1\n", "host", "ip", "10.0.0.1"},
    {"blanks around separator", "[host]\n\tip \t= \t7\n", "host", "ip", "7"},
    {"key prefix does not match", "[s]\nport2 = 1\nport = 5\n", "s", "port", "5"},
    {"longer key only", "[s]\nports = 1\n", "s", "port", std::nullopt},
    {"commented key", "[host]\n#configport = 1\n", "host", "configport", std::nullopt},
    {"comment then key", "[host]\n#configport = 1\nconfigport = 7\n", "host", "configport", "7"},
    {"key before any section", "ip = 1\n[host]\n", "host", "ip", std::nullopt},
    {"key in another section", "[tcp]\nk = 1\n[udp]\n", "udp", "k", std::nullopt},
    {"missing section", "[tcp]\nk = 1\n", "udp", "k", std::nullopt},
    {"empty file", "", "s", "k", std::nullopt},
    {"double quotes keep blanks", "[host]\ndev = \"my dev\" x\n", "host", "dev", "my dev"},
    {"unquoted ends at blank", "[host]\ndev = my dev\n", "host", "dev", "my"},
    {"single quotes", "[s]\nk = 'a \"b\" c'\n", "s", "k", "a \"b\" c"},
    {"unterminated quote ends at line end", "[s]\nk = \"abc\n", "s", "k", "abc"},
    {"escaped quote inside quotes", "[s]\nk = \"x\\\"y\"\n", "s", "k", "x\"y"},
    {"escapes r t n", "[s]\nk = a\\tb\\nc\\rd\n", "s", "k", "a\tb\nc\rd"},
    {"escaped blank and backslash", "[s]\nk = a\\ b\\\\c\n", "s", "k", "a b\\c"},
    {"backslash at end of line", "[s]\nk = abc\\\nnext = 1\n", "s", "k", "abc"},
    {"backslash at end of file", "[s]\nk = abc\\", "s", "k", "abc"},
    {"semicolon kept", "[dns]\npolicy = order;\n", "dns", "policy", "order;"},
    {"comment after value", "[udp]\ntimeout = 30 # seconds\n", "udp", "timeout", "30"},
    {"empty value", "[udp]\ntimeout =\n", "udp", "timeout", ""},
    {"blank value", "[udp]\ntimeout =   \t\n", "udp", "timeout", ""},
    {"separator inside value", "[in]\n8887 = 10.0.0.5:21\n", "in", "8887", "10.0.0.5:21"},
    {"first of repeated key", "[s]\nk = 1\nk = 2\n", "s", "k", "1"},
    {"later section of same name", "[udp]\na = 1\n[tcp]\nb = 2\n[udp]\nb = 3\n", "udp", "b", "3"},
    {"first section of same name wins", "[udp]\nb = 1\n[udp]\nb = 3\n", "udp", "b", "1"},
    {"CR LF lines", "[host]\r\nip = 10.0.0.1\r\n", "host", "ip", "10.0.0.1"},
    {"CR LF quoted", "[host]\r\ndev = \"my dev\"\r\n", "host", "dev", "my dev"},
    {"CR LF empty value", "[udp]\r\ntimeout =\r\n", "udp", "timeout", ""},
    {"no newline at end", "[s]\nk = v", "s", "k", "v"},
    {"after a 20000-byte line", "[s]\nlong = " + kLong + "\nk = v\n", "s", "k", "v"},
    // fgets hands the line over in 16383-byte pieces; each piece is a line.
    {"long value cut at the piece", "[s]\nlong = " + kLong + "\n", "s", "long",
     std::string(16383 - 7, 'a')},
    {"second piece read as a line", "[s]\n" + std::string(16383, 'x') + "hidden = 1\n", "s", "hidden",
     "1"},
};

TEST_F(ConfigTest, LookupTable) {
  for (const LookupCase &c : kLookups) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    EXPECT_EQ(Config_GetString(c.section, c.key), c.want);
  }
}

TEST_F(ConfigTest, GetIntConversions) {
  struct {
    const char *line;
    unsigned long want;
  } cases[] = {
      {"timeout = 30", 30},     {"timeout =", 0},          {"timeout = 30s", 99},
      {"timeout = abc", 99},    {"timeout = \"42\"", 42},  {"timeout = 0x10", 99},
      {"timeout = 010", 10},    {"timeout = 30 ; c", 30},  {"other = 5", 99},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    Write(std::string("[udp]\n") + c.line + "\n");
    EXPECT_EQ(Config_GetInt("udp", "timeout", 99), c.want);
  }
  Write("[udp]\ntimeout = -1\n");
  EXPECT_EQ(static_cast<int>(Config_GetInt("udp", "timeout", 99)), -1);
}

TEST_F(ConfigTest, MissingFileGivesDefaults) {
  EXPECT_EQ(Config_GetString("host", "ip"), std::nullopt);
  EXPECT_EQ(Config_GetInt("udp", "timeout", 60), 60u);
  EXPECT_EQ(Config_OpenSection("incomingtcp"), nullptr);
  Config_CloseSection(nullptr);
}

TEST_F(ConfigTest, FileIsReadAgainAtEveryLookup) {
  Write("[udp]\ntimeout = 30\n");
  EXPECT_EQ(Config_GetInt("udp", "timeout", 0), 30u);
  Write("[udp]\ntimeout = 45\n");
  EXPECT_EQ(Config_GetInt("udp", "timeout", 0), 45u);
}

TEST_F(ConfigTest, WalkTable) {
  struct {
    const char *name;
    std::string file;
    Entries want;
  } cases[] = {
      {"forwards, comment and blank skipped",
       "[incomingtcp]\n8887 = 10.0.0.5:21\n   #8888 = x\n\n8889=10.0.0.6:22\n",
       {{"8887", "10.0.0.5:21"}, {"8889", "10.0.0.6:22"}}},
      {"stops at the next header", "[IncomingTCP]\na = 1\n[other]\nb = 2\n", {{"a", "1"}}},
      {"repeated key returned twice", "[incomingtcp]\nport = 1\nport = 2\n", {{"port", "1"}, {"port", "2"}}},
      {"later section of same name not walked", "[incomingtcp]\na = 1\n[incomingtcp]\nb = 2\n", {{"a", "1"}}},
      {"inner blanks kept, trailing blanks cut", "[incomingtcp]\nmy key \t = v\n", {{"my key", "v"}}},
      {"colon separator, first separator wins", "[incomingtcp]\nk: a=b\n", {{"k", "a=b"}}},
      {"lines starting with a separator or without one skipped",
       "[incomingtcp]\n= x\n: y\nnoseparator\nk = v\n", {{"k", "v"}}},
      {"empty and quoted values", "[incomingtcp]\ne =\nq = \"a b\"\n", {{"e", ""}, {"q", "a b"}}},
      {"CR LF file", "[incomingtcp]\r\n8887 = 10.0.0.5:21\r\n\r\nq = \"a b\r\nz = x\\\r\n",
       {{"8887", "10.0.0.5:21"}, {"q", "a b"}, {"z", "x"}}},
      {"last line without newline", "[incomingtcp]\nk = v", {{"k", "v"}}},
      {"header is the last line", "[incomingtcp]\n", {}},
      {"section missing", "[other]\nk = v\n", {}},
      {"entries before the header not walked", "k = v\n[incomingtcp]\nj = w\n", {{"j", "w"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    EXPECT_EQ(Walk("incomingtcp"), c.want);
  }
}

TEST_F(ConfigTest, WalkWithoutValueAndInterleavedLookups) {
  Write("[PrivilegedTCP]\nport = 21\nautodetect = 1\nport = 23\n[host]\nip = 10.0.0.1\n");
  ConfigSection *c = Config_OpenSection("privilegedtcp");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Config_NextEntry(c, nullptr), "port");
  // A lookup opens its own handle and must not disturb the walk's position.
  EXPECT_EQ(Config_GetString("host", "ip"), "10.0.0.1");
  EXPECT_EQ(Config_GetInt("privilegedtcp", "autodetect", 0), 1u);
  std::string value;
  EXPECT_EQ(Config_NextEntry(c, &value), "autodetect");
  EXPECT_EQ(value, "1");
  EXPECT_EQ(Config_NextEntry(c, &value), "port");
  EXPECT_EQ(value, "23");
  EXPECT_EQ(Config_NextEntry(c, &value), std::nullopt);
  Config_CloseSection(c);
}

}  // namespace
