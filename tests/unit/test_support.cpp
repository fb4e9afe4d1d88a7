// Support services: bounded and truncating formatting, error texts, the
// line reader, the tokenizer, the file-name encoding and the file calls
// with UTF-8 paths.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/support.h"

namespace {

using ::testing::ExitedWithCode;

int Trunc(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = Str_VFormatTrunc(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

TEST(BoundedTest, FitsAtSizeMinusOneAndPanicsAtSize) {
  char buf[6];
  EXPECT_EQ(Str_Format(buf, sizeof buf, "%s", "abcde"), 5);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EXIT(Str_Format(buf, sizeof buf, "%s", "abcdef"), ExitedWithCode(255),
              "Zelmor NAT Panic: .*test_support\\.cpp:[0-9]+ Buffer too small 0x[0-9a-f]+");

  Str_Copy(buf, "abcde", sizeof buf);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EXIT(Str_Copy(buf, "abcdef", sizeof buf), ExitedWithCode(255), "Buffer too small");

  Str_Copy(buf, "ab", sizeof buf);
  Str_Append(buf, "cde", sizeof buf);
  EXPECT_STREQ(buf, "abcde");
  Str_Copy(buf, "ab", sizeof buf);
  EXPECT_EXIT(Str_Append(buf, "cdef", sizeof buf), ExitedWithCode(255), "Buffer too small");
}

TEST(TruncTest, CutsOnlyAtWholeUtf8Characters) {
  // "h" + U+00E9 (2 bytes) + U+20AC (3 bytes) + U+1F600 (4 bytes) + "z"
  const char *text = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  struct {
    size_t size;
    int ret;
    const char *want;
  } cases[] = {
      {1, -1, ""},           {2, -1, "h"},
      {3, -1, "h"},          {4, -1, "h\xC3\xA9"},
      {5, -1, "h\xC3\xA9"},  {6, -1, "h\xC3\xA9"},
      {7, -1, "h\xC3\xA9\xE2\x82\xAC"}, {10, -1, "h\xC3\xA9\xE2\x82\xAC"},
      {11, -1, "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {12, 11, text},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(Trunc(buf, c.size, "%s", text), c.ret);
    EXPECT_STREQ(buf, c.want);
  }
  char untouched[2] = {'#', '#'};
  EXPECT_EQ(Trunc(untouched, 0, "%s", "x"), -1);
  EXPECT_EQ(untouched[0], '#');
}

TEST(ErrTextTest, CachedPreservesErrnoAndMatchesLibc) {
  errno = 1234;
  const char *a = Err_Text(ENOENT);
  EXPECT_EQ(errno, 1234);
  const char *b = Err_Text(ENOENT);
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, strerror(ENOENT));
  // Numbers that share a bucket, and ones libc does not know, stay apart.
  const char *far = Err_Text(ENOENT + 2048);
  EXPECT_NE(far, a);
  EXPECT_STREQ(far, strerror(ENOENT + 2048));
  EXPECT_STREQ(Err_Text(-5), strerror(-5));
  EXPECT_EQ(Err_Text(ENOENT), a);
}

struct LineCase {
  const char *name;
  std::string input;
  std::vector<std::string> lines;
};

TEST(LineReadTest, LineEndsAndLastLine) {
  const LineCase cases[] = {
      {"newline", "a\nb\n", {"a", "b"}},
      {"carriage return", "a\rb\r", {"a", "b"}},
      {"CR LF", "a\r\nb\r\n", {"a", "b"}},
      {"empty lines of each kind", "\r\r\n\n", {"", "", ""}},
      {"last line without end", "a\n\nb", {"a", "", "b"}},
      {"CR at end of file", "x\r", {"x"}},
      {"empty stream", "", {}},
      {"embedded NUL", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
      {"long line", std::string(100000, 'q') + "\nz", {std::string(100000, 'q'), "z"}},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.name);
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    fwrite(c.input.data(), 1, c.input.size(), f);
    rewind(f);
    std::vector<std::string> got;
    char *line;
    size_t len;
    int r;
    while ((r = Line_Read(f, 0, &line, &len)) == 2) {
      got.emplace_back(line, len);
      EXPECT_EQ(line[len], '\0');
      free(line);
    }
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Line_Read(f, 0, &line, &len), 1) << "end of file stays end of file";
    EXPECT_EQ(got, c.lines);
    fclose(f);
  }
}

TEST(LineReadTest, LimitAndStreamError) {
  FILE *f = tmpfile();
  fputs("abc\nabcd\n", f);
  rewind(f);
  char *line;
  size_t len;
  ASSERT_EQ(Line_Read(f, 3, &line, &len), 2);
  EXPECT_STREQ(line, "abc");
  free(line);
  errno = 0;
  EXPECT_EQ(Line_Read(f, 3, &line, &len), 0);
  EXPECT_EQ(errno, E2BIG);
  EXPECT_EQ(line, nullptr);
  fclose(f);

  char path[] = "/tmp/natd-line-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  FILE *w = fopen(path, "w");  // reading a write-only stream fails
  errno = 0;
  EXPECT_EQ(Line_Read(w, 0, &line, &len), 0);
  EXPECT_EQ(errno, EBADF);
  fclose(w);
  unlink(path);
}

TEST(TokenTest, SplitsOnAnyDelimiter) {
  const char *s = "  a,b;;cd ";
  size_t i = 0;
  std::vector<std::string> toks;
  while (char *t = Str_NextToken(&i, s, " ,;")) {
    toks.emplace_back(t);
    free(t);
  }
  EXPECT_EQ(toks, (std::vector<std::string>{"a", "b", "cd"}));
  EXPECT_EQ(i, strlen(s));
  i = 0;
  EXPECT_EQ(Str_NextToken(&i, ",,,", ","), nullptr);
  i = 2;
  char *t = Str_NextToken(&i, "xyz", "");
  EXPECT_STREQ(t, "z");
  EXPECT_EQ(i, 3u);
  free(t);
}

// Runs each test with a chosen environment and a freshly computed encoding,
// and puts the environment back afterwards.
class CharsetTest : public ::testing::Test {
 protected:
  static constexpr const char *kVars[] = {"G_FILENAME_ENCODING", "G_BROKEN_FILENAMES", "LC_ALL"};
  void SetUp() override {
    for (const char *v : kVars) {
      const char *s = getenv(v);
      saved_.emplace_back(s != nullptr, s ? s : "");
      unsetenv(v);
    }
    Charset_ResetForTest();
    char tmpl[] = "/tmp/natd-charset-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].first) setenv(kVars[i], saved_[i].second.c_str(), 1);
      else unsetenv(kVars[i]);
    }
    Charset_ResetForTest();
    EXPECT_EQ(rmdir(dir_.c_str()), 0) << "test left files behind";
  }
  static void Env(const char *name, const char *value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  std::vector<std::pair<bool, std::string>> saved_;
  std::string dir_;
};

TEST_F(CharsetTest, EncodingChosenFromEnvironment) {
  struct {
    const char *enc, *broken, *lcAll, *want;
  } cases[] = {
      {nullptr, nullptr, "C.UTF-8", "UTF-8"},
      {"ISO-8859-1", nullptr, nullptr, "ISO-8859-1"},
      {"ISO-8859-15,UTF-8", "1", nullptr, "ISO-8859-15"},
      {"@locale", nullptr, "C", "ANSI_X3.4-1968"},
      {"@locale,UTF-8", nullptr, "C.UTF-8", "UTF-8"},
      {"", "1", "C", "ANSI_X3.4-1968"},
      {nullptr, "", "C", "ANSI_X3.4-1968"},
      {nullptr, nullptr, "C", "UTF-8"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.enc ? c.enc : "-") + " / " + (c.broken ? c.broken : "-"));
    Env("G_FILENAME_ENCODING", c.enc);
    Env("G_BROKEN_FILENAMES", c.broken);
    Env("LC_ALL", c.lcAll);
    Charset_ResetForTest();
    EXPECT_STREQ(Charset_FilenameEncoding(), c.want);
  }
  // Computed once: a later change of the environment is not seen.
  Env("G_FILENAME_ENCODING", "KOI8-R");
  EXPECT_STREQ(Charset_FilenameEncoding(), "UTF-8");
}

TEST_F(CharsetTest, PathsConvertedToFilenameEncoding) {
  Env("G_FILENAME_ENCODING", "ISO-8859-1");
  std::string utf8 = dir_ + "/caf\xC3\xA9";
  std::string latin1 = dir_ + "/caf\xE9";
  int fd = File_Open(utf8.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat st;
  EXPECT_EQ(stat(latin1.c_str(), &st), 0) << "the name on disk is ISO-8859-1";
  EXPECT_EQ(File_Stat(utf8.c_str(), &st), 0);
  FILE *f = File_Fopen(utf8.c_str(), "r");
  ASSERT_NE(f, nullptr);
  fclose(f);

  // U+20AC has no ISO-8859-1 form: EINVAL, and nothing reaches the system.
  std::string euro = dir_ + "/\xE2\x82\xAC";
  errno = 0;
  EXPECT_EQ(File_Open(euro.c_str(), O_CREAT | O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(File_Fopen(euro.c_str(), "w"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(File_Unlink(euro.c_str()), -1);
  EXPECT_EQ(errno, EINVAL);

  EXPECT_EQ(File_Unlink(utf8.c_str()), 0);
  errno = 0;
  EXPECT_EQ(File_Stat(utf8.c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT) << "the system's errno is kept";
}

TEST_F(CharsetTest, InvalidUtf8PathRejected) {
  std::string bad = dir_ + "/\xFF";
  struct stat st;
  errno = 0;
  EXPECT_EQ(File_Stat(bad.c_str(), &st), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(File_Unlink((dir_ + "/none").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(CharsetTest, InitConvertsArguments) {
  Env("G_FILENAME_ENCODING", "ISO-8859-1");
  char a0[] = "natd", a1[] = "caf\xE9";
  char *argv[] = {a0, a1, nullptr};
  Charset_Init(2, argv);
  EXPECT_EQ(argv[0], a0) << "an unchanged argument stays in place";
  EXPECT_STREQ(argv[1], "caf\xC3\xA9");
}

TEST_F(CharsetTest, UnsupportedEncodingPanics) {
  char a0[] = "natd", bad[] = "\xFF";
  char *argv[] = {a0, bad, nullptr};
  Env("G_FILENAME_ENCODING", "NO-SUCH-CHARSET");
  EXPECT_EXIT(Charset_Init(1, argv), ExitedWithCode(255),
              "Unsupported local character encoding \"NO-SUCH-CHARSET\"");
  EXPECT_EXIT(File_Unlink("/nonexistent"), ExitedWithCode(255), "Unsupported local character encoding");
  Charset_ResetForTest();
  Env("G_FILENAME_ENCODING", ",UTF-8");  // empty name before the comma
  EXPECT_EXIT(Charset_Init(1, argv), ExitedWithCode(255), "Unsupported local character encoding \"\"");
  Charset_ResetForTest();
  Env("G_FILENAME_ENCODING", "UTF-8");  // known, but the argument is not UTF-8
  EXPECT_EXIT(Charset_Init(2, argv), ExitedWithCode(255), "Unsupported local character encoding \"UTF-8\"");
}

}  // namespace
