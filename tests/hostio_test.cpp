#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/hostio.h"
#include "tests/test_support.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/stat.h>

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

// Only a regular file that this user may write is read; nothing else is even opened.
TEST_F(HostFileTest, OnlyAWritableRegularFileIsRead) {
  namespace fs = std::filesystem;
  WriteFileBytes("real.bin", Pattern(16, 1));
  WriteFileBytes("readonly.bin", Pattern(16, 1));
  fs::permissions("readonly.bin", fs::perms::owner_read | fs::perms::group_read);
  std::FILE* probe = std::fopen("readonly.bin", "r+b");  // root writes read-only files
  const bool readOnlyRefused = probe == nullptr;
  if (probe != nullptr) {
    std::fclose(probe);
  }
  fs::create_directory("folder.bin");
  struct Case {
    const char* name;
    bool ok;
  };
  std::vector<Case> cases = {{"missing.bin", false}, {"folder.bin", false}, {"real.bin", true}};
  if (readOnlyRefused) {
    cases.push_back({"readonly.bin", false});
  }
#if defined(__linux__)
  // A FIFO would block the read for ever; a link to a device would open the device.
  ASSERT_EQ(mkfifo("fifo.bin", 0600), 0);
  fs::create_symlink("/dev/zero", "device.bin");
  fs::create_symlink("real.bin", "link.bin");
  cases.insert(cases.end(), {{"fifo.bin", false}, {"device.bin", false}, {"link.bin", true}});
#endif
  for (const Case& c : cases) {
    std::uint8_t buffer[16] = {};
    bool ok = true;
    std::string out = Captured([&] { ok = ReadHostFile(c.name, buffer, 16); });
    EXPECT_EQ(ok, c.ok) << c.name;
    EXPECT_EQ(out, c.ok ? "" : std::string(c.name) + ": Open File Error\n");
  }
  fs::permissions("readonly.bin", fs::perms::owner_write, fs::perm_options::add);
}

// The names in the working directory, for checking that nothing was left behind.
std::vector<std::string> DirectoryNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
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
  EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"dump.bin"});
}

// Whatever goes wrong, an earlier file survives and no temporary file is left behind.
TEST_F(HostFileTest, FailedWriteKeepsTheEarlierFile) {
  const Bytes data = Pattern(700, 9);
  std::filesystem::create_directory("folder");
  WriteFileBytes("folder/keep.bin", Pattern(3000, 4));
  struct Case {
    const char* name;
    std::string message;
  };
  const Case cases[] = {
      {"none/dump.bin", "none/dump.bin: Create File Error\n"},
      {"folder", "folder: Write File Error\n"},  // cannot replace a folder
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Captured([&] { EXPECT_FALSE(WriteHostFile(c.name, data.data(), 700)); }), c.message);
    EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"folder"}) << c.name;
  }
  EXPECT_EQ(ReadFileBytes("folder/keep.bin"), Pattern(3000, 4));
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
  EXPECT_EQ(DirectoryNames(), std::vector<std::string>{"dump.bin"});
}
#endif

}  // namespace
