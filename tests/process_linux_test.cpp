// The real jmreader as a process on a machine without SCSI disks, with no controlling terminal:
// the transcript, the reason on standard error and the exit status of the early stops; and
// jmreader-sim as a process that signals reach.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
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
      {"150 u", "", os + "Drive      : 150(NVME)\nError open disk\n", 16,
       "jmreader: only the first argument is used; ignored: \"u\"\n"
       "jmreader: /dev/sdeu: No such file or directory (no such drive)\n"},
      // A path is not read for letters: "u" and "y" would update drive 0 without asking.
      {kLink, "", "", 2, "jmreader: " + std::string(kLink) + ": No such file or directory" + list}};
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

// jmreader-sim updating a bridge whose write takes 2 s. SIGINT at the prompt ends the tool, as it
// always has; pending (blocked) from the start, it cancels the write; during the write it waits
// for the write and the read-back, and the run ends as usual. It comes once standard output, or
// the request log, shows `when`.
TEST(JmreaderProcess, InterruptionsAroundTheWrite) {
  const std::string saved = "Nvram before write saved to jmSIM_01_02_A0_FF.nvram-before.bin\n";
  const std::string prompt = "'N' for cancel ", note = "interrupted during the write";
  const std::tuple<const char*, std::string, std::string, int, std::string> cases[] = {
      {"1u", prompt, prompt, -SIGINT, ""},
      {"1uy", "", saved + "cancelled: nothing written\n", 4, "AA" + std::string(1022, '0')},
      {"1uy", "DF01", saved + "Nvram written and read back equal\n", 1, std::string(1024, '5')},
  };
  for (const auto& [selection, when, tail, status, store] : cases) {
    char folder[] = "/tmp/jmreader.XXXXXX";
    const std::string files = std::string(mkdtemp(folder)) + "/";
    std::ofstream(files + "jm_nvram.bin") << std::string(512, 'U');
    std::ofstream(files + "scenario.txt")
        << "nvram 268 AA\nfault write-nvram stall 2000\nlog requests.txt\nnvram-out store.txt\n";
    ASSERT_EQ(mkfifo((files + "in").c_str(), 0600), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      sigset_t interrupt;
      sigemptyset(&interrupt);
      sigaddset(&interrupt, SIGINT);
      sigprocmask(SIG_BLOCK, when.empty() ? &interrupt : nullptr, nullptr);
      // Open both ways, the FIFO never ends: the prompt waits for a line.
      if (chdir(files.c_str()) != 0 || dup2(open("in", O_RDWR), 0) < 0 ||
          dup2(open("out", O_WRONLY | O_CREAT, 0600), 1) < 0 ||
          dup2(open("err", O_WRONLY | O_CREAT, 0600), 2) < 0 || raise(when.empty() ? SIGINT : 0)) {
        _exit(127);
      }
      setenv("JMREADER_SIM", "scenario.txt", 1);
      execl(JMREADER_SIM_PATH, "jmreader-sim", selection, nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500 && (Text(files + "out") + Text(files + "requests.txt")).find(when) ==
                                   std::string::npos;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, when.empty() ? 0 : SIGINT);  // 0: no signal, it is pending already
    int code = 0;
    waitpid(pid, &code, 0);
    const std::string out = Text(files + "out"), err = Text(files + "err");
    EXPECT_EQ(WIFSIGNALED(code) ? -WTERMSIG(code) : WEXITSTATUS(code), status) << selection;
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail) << out;
    EXPECT_EQ(err.find(note) != std::string::npos, when == "DF01") << err;
    EXPECT_EQ(Text(files + "store.txt"), store.empty() ? "" : "010C " + store + "\n") << selection;
    std::filesystem::remove_all(folder);
  }
}

}  // namespace
