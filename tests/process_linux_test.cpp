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

// jmreader run as a process in a session of its own, in a scratch folder, with an update typed at
// the prompt that does not begin with its drive number (a full-width digit is none): it would write
// drive 0. It is refused (status 23) before anything is opened, and nothing is left in the folder.
// The run's other early stops are checked in the simulator, and the Linux drive names and paths
// in the backend's own tests.
TEST(JmreaderProcess, AnUpdateWithoutItsDriveNumberIsRefused) {
  if (std::system("ls /dev/sd* >/dev/null 2>&1") == 0) {
    GTEST_SKIP() << "this machine has /dev/sd* disks; the transcript assumes none";
  }
  utsname name;
  unsigned release[3] = {0, 0, 0};
  uname(&name);
  std::sscanf(name.release, "%u.%u.%u", &release[0], &release[1], &release[2]);
  char folder[] = "/tmp/jmreader.XXXXXX";
  const std::string files = std::string(mkdtemp(folder)) + "/";
  std::ofstream(files + "in") << "\xEF\xBC\x91u\n";
  const int code = std::system(
      ("cd " + files + " && setsid -w timeout 10 " JMREADER_PATH " <in >out 2>err").c_str());
  EXPECT_EQ(
      std::make_tuple(Text(files + "out"), WEXITSTATUS(code), Text(files + "err")),
      std::make_tuple("JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\nOS: " +
                          std::to_string(release[0]) + "." + std::to_string(release[1]) +
                          " build " + std::to_string(release[2]) +
                          " Linux\nPlease select drive number:Error: bad disk number\n",
                      23,
                      "jmreader: no disk found\njmreader: \xEF\xBC\x91u: an update needs "
                      "the drive number first, e.g. 2uy\n"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files), {}), 3) << "in, out, err";
  std::filesystem::remove_all(folder);
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
