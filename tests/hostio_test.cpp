#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "app/files.h"
#include "app/input.h"
#include "tests/test_support.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#endif

namespace {

// Each input gives the lines ReadInputLine returns, then the end of input.
TEST(ReadInputLine, SplitsLinesAndKeepsTheBufferSafe) {
  const std::string longLine(200, 'x');
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"a\r\nb\n", {"a", "b"}},
      {"last", {"last"}},
      {"\n", {""}},
      {"a\rb\n", {"a\rb"}},
      {longLine + "\n2\n", {std::string(127, 'x'), "2"}},
      {std::string("ab\x1a") + "cd\n", {"ab"}}};
  for (const auto& [input, lines] : cases) {
    BeginCapture(input);
    for (const std::string& expected : lines) {
      char buffer[129];
      buffer[128] = '#';
      ASSERT_TRUE(ReadInputLine(buffer, 128)) << input;
      EXPECT_EQ(std::string(buffer), expected);
      EXPECT_EQ(buffer[128], '#') << "wrote past the buffer";
    }
    char untouched[4] = {'k', 'e', 'e', 'p'};
    EXPECT_FALSE(ReadInputLine(untouched, sizeof untouched)) << input;
    EXPECT_EQ(std::string(untouched, 4), "keep");
    EndCapture();
  }
}

class HostFileTest : public SimTest {};

// The error stream: first the file's full path, `path` ("jmreader: read <path>", ...), then for
// a failure (a `tail`) one reason line: "jmreader: <name>: <the system's text><tail>", where the
// system's text differs between systems and `tail` is the tool's own.
void ExpectErrors(const std::string& path, const std::string& name, const char* tail) {
  const std::string all = Masked(CapturedErrors());
  EXPECT_EQ(all.substr(0, path.size()), path) << name;
  const std::string e = all.substr(std::min(path.size(), all.size()));
  const std::string head = "jmreader: " + name + ": ", end = tail == nullptr ? "" : tail;
  EXPECT_TRUE(tail == nullptr ? e.empty()
                              : e.starts_with(head) && e.ends_with(end + "\n") &&
                                    e.size() >= head.size() + end.size() + 1 &&
                                    std::count(e.begin(), e.end(), '\n') == 1)
      << name << ": " << e;
}

// Only a regular file that this user may write is read, its first bytes up to the length asked;
// nothing else is even opened.
TEST_F(HostFileTest, ReadsTheStartOfAWritableRegularFile) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    int size;                 // bytes read, or -1: Open File Error, 0: Read File Error
    std::string reason = "";  // how the reason on the error stream ends
  };
#if defined(_WIN32)
  const std::string other = "not a regular file (it must be a regular file, not a link)";
#else
  const std::string other = "not a regular file (it must be a regular file, or a link to one)";
#endif
  // Past the longest path there is: no full path for it either.
  const std::string unnamed(40000, 'n');
  std::vector<Case> cases = {
      {"missing.bin", -1, " (it must be in the current folder)"},
      {"folder.bin", -1, other},
      {"empty.bin", 0, "the file is empty (it must hold the 512-byte sector)"},
      {"1.bin", 1},
      {"600.bin", 512},
      {unnamed.c_str(), -1}};
  WriteFileBytes("empty.bin", {});
  WriteFileBytes("1.bin", Pattern(1, 1));
  WriteFileBytes("600.bin", Pattern(600, 1));
  fs::create_directory("folder.bin");
  WriteFileBytes("readonly.bin", Pattern(16, 1));
  fs::permissions("readonly.bin", fs::perms::owner_read);
  std::FILE* probe = std::fopen("readonly.bin", "r+b");  // root writes read-only files
  if (probe == nullptr) {
    cases.push_back({"readonly.bin", -1, " (the file must be writable)"});
  } else {
    std::fclose(probe);
  }
#if defined(__linux__)
  // A FIFO would block the read for ever.
  ASSERT_EQ(mkfifo("fifo.bin", 0600), 0);
  fs::create_symlink("1.bin", "link.bin");
  cases.insert(cases.end(), {{"fifo.bin", -1, other}, {"link.bin", 1}});
