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
// input, and an end after 10 s (status 124), in a folder that holds "in" and a link to /dev/sdb
// in "by-id"; it gives what follows the banner on standard output, the exit status, the error
// stream, and whether the folder still holds only "in", "by-id", "out" and "err".
TEST(JmreaderProcess, EarlyStopsWithoutDisks) {
  if (std::system("ls /dev/sd* >/dev/null 2>&1") == 0) {
    GTEST_SKIP() << "this machine has /dev/sd* disks; the transcripts assume none";
  }
  utsname name;
  unsigned release[3] = {0, 0, 0};
  uname(&name);
  std::sscanf(name.release, "%u.%u.%u", &release[0], &release[1], &release[2]);
  const std::string banner = "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n";
  const std::string os = "OS: " + std::to_string(release[0]) + "." + std::to_string(release[1]) +
                         " build " + std::to_string(release[2]) + " Linux\n";
  const char* const kLink = "by-id/usb-JMicron_Generic-0:0-uy";
  const std::string list =
      " (give a drive number: jmreader without an argument lists the drives)\n";
  const std::tuple<std::string, std::string, std::string, int, std::string> cases[] = {
      // An update without its drive number first would write drive 0.
      {"", "\xEF\xBC\x91u\n", os + "Please select drive number:Error: bad disk number\n", 23,
       "jmreader: no disk found\njmreader: \xEF\xBC\x91u: an update needs the drive number first, "
       "e.g. 2uy\n"},
      {"y2u", "", "", 2, "jmreader: y2u: an update needs the drive number first, e.g. 2uy\n"},
      {"150 u", "", os + "Drive      : 150(NVME)\nError open disk\n", 16,
       "jmreader: only the first argument is used; ignored: \"u\"\n"
       "jmreader: /dev/sdeu: No such file or directory (no such drive)\n"},
      // Neither is read for letters: "u" and "y" would update drive 0 without asking.
      {kLink, "", "", 2, "jmreader: " + std::string(kLink) + ": No such file or directory" + list},
      {"/dev/null", "", "", 2, "jmreader: /dev/null: not a disk /dev/sdX" + list}};
  for (const auto& [args, input, tail, status, errors] : cases) {
    char folder[] = "/tmp/jmreader.XXXXXX";
    const std::string files = std::string(mkdtemp(folder)) + "/";
    std::ofstream(files + "in") << input;
    std::filesystem::create_directory(files + "by-id");
    std::filesystem::create_symlink("/dev/sdb", files + kLink);
    int code = std::system(
        ("cd " + files + " && setsid -w timeout 10 " JMREADER_PATH " " + args + " <in >out 2>err")
            .c_str());
    EXPECT_EQ(std::make_tuple(Text(files + "out"), WEXITSTATUS(code), Text(files + "err")),
              std::make_tuple(banner + tail, status, errors));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files), {}), 4) << args;
    std::filesystem::remove_all(folder);
  }
}

}  // namespace
