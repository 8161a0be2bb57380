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

// Each row saves beside "victim", a file no save may change: links planted at the final name or
// at the name an older tool used for its temporary file are replaced or ignored, never written
// through; a hard link at the final name is a regular file that differs, so it keeps a numbered
// name; the new file takes mode 0644 less the umask. A save that fails gives the system's reason
// and leaves nothing behind (one whose temporary name would not fit tries nothing); with
// standard input closed the new file gets descriptor 0. No row leaves a descriptor open or
// signals blocked. Then a signal that ends the tool while the file is written keeps the earlier
// file and leaves no temporary file: here the write itself raises SIGXFSZ, whose default action
// ends the process.
TEST(SaveFile, NeitherPlantedLinksNorFailuresNorASignalMidWriteDoHarm) {
  const fs::path dir = fs::temp_directory_path() / ("jmsave." + std::to_string(getpid()));
  const fs::path dump = dir / "dump.bin", victim = dir / "victim";
  const fs::path barred = "/sys/jmreader.bin";  // sysfs takes no new files, even from root
  const int noAccess = open(barred.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) < 0 ? errno : 0;
  ASSERT_NE(noAccess, 0);
  int input = -1;
  // Its temporary name, 21 characters longer, just misses kSaveNameSize.
  const fs::path deep = dir / std::string(150, 'd') / std::string(150, 'd') /
                        std::string(kSaveNameSize - 21 - dir.string().size() - 303, 'f');
  using Setting = std::function<void(bool)>;
  auto plant = [&](const char* at) -> Setting {
    return [=](bool on) { on ? fs::create_symlink("victim", dir / at) : void(); };
  };
  using enum SaveOutcome;
  using enum FileFailure;
  // Made before the save (true) and undone after it; the name, what the save gives, the reason's
  // errno, and how many entries the folder has afterwards.
  const std::tuple<Setting, fs::path, SaveOutcome, FileFailure, int, int> cases[] = {
      {plant("dump.bin.tmp"), dump, kSaved, kNone, 0, 3},
      {plant("dump.bin"), dump, kSaved, kNone, 0, 2},
      {[&](bool on) { on ? void((fs::create_hard_link(victim, dump), umask(077))) : void(); }, dump,
       kSaved, kNone, 0, 3},
      {[](bool) {}, barred, kCreateFailed, kNoAccess, noAccess, 1},
      {[&](bool on) { on ? void(fs::create_directories(deep.parent_path())) : void(); }, deep,
       kCreateFailed, kTooLong, ENAMETOOLONG, 2},
      {[&](bool on) { on ? (input = dup(0), close(0)) : (dup2(input, 0), close(input)); }, dump,
       kSaved, kNone, 0, 2}};
  umask(022);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>("new dump");
  int row = 0;
  for (const auto& [setting, name, outcome, failure, code, entries] : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(victim) << "victim";
    const int descriptors = OpenDescriptors();
    sigset_t before = {}, after = {};
    sigprocmask(SIG_BLOCK, nullptr, &before);
    setting(true);
    SaveReport report;
    SaveFile(name.c_str(), bytes, 8, &report);
    const mode_t mask = umask(022);
    setting(false);
    sigprocmask(SIG_BLOCK, nullptr, &after);
    char reason[128] = "";
    PlatformFileErrorText(report.error, reason, sizeof reason);
    EXPECT_EQ(report.error.failure, failure) << ++row;
    EXPECT_EQ(report.outcome, outcome) << row;
    EXPECT_STREQ(reason, std::strerror(code)) << row;
    const bool saved = outcome == kSaved;
    EXPECT_EQ(Text(dump) + Text(victim), saved ? "new dumpvictim" : "victim") << row;
    EXPECT_TRUE(!saved || fs::symlink_status(dump).permissions() == fs::perms(0644 & ~mask));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), entries) << row;
    EXPECT_EQ(OpenDescriptors(), descriptors) << row;
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << row << ": signals left blocked";
  }
  char text[8], path[kFullPathSize];
  FileError error;
  const int descriptors = OpenDescriptors();
  EXPECT_EQ(ReadRegularFile(dump.c_str(), reinterpret_cast<std::uint8_t*>(text), 8, &error, path),
            8);
  EXPECT_EQ(OpenDescriptors(), descriptors) << "the read left a descriptor open";
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
  fs::remove_all(dir);
}

