// Saving the dump where other users can plant links and files, and ending part way.
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

#include <gtest/gtest.h>

#include "bridge/platform.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

SaveOutcome Save(const fs::path& name, const std::string& text) {
  return PlatformSaveFile(name.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                          static_cast<std::uint32_t>(text.size()));
}

// Empties the test's folder but for "victim", a file that no save may change; gives the folder.
fs::path Folder() {
  const fs::path dir = fs::temp_directory_path() / ("jmsave." + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "victim") << "victim";
  return dir;
}

// Links at the final name or at the name an older tool used for its temporary file are replaced
// or ignored, never written through; the new file takes mode 0644 less the umask.
TEST(SaveFile, PlantedLinksAreNeverWrittenThrough) {
  // Where the link is, whether symbolic, the umask, how many entries the folder has afterwards.
  const std::tuple<const char*, bool, mode_t, int> cases[] = {
      {"dump.bin", true, 022, 2}, {"dump.bin", false, 077, 2}, {"dump.bin.tmp", true, 022, 3}};
  for (auto [at, symbolic, mask, entries] : cases) {
    fs::path dir = Folder();
    symbolic ? fs::create_symlink("victim", dir / at)
             : fs::create_hard_link(dir / "victim", dir / at);
    mode_t previous = umask(mask);
    EXPECT_EQ(Save(dir / "dump.bin", "new dump"), SaveOutcome::kSaved) << at;
    umask(previous);
    struct stat st = {};
    lstat((dir / "dump.bin").c_str(), &st);
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFREG | (0644 & ~mask)) << at;
    EXPECT_EQ(Text(dir / "dump.bin") + Text(dir / "victim"), "new dumpvictim") << at;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), entries)
        << "a temporary file was left";
  }
  fs::remove_all(Folder());
}

// A signal that ends the tool while the file is written leaves no temporary file: here the
// write itself raises SIGXFSZ, whose default action ends the process.
TEST(SaveFile, ASignalPartWayLeavesNoTemporaryFile) {
  fs::path dir = Folder();
  EXPECT_EQ(Save(dir / "dump.bin", "earlier"), SaveOutcome::kSaved);
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit small = {100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    Save(dir / "dump.bin", std::string(4096, 'x'));
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
  EXPECT_EQ(Text(dir / "dump.bin"), "earlier");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2) << "only the victim and the dump";
  fs::remove_all(dir);
}

}  // namespace
