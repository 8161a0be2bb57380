// Saving the dump where other users can plant links and files, and ending part way.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "bridge/platform.h"

namespace fs = std::filesystem;

namespace {

std::string Text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("jmsave." + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "victim") << "victim";
  }
  void TearDown() override { fs::remove_all(dir_); }
  SaveOutcome Save(const char* text) {
    return PlatformSaveFile((dir_ / "dump.bin").c_str(),
                            reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
  }
  int Entries() {
    return static_cast<int>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  fs::path dir_;
};

// Links at the final name or at the name an older tool used for its temporary file are replaced
// or ignored, never written through.
TEST_F(SaveFileTest, PlantedLinksAreNeverWrittenThrough) {
  struct Case {
    const char* what;
    void (*plant)(const fs::path& dir);
    int entries;  // in the folder afterwards
  };
  const Case cases[] = {
      {"symlink at the final name",
       [](const fs::path& d) { fs::create_symlink(d / "victim", d / "dump.bin"); }, 2},
      {"hard link at the final name",
       [](const fs::path& d) { fs::create_hard_link(d / "victim", d / "dump.bin"); }, 2},
      {"symlink at a guessable temporary name",
       [](const fs::path& d) { fs::create_symlink(d / "victim", d / "dump.bin.tmp"); }, 3},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "dump.bin");
    fs::remove(dir_ / "dump.bin.tmp");
    c.plant(dir_);
    ASSERT_EQ(Save("new dump"), SaveOutcome::kSaved) << c.what;
    EXPECT_EQ(Text(dir_ / "victim"), "victim") << c.what;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "dump.bin"))) << c.what;
    EXPECT_EQ(Text(dir_ / "dump.bin"), "new dump") << c.what;
    EXPECT_EQ(Entries(), c.entries) << c.what << ": a temporary file was left";
  }
}

TEST_F(SaveFileTest, NewFileTakesTheUsualModeLessTheUmask) {
  for (mode_t mask : {022, 077}) {
    mode_t previous = umask(mask);
    ASSERT_EQ(Save("x"), SaveOutcome::kSaved);
    umask(previous);
    struct stat st;
    ASSERT_EQ(stat((dir_ / "dump.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
  }
}

// A signal that ends the tool while the file is written leaves no temporary file: here the
// write itself raises SIGXFSZ, whose default action ends the process.
TEST_F(SaveFileTest, ASignalPartWayLeavesNoTemporaryFile) {
  ASSERT_EQ(Save("earlier"), SaveOutcome::kSaved);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_DFL);
    rlimit small = {100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    static std::uint8_t big[4096];
    PlatformSaveFile((dir_ / "dump.bin").c_str(), big, sizeof big);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
  EXPECT_EQ(Text(dir_ / "dump.bin"), "earlier");
  EXPECT_EQ(Entries(), 2) << "only the victim and the earlier dump";
}

}  // namespace