// Something happens at the name just before the save's link or rename from it ("l<", "r<") or
// its rename to it ("r>"): another run publishes its file, or takes the one there, or the call
// fails (a link's EPERM: a file system without hard links). Whatever another run put there keeps
// a numbered name unless it is the new content; a backup is undone only where the earlier file
// never left the name.
TEST(SaveFile, WhatAnotherRunDoesAtTheNameMeanwhile) {
  const fs::path dir = fs::temp_directory_path() / ("jmturn." + std::to_string(getpid()));
  const std::string name = (dir / "f").string();
  auto put = [&](const char* content) {
    return [=] { return fs::remove(name), std::ofstream(name) << content, 0; };
  };
  auto fail = [](int code) { return [=] { return code; }; };
  using enum SaveOutcome;
  // When, in turn; what happens; the outcome, its failure and every file in the folder after.
  const std::tuple<std::string, std::function<int()>, SaveOutcome, FileFailure, std::string>
      cases[] = {
          {"r>", put("other"), kSaved, FileFailure::kNone, "f.~1~!=earlier f.~2~=other f=new "},
          {"r>", put("new"), kSaved, FileFailure::kNone, "f.~1~!=earlier f=new "},
          {"r<", [&] { return fs::rename(name, name + "s"), 0; }, kSaved, FileFailure::kNone,
           "f.~1~!=earlier f=new fs=earlier "},
          {"r<", fail(EACCES), kKept, FileFailure::kNoAccess, "f=earlier kept=new "},
          {"l<", fail(EPERM), kSaved, FileFailure::kNone, "f.~1~!=earlier f=new "},
          {"l<r>", fail(EPERM), kKept, FileFailure::kNoAccess, "f=earlier kept=new "}};
  for (const auto& [at, happens, outcome, failure, files] : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(name) << "earlier";
    std::size_t next = 0;
    g_before = [&](char call, const char* from, const char* to) {
      const bool now =
          next < at.size() && at[next] == call && (at[next + 1] == '<' ? from : to) == name;
      next += now ? 2 : 0;
      return now ? happens() : 0;
    };
    SaveReport report;
    SaveFile(name.c_str(), reinterpret_cast<const std::uint8_t*>("new"), 3, &report);
    g_before = nullptr;
    std::set<std::string> found;  // the temporary file as "kept", the backup told with a "!"
    for (const fs::directory_entry& file : fs::directory_iterator(dir)) {
      found.insert((file.path() == report.kept ? "kept" : file.path().filename().string()) +
                   (file.path() == report.backup ? "!=" : "=") + Text(file.path()) + " ");
    }
    const std::string all = std::accumulate(found.begin(), found.end(), std::string());
    EXPECT_EQ(std::make_tuple(report.outcome, report.error.failure, all),
              std::make_tuple(outcome, failure, files))
        << files;
  }
  fs::remove_all(dir);
}

// Two runs save the same name at once, with different contents, pair after pair, every other pair
// over an earlier file of a third content: each content ends up under the name or a numbered
// backup (the earlier one maybe under two), none is lost and no other name is left.
TEST(SaveFile, TwoRunsAtOnceLoseNoContent) {
  const fs::path top = fs::temp_directory_path() / ("jmrace." + std::to_string(getpid()));
  for (int pair = 0; pair < 400; ++pair) {
    const fs::path dir = top / std::to_string(pair);
    fs::create_directories(dir);
    const std::string name = (dir / "f").string();
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
    std::string contents, names;
    for (const fs::directory_entry& file : fs::directory_iterator(dir)) {
      const std::string n = file.path().filename().string();
      contents += Text(file.path());
      names += n == "f" || (n.starts_with("f.~") && n.ends_with("~")) ? "" : n;
    }
    std::sort(contents.begin(), contents.end());
    contents.erase(std::unique(contents.begin(), contents.end()), contents.end());
    ASSERT_EQ(contents + names, pair % 2 == 1 ? "abe" : "ab") << pair;
  }
  fs::remove_all(top);
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
  EXPECT_EQ(ReadRegularFile("dump.bin", &byte, 1, &error, path), 1);
  EXPECT_EQ(report.outcome, SaveOutcome::kSaved);
  EXPECT_EQ(std::string(report.path) + path, here + "/dump.bin" + here + "/dump.bin");
  EXPECT_EQ(fchdir(back), 0);
  close(back);
  EXPECT_EQ(std::system(("rm -rf " + top).c_str()), 0);
}

}  // namespace
