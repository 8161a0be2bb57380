// Saving the dump where other users can plant links and files, and ending mid-write.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// Links at the final name or at the name an older tool used for its temporary file are replaced
// or ignored, never written through; the new file takes mode 0644 less the umask. Then a signal
// that ends the tool while the file is written keeps the earlier file and leaves no temporary
// file: here the write itself raises SIGXFSZ, whose default action ends the process.
TEST(SaveFile, NeitherPlantedLinksNorASignalMidWriteDoHarm) {
  // Where the link is, whether symbolic, the umask, how many entries the folder has afterwards.
  // A hard link at the final name is a regular file that differs: it keeps a numbered name.
  const std::tuple<const char*, bool, mode_t, int> cases[] = {
      {"dump.bin.tmp", true, 022, 3}, {"dump.bin", true, 022, 2}, {"dump.bin", false, 077, 3}};
  const fs::path dir = fs::temp_directory_path() / ("jmsave." + std::to_string(getpid()));
  const fs::path dump = dir / "dump.bin";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>("new dump");
  for (auto [at, symbolic, mask, entries] : cases) {
    // Each row in an empty folder but for "victim", a file that no save may change.
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "victim") << "victim";
    symbolic ? fs::create_symlink("victim", dir / at)
             : fs::create_hard_link(dir / "victim", dir / at);
    mode_t previous = umask(mask);
    SaveReport report;
    EXPECT_EQ(PlatformSaveFile(dump.c_str(), bytes, 8, &report), SaveOutcome::kSaved) << at;
    umask(previous);
    EXPECT_EQ(fs::symlink_status(dump).permissions(), fs::perms(0644 & ~mask)) << at;
    EXPECT_EQ(Text(dump) + Text(dir / "victim"), "new dumpvictim") << at;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), entries) << at;
  }
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit small = {100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    SaveReport report;
    PlatformSaveFile(dump.c_str(), std::vector<std::uint8_t>(4096).data(), 4096, &report);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
  EXPECT_EQ(Text(dump), "new dump");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3) << "the victim, its link, the dump";
  fs::remove_all(dir);
}

}  // namespace
