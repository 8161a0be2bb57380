// Saving the dump where other users can plant links and files, and ending mid-write.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <numeric>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_policy.h"
#include "app/files.h"
#include "base/console.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// The save's links and renames land here: the hook a test sets runs first ('l' or 'r', the
// names), and an errno it returns fails the call.
std::function<int(char call, const char* from, const char* to)> g_before;

}  // namespace

extern "C" int __real_link(const char*, const char*);
extern "C" int __real_renameat2(int, const char*, int, const char*, unsigned);
extern "C" int __wrap_link(const char* from, const char* to) {
  errno = g_before ? g_before('l', from, to) : 0;
  return errno != 0 ? -1 : __real_link(from, to);
}
extern "C" int __wrap_renameat2(int at, const char* from, int atTo, const char* to,
                                unsigned flags) {
  errno = g_before ? g_before('r', from, to) : 0;
  return errno != 0 ? -1 : __real_renameat2(at, from, atTo, to, flags);
}

// This process's open descriptors, for checking that none is left open.
int OpenDescriptors() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

namespace {

// Each row saves "new dump" beside "victim", a file no save may change; then the folder holds the
// files listed ("<name>=<content>", the backup told with a "!", another run's file told with a "+",
// the temporary file as "kept").
// Links planted at the final name or at the name an older tool used for its temporary file are
// replaced or ignored, never written through; a hard link at the final name is a regular file
// that differs, so it keeps a numbered name; the new file takes mode 0644 less the umask. A save
// that fails gives the system's reason and leaves nothing behind (one whose temporary name would
// not fit tries nothing); with standard input closed the new file gets descriptor 0. Over an
// earlier file, something happens just before the save's link or rename from the name ("l<",
// "r<") or its rename to it ("r>"): another run publishes its file or takes the one there, or the
// call fails (a link's EPERM: no hard links). Another run's file keeps a numbered name; a backup
// is undone only where the earlier file never left the name. No row leaves a descriptor open or
// signals blocked. Then a signal that ends the tool while the file is written keeps the earlier
// file and leaves no temporary file: here the write itself raises SIGXFSZ, whose default action
// ends the process. Last, the save that finds another run's file after keeping the earlier one
// tells the user where both went.
TEST(SaveFile, NeitherPlantedLinksNorOtherRunsNorFailuresNorASignalMidWriteDoHarm) {
  const fs::path dir = fs::temp_directory_path() / ("jmsave." + std::to_string(getpid()));
  const fs::path dump = dir / "dump.bin", victim = dir / "victim";
  const fs::path barred = "/sys/jmreader.bin";  // sysfs takes no new files, even from root
  const int noAccess = open(barred.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) < 0 ? errno : 0;
  ASSERT_NE(noAccess, 0);
  int input = -1;
  // Its temporary name, 21 characters longer, just misses kSaveNameSize.
  const std::string d(150, 'd');
  const fs::path deep =
      dir / d / d / std::string(kSaveNameSize - 21 - dir.string().size() - 303, 'f');
  using Setting = std::function<void(bool)>;
  auto plant = [&](const char* at) -> Setting {
    return [=](bool on) { on ? fs::create_symlink("victim", dir / at) : void(); };
  };
  // Over an earlier file, `happens` just before each step that `at` names, in turn.
  auto turn = [&](std::string at, std::function<int()> happens, bool earlier = true) -> Setting {
    return [=](bool on) {
      on&& earlier ? void(std::ofstream(dump) << "earlier") : void();
      g_before = [=, next = std::size_t{0}](char call, const char* from, const char* to) mutable {
        const bool now = on && next < at.size() && at[next] == call &&
                         (at[next + 1] == '<' ? from : to) == dump.string();
        next += now ? 2 : 0;
        return now ? happens() : 0;
      };
    };
  };
  auto put = [&](const char* content) {
    return [=] { return fs::remove(dump), std::ofstream(dump) << content, 0; };
  };
  auto fail = [](int code) { return [=] { return code; }; };
  using enum SaveOutcome;
  using enum FileFailure;
  const std::string saved = "dump.bin=new dump victim=victim ";
  // Made before the save (true) and undone after it; the name, what the save gives, the reason's
  // errno, and the folder afterwards.
  const std::tuple<Setting, fs::path, SaveOutcome, FileFailure, int, std::string> cases[] = {
      {plant("dump.bin.tmp"), dump, kSaved, kNone, 0, "dump.bin.tmp=victim " + saved},
      {plant("dump.bin"), dump, kSaved, kNone, 0, saved},
      {[&](bool on) { on ? void((fs::create_hard_link(victim, dump), umask(077))) : void(); }, dump,
       kSaved, kNone, 0, "dump.bin.~1~!=victim " + saved},
      {[](bool) {}, barred, kCreateFailed, kNoAccess, noAccess, "victim=victim "},
      {[&](bool on) { on ? void(fs::create_directories(deep.parent_path())) : void(); }, deep,
       kCreateFailed, kTooLong, ENAMETOOLONG, d + "= victim=victim "},
      {turn("r>", put("other")), dump, kSaved, kNone, 0,
       "dump.bin.~1~!=earlier dump.bin.~2~+=other " + saved},
      {turn("r>", put("other"), false), dump, kSaved, kNone, 0, "dump.bin.~1~!=other " + saved},
      {turn("r<", [&] { return fs::rename(dump, dir / "dump.bins"), 0; }), dump, kSaved, kNone, 0,
       "dump.bin.~1~!=earlier dump.bin=new dump dump.bins=earlier victim=victim "},
      {turn("r<", fail(EACCES)), dump, kKept, kNoAccess, EACCES,
       "dump.bin=earlier kept=new dump victim=victim "},
      {turn("l<", fail(EPERM)), dump, kSaved, kNone, 0, "dump.bin.~1~!=earlier " + saved},
      {turn("l<r>", fail(EPERM)), dump, kKept, kNoAccess, EPERM,
       "dump.bin=earlier kept=new dump victim=victim "},
      {[&](bool on) { on ? (input = dup(0), close(0)) : (dup2(input, 0), close(input)); }, dump,
       kSaved, kNone, 0, saved}};
  umask(022);
  int row = 0;
  for (const auto& [setting, name, outcome, failure, code, files] : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(victim) << "victim";
    const int descriptors = OpenDescriptors();
    sigset_t before = {}, after = {};
    sigprocmask(SIG_BLOCK, nullptr, &before);
    setting(true);
    SaveReport report;
    SaveFile(name.c_str(), reinterpret_cast<const std::uint8_t*>("new dump"), 8, &report);
    const mode_t mask = umask(022);
    setting(false);
    sigprocmask(SIG_BLOCK, nullptr, &after);
    char reason[128] = "";
    PlatformFileErrorText(report.error, reason, sizeof reason);
    std::set<std::string> found;
    for (const fs::directory_entry& file : fs::directory_iterator(dir)) {
      found.insert((file.path() == report.kept ? "kept" : file.path().filename().string()) +
                   (file.path() == report.backup  ? "!="
                    : file.path() == report.other ? "+="
                                                  : "=") +
                   (file.is_directory() ? "" : Text(file.path())) + " ");
    }
    EXPECT_EQ(
        std::make_tuple(report.error.failure, report.outcome, std::string(reason),
                        std::accumulate(found.begin(), found.end(), std::string()),
                        report.backup[0] != '\0', report.other[0] != '\0'),
        std::make_tuple(failure, outcome, std::string(std::strerror(code)), files,
                        files.find('!') != std::string::npos, files.find('+') != std::string::npos))
        << ++row;
    EXPECT_TRUE(outcome != kSaved ||
                fs::symlink_status(dump).permissions() == fs::perms(0644 & ~mask));
    EXPECT_EQ(OpenDescriptors(), descriptors) << row;
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << row << ": signals left blocked";
  }
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit small = {100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    SaveReport report;
    SaveFile(dump.c_str(), std::vector<std::uint8_t>(4096).data(), 4096, &report);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
  EXPECT_EQ(Text(dump), "new dump");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "the victim, the dump";
  // The race of row 6 through WriteHostFile: where each file went is told, in the order it happens.
  fs::remove_all(dir);
  fs::create_directories(dir);
  turn("r>", put("other"))(true);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* said = open_memstream(&text, &size);
  SetConsoleStreams(said, nullptr);
  SetConsoleErrorStream(said);
  WriteHostFile(dump.c_str(), reinterpret_cast<const std::uint8_t*>("new dump"), 8);
  SetConsoleStreams(nullptr, nullptr);
  SetConsoleErrorStream(nullptr);
  std::fclose(said);
  const std::string at = dump.string();
  EXPECT_EQ(std::string(text, size),
            "jmreader: saved " + at + "\nEarlier " + at + " kept as " + at +
                ".~1~\njmreader: kept " + at + ".~1~\nAnother run's " + at +
                ", saved meanwhile, kept as " + at + ".~2~\njmreader: kept " + at + ".~2~\n");
  std::free(text);
  fs::remove_all(dir);
}

// A kept stretch takes the signals that would end the tool, each seen by the work and never
// delivered, and leaves the signal mask as it found it.
TEST(KeptInterruptions, TakenAndTheMaskRestored) {
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    static bool s_seen[2];
    sigset_t before = {}, after = {};
    sigprocmask(SIG_BLOCK, nullptr, &before);
    const bool came = PlatformKeepInterruptions(
        [](void* n, const KeptInterruptions& kept) {
          s_seen[0] = PlatformInterruptionCame(kept);
          raise(*static_cast<int*>(n));
          s_seen[1] = PlatformInterruptionCame(kept);
        },
        &number);
    sigprocmask(SIG_BLOCK, nullptr, &after);
    EXPECT_EQ(
        std::make_tuple(s_seen[0], s_seen[1], came, std::memcmp(&before, &after, sizeof after)),
        std::make_tuple(false, true, true, 0))
        << number;
  }
}

// Two runs save the same name at once, with different contents, pair after pair, every other pair
// over an earlier file of a third content: each content ends up under the name or a numbered
// backup (the earlier one maybe under two): none is lost.
TEST(SaveFile, TwoRunsAtOnceLoseNoContent) {
  const fs::path dir = fs::temp_directory_path() / ("jmrace." + std::to_string(getpid()));
  fs::create_directories(dir);
  for (int pair = 0; pair < 400; ++pair) {
    const std::string name = (dir / std::to_string(pair)).string();
    if (pair % 2 == 1) {
      std::ofstream(name) << 'e';
    }
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    for (char run : {'a', 'b'}) {
      if (fork() == 0) {
        SaveReport report;
        close(start[1]);
        _exit(read(start[0], &run, 1) == 0 &&  // both start when the pipe closes
                      (SaveFile(name.c_str(), reinterpret_cast<std::uint8_t*>(&run), 1, &report),
                       report.outcome == SaveOutcome::kSaved)
                  ? 0
                  : 1);
      }
    }
    close(start[0]);
    close(start[1]);
    for (int i = 0, status = -1; i < 2; ++i) {
      EXPECT_TRUE(wait(&status) > 0 && status == 0) << pair;
    }
    std::string contents =
        Text(name) + Text(name + ".~1~") + Text(name + ".~2~") + Text(name + ".~3~");
    std::sort(contents.begin(), contents.end());
    contents.erase(std::unique(contents.begin(), contents.end()), contents.end());
    ASSERT_EQ(contents, pair % 2 == 1 ? "abe" : "ab") << pair;
  }
  fs::remove_all(dir);
}

// In a folder whose path is longer than PATH_MAX, where the kernel names no open file's path, the
// full paths are made from the current folder's.
TEST(SaveFile, PathsPastPathMax) {
  const int back = open(".", O_RDONLY | O_DIRECTORY);
  const std::string top = fs::temp_directory_path() / ("jmlong." + std::to_string(getpid()));
  ASSERT_TRUE(mkdir(top.c_str(), 0700) == 0 && chdir(top.c_str()) == 0);
  std::string here = top;
  for (const std::string part(250, 'd'); here.size() <= PATH_MAX; here += "/" + part) {
    ASSERT_TRUE(mkdir(part.c_str(), 0700) == 0 && chdir(part.c_str()) == 0);
  }
  SaveReport report;
  SaveFile("dump.bin", reinterpret_cast<const std::uint8_t*>("x"), 1, &report);
  std::uint8_t byte = 0;
  char path[kFullPathSize];
  FileError error;
  const int descriptors = OpenDescriptors();
  EXPECT_EQ(ReadRegularFile("dump.bin", &byte, 1, &error, path), 1);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "the read left a descriptor open";
  EXPECT_EQ(report.outcome, SaveOutcome::kSaved);
  EXPECT_EQ(std::string(report.path) + path, here + "/dump.bin" + here + "/dump.bin");
  EXPECT_EQ(fchdir(back), 0);
  close(back);
  EXPECT_EQ(std::system(("rm -rf " + top).c_str()), 0);
}

}  // namespace
