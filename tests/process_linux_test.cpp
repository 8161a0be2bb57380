// The real jmreader as a process on a machine without SCSI disks, with no controlling terminal:
// the transcript, the reason on standard error and the exit status of the early stops.
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace {

std::string Text(const std::string& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// Each row runs jmreader in a session of its own with the arguments, what is typed on standard
// input, and an end after 10 s (status 124); it gives what follows the banner and the OS line on
// standard output, the exit status, and the reason on standard error.
TEST(JmreaderProcess, EarlyStopsWithoutDisks) {
  if (std::system("ls /dev/sd* >/dev/null 2>&1") == 0) {
    GTEST_SKIP() << "this machine has /dev/sd* disks; the transcripts assume none";
  }
  utsname name;
  unsigned release[3] = {0, 0, 0};
  uname(&name);
  std::sscanf(name.release, "%u.%u.%u", &release[0], &release[1], &release[2]);
  const std::string head = "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\nOS: " +
                           std::to_string(release[0]) + "." + std::to_string(release[1]) +
                           " build " + std::to_string(release[2]) + " Linux\n";
  const std::tuple<std::string, std::string, std::string, int, std::string> cases[] = {
      {"", "100\n", "Please select drive number:Error: bad disk number\n", 23, ""},
      {"150", "", "Drive      : 150(NVME)\nError open disk\n", 16,
       "jmreader: /dev/sdeu: No such file or directory (no such drive)\n"}};
  for (const auto& [args, input, tail, status, errors] : cases) {
    char folder[] = "/tmp/jmreader.XXXXXX";
    const std::string files = std::string(mkdtemp(folder)) + "/";
    std::ofstream(files + "in") << input;
    int code = std::system(
        ("cd " + files + " && setsid -w timeout 10 " JMREADER_PATH " " + args + " <in >out 2>err")
            .c_str());
    EXPECT_EQ(std::make_tuple(Text(files + "out"), WEXITSTATUS(code), Text(files + "err")),
              std::make_tuple(head + tail, status, errors));
    std::filesystem::remove_all(folder);
  }
}

}  // namespace
