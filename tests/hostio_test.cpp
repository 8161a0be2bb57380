#include <cstdio>
#include <string>
#include <vector>

#include "app/hostio.h"
#include "tests/test_support.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <csignal>
#endif

namespace {

TEST(ParseLeadingInt, ReadsTheLeadingNumberWithWrapAround) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"  12abc", 12},
      {"-5", -5},
      {"+7", 7},
      {"abc", 0},
      {"- 5", 0},
      {"", 0},
      {"\t\n\v\f\r 3u", 3},
      {"2147483647", 2147483647},
      {"2147483648", -2147483647 - 1},
      {"4294967297", 1},
      {"-2147483648", -2147483647 - 1},
      {"99y", 99},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseLeadingInt(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(ContainsChar, IsCaseSensitiveAndStopsAtTheEnd) {
  EXPECT_TRUE(ContainsChar("2uy", 'u'));
  EXPECT_FALSE(ContainsChar("2uy", 'U'));
  EXPECT_FALSE(ContainsChar("", 'u'));
}

// Each input gives the lines ReadInputLine returns, then the end of input.
TEST(ReadInputLine, SplitsLinesAndKeepsTheBufferSafe) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  };
  const std::string longLine(200, 'x');
  const Case cases[] = {
      {"3u\n", {"3u"}},
      {"3u\r\n", {"3u"}},
      {"a\r\nb\n", {"a", "b"}},
      {"last", {"last"}},
      {"\n", {""}},
      {"", {}},
      {"a\rb\n", {"a\rb"}},
      {longLine + "\n2\n", {std::string(127, 'x'), "2"}},
      {"ab\x1a"
       "cd\n",
       {"ab"}},
  };
  for (const Case& c : cases) {
    BeginCapture(c.input);
    for (const std::string& expected : c.lines) {
      char buffer[129];
      buffer[128] = '#';
      ASSERT_TRUE(ReadInputLine(buffer, 128)) << c.input;
      EXPECT_EQ(std::string(buffer), expected);
      EXPECT_EQ(buffer[128], '#') << "wrote past the buffer";
    }
    char untouched[4] = {'k', 'e', 'e', 'p'};
    EXPECT_FALSE(ReadInputLine(untouched, sizeof untouched)) << c.input;
    EXPECT_EQ(std::string(untouched, 4), "keep");
    EndCapture();
  }
}

class HostFileTest : public SimTest {};

TEST_F(HostFileTest, ReadsTheStartOfAFile) {
  struct Case {
    std::size_t fileSize;
    bool ok;
    std::string message;
  };
  const Case cases[] = {
      {100, true, ""},
      {600, true, ""},
      {0, false, "jm_nvram.bin: Read File Error\n"},
  };
  for (const Case& c : cases) {
    Bytes content = Pattern(c.fileSize, 3);
    WriteFileBytes("jm_nvram.bin", content);
    Bytes buffer(512, 0xEE);
    bool ok = false;
    std::string out = Captured([&] { ok = ReadHostFile("jm_nvram.bin", buffer.data(), 512); });
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(out, c.message);
    std::size_t n = std::min<std::size_t>(c.fileSize, 512);
    EXPECT_TRUE(std::equal(content.begin(), content.begin() + n, buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + n, buffer.end(), [](auto b) { return b == 0xEE; }))
        << "bytes past the file's end must keep what they held";
  }
}

TEST_F(HostFileTest, MissingOrReadOnlyFileDoesNotOpen) {
  std::uint8_t buffer[16] = {};
  EXPECT_EQ(Captured([&] { EXPECT_FALSE(ReadHostFile("jm_nvram.bin", buffer, 16)); }),
            "jm_nvram.bin: Open File Error\n");

  WriteFileBytes("jm_nvram.bin", Pattern(16, 1));
  std::filesystem::permissions(
      "jm_nvram.bin", std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  std::FILE* probe = std::fopen("jm_nvram.bin", "r+b");
  if (probe == nullptr) {
    EXPECT_EQ(Captured([&] { EXPECT_FALSE(ReadHostFile("jm_nvram.bin", buffer, 16)); }),
              "jm_nvram.bin: Open File Error\n");
  }
  // Writable again, so the scratch directory can be removed.
  std::filesystem::permissions("jm_nvram.bin", std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  if (probe != nullptr) {
    std::fclose(probe);
    GTEST_SKIP() << "this user may write read-only files (root)";
  }
}

TEST_F(HostFileTest, WriteReplacesAnEarlierFileWhole) {
  WriteFileBytes("dump.bin", Pattern(5000, 1));
  Bytes data = Pattern(700, 9);
  data[10] = '\n';  // binary: no line-end translation
  EXPECT_EQ(Captured([&] {
              EXPECT_TRUE(WriteHostFile("dump.bin", data.data(), static_cast<int>(data.size())));
            }),
            "");
  EXPECT_EQ(ReadFileBytes("dump.bin"), data);
  EXPECT_FALSE(std::filesystem::exists("dump.bin.tmp"));
}

// Whatever goes wrong, an earlier file survives and no temporary file is left behind.
TEST_F(HostFileTest, FailedWriteKeepsTheEarlierFile) {
  const Bytes earlier = Pattern(3000, 4);
  const Bytes data = Pattern(700, 9);
  struct Case {
    const char* what;
    void (*prepare)();
    std::string message;
  };
  const Case cases[] = {
      {"cannot create", [] { std::filesystem::create_directory("dump.bin.tmp"); },
       "dump.bin: Create File Error\n"},
      {"cannot rename", [] { Sim().replaceFails = true; }, "dump.bin: Write File Error\n"},
  };
  for (const Case& c : cases) {
    WriteFileBytes("dump.bin", earlier);
    c.prepare();
    EXPECT_EQ(Captured([&] { EXPECT_FALSE(WriteHostFile("dump.bin", data.data(), 700)); }),
              c.message)
        << c.what;
    EXPECT_EQ(ReadFileBytes("dump.bin"), earlier) << c.what;
    std::error_code ignored;
    if (std::filesystem::is_directory("dump.bin.tmp")) {
      std::filesystem::remove("dump.bin.tmp", ignored);
    } else {
      EXPECT_FALSE(std::filesystem::exists("dump.bin.tmp")) << c.what;
    }
    Sim().replaceFails = false;
  }
}

#if defined(__linux__)
// A disk that fills up part way: the file size limit makes the write fail after 1000 bytes.
TEST_F(HostFileTest, WriteFailingPartWayKeepsTheEarlierFile) {
  const Bytes earlier = Pattern(300, 4);
  WriteFileBytes("dump.bin", earlier);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1000;
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Bytes data = Pattern(70000, 2);
  std::string out = Captured([&] { EXPECT_FALSE(WriteHostFile("dump.bin", data.data(), 70000)); });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(out, "dump.bin: Write File Error\n");
  EXPECT_EQ(ReadFileBytes("dump.bin"), earlier);
  EXPECT_FALSE(std::filesystem::exists("dump.bin.tmp"));
}
#endif

}  // namespace