#endif
  for (const Case& c : cases) {
    Bytes buffer(512, 0xEE);
    bool ok = false;
    std::string out = Captured([&] { ok = ReadHostFile(c.name, buffer.data(), 512); });
    EXPECT_EQ(ok, c.size > 0) << c.name;
    EXPECT_EQ(out, c.size < 0    ? std::string(c.name) + ": Open File Error\n"
                   : c.size == 0 ? std::string(c.name) + ": Read File Error\n"
                                 : "");
    // The file itself (a link's target) when it was opened, else the name made absolute.
    const bool target = std::string(c.name) == "link.bin" && c.size > 0;
    const std::string path =
        std::string("jmreader: ") + (c.size < 0 ? "not read: " : "read ") +
        (c.name == unnamed ? unnamed + " (the system gives no full path for it)"
                           : (fs::current_path() / (target ? "1.bin" : c.name)).string()) +
        "\n";
    ExpectErrors(path, c.name, c.size > 0 ? nullptr : c.reason.c_str());
    Bytes expected = Pattern(std::max(c.size, 0), 1);
    expected.resize(512, 0xEE);  // bytes past the file's end keep what they held
    EXPECT_EQ(buffer, expected) << c.name;
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

// Saves in a row: a new file replaces an earlier one whole, and an earlier one that differs keeps
// the first free numbered name, printed; a complete file that cannot take its name stays under
// the name printed, with the system's reason on the error stream. Nothing is lost or left
// half-written.
TEST_F(HostFileTest, WriteKeepsEveryEarlierFileAndEveryCompleteOne) {
  const Bytes first = Pattern(5000, 1), third = Pattern(700, 10);
  Bytes second = Pattern(700, 9);
  second[10] = '\n';  // binary: no line-end translation
  std::filesystem::create_directory("folder");
  WriteFileBytes("dump.bin", first);
  struct Case {
    const char* name;
    const Bytes& data;
    std::string message;  // "*" stands for the temporary file's 16 hex digits
    std::vector<std::string> names;
    std::string paths;  // "<what> <name>" lines, "|" between: the error stream names full paths
  };
  const std::vector<std::string> one = {"dump.bin", "dump.bin.~1~", "folder"};
  const std::vector<std::string> two = {"dump.bin", "dump.bin.~1~", "dump.bin.~2~", "folder"};
  const std::vector<std::string> kept = {"dump.bin", "dump.bin.~1~", "dump.bin.~2~", "folder",
                                         "folder.*.tmp"};
  const std::string here = (std::filesystem::current_path() / "").string();
  const Case cases[] = {
      {"dump.bin", second, "Earlier dump.bin kept as dump.bin.~1~\n", one,
       "saved dump.bin|kept dump.bin.~1~"},
      {"dump.bin", second, "", one, "saved dump.bin"},  // the same content again: no backup
      {"dump.bin", third, "Earlier dump.bin kept as dump.bin.~2~\n", two,
       "saved dump.bin|kept dump.bin.~2~"},
      {"folder/dump.bin", third, "", two, "saved folder/dump.bin"},
      {"none/dump.bin", second, "none/dump.bin: Create File Error\n", two,
       "not saved: none/dump.bin"},
      {"folder", second, "folder: Rename File Error, new file kept as folder.*.tmp\n", kept,
       "saved folder.*.tmp"},
  };
  for (const Case& c : cases) {
    bool ok = false;
    std::string out = Captured([&] { ok = WriteHostFile(c.name, c.data.data(), 700); });
    std::vector<std::string> names = DirectoryNames();
    for (std::string& name : names) {
      if (Masked(name) != name) {
        EXPECT_EQ(ReadFileBytes(name), c.data);  // the kept file is complete
        name = Masked(name);
      }
    }
    EXPECT_EQ(Masked(out), c.message) << c.name;
    EXPECT_EQ(ok, c.message.empty() || c.message[0] == 'E') << c.name;
    std::string paths = std::regex_replace(c.paths + "|", std::regex("([^|]* )([^| ]*)\\|"),
                                           "jmreader: $1" + here + "$2\n");
    std::replace(paths.begin(), paths.end(), '/', char(std::filesystem::path::preferred_separator));
    ExpectErrors(paths, c.name, ok ? nullptr : "");  // a failure: the system's reason alone
    EXPECT_EQ(names, c.names) << c.name;
  }
#if defined(__linux__)
  // No file may grow past 512 bytes (the console's capture stays below): the write fails, and
  // leaves nothing behind.
  const rlimit full = {RLIM_INFINITY, RLIM_INFINITY}, limit = {512, RLIM_INFINITY};
  const std::vector<std::string> before = DirectoryNames();
  std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(Captured([&] { WriteHostFile("dump.bin", first.data(), 700); }),
            "dump.bin: Write File Error\n");
  setrlimit(RLIMIT_FSIZE, &full);
  std::signal(SIGXFSZ, SIG_DFL);
  ExpectErrors("jmreader: not saved: " + here + "dump.bin\n", "dump.bin", std::strerror(EFBIG));
  EXPECT_EQ(DirectoryNames(), before);
#endif
  EXPECT_EQ(ReadFileBytes("dump.bin"), third);
  EXPECT_EQ(ReadFileBytes("dump.bin.~1~"), first);
  EXPECT_EQ(ReadFileBytes("dump.bin.~2~"), second);
}

}  // namespace
