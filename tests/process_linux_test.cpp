// The real jmreader as a process on a machine without SCSI disks: no controlling terminal, the
// selection typed through a pipe, the transcript and exit status as a user would see them.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int kTimeLimitMs = 10000;

struct Outcome {
  std::string output;
  std::string errors;  // standard error
  int status = -1;     // exit status; -1 when it did not exit normally
  bool timedOut = false;
};

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Runs jmreader in a session of its own (so it has no controlling terminal) with `input` on
// standard input and standard error in a file; kills it when it outlives the time limit.
Outcome RunTool(const std::vector<std::string>& args, const std::string& input) {
  Outcome outcome;
  int in[2];
  int out[2];
  std::FILE* errors = std::tmpfile();
  if (errors == nullptr || pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return outcome;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(JMREADER_PATH));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(fileno(errors), STDERR_FILENO);
    execv(JMREADER_PATH, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  signal(SIGPIPE, SIG_IGN);  // the tool may end before it reads everything
  if (write(in[1], input.data(), input.size()) < 0) {
    // It ended before reading: the transcript will say why.
  }
  close(in[1]);

  long long deadline = NowMs() + kTimeLimitMs;
  char buffer[4096];
  for (;;) {
    long long left = deadline - NowMs();
    pollfd entry = {out[0], POLLIN, 0};
    if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) == 0) {
      outcome.timedOut = true;
      break;
    }
    ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    outcome.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);

  int wstatus = 0;
  while (!outcome.timedOut && waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (NowMs() >= deadline) {
      outcome.timedOut = true;
      break;
    }
    usleep(10000);
  }
  if (outcome.timedOut) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    std::fclose(errors);
    return outcome;
  }
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  std::rewind(errors);
  for (int c; (c = std::fgetc(errors)) != EOF;) {
    outcome.errors += static_cast<char>(c);
  }
  std::fclose(errors);
  return outcome;
}

std::string ExpectedHead() {
  utsname name;
  uname(&name);
  unsigned numbers[3] = {0, 0, 0};
  std::sscanf(name.release, "%u.%u.%u", &numbers[0], &numbers[1], &numbers[2]);
  return "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n" + std::string("OS: ") +
         std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + " build " +
         std::to_string(numbers[2]) + " Linux\n";
}

bool HasScsiDisks() {
  glob_t found;
  bool any = glob("/dev/sd*", 0, nullptr, &found) == 0 && found.gl_pathc > 0;
  globfree(&found);
  return any;
}

TEST(JmreaderProcess, EarlyStopsWithoutDisks) {
  if (HasScsiDisks()) {
    GTEST_SKIP() << "this machine has /dev/sd* disks; the transcripts assume none";
  }
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string tail;  // what follows the banner and the OS line
    int status;
    std::string errors;
  };
  const Case cases[] = {
      {"typed number out of range",
       {},
       "100\n",
       "Please select drive number:Error: bad disk number\n",
       23,
       ""},
      {"argument names a missing drive",
       {"150"},
       "",
       "Drive      : 150(NVME)\nError open disk\n",
       16,
       "jmreader: /dev/sdeu: No such file or directory (no such drive)\n"},
      {"negative argument: the bus query asks its low 8 bits",
       {"-1"},
       "",
       "Drive      : 4294967295(NVME)\nError open disk\n",
       16,
       "jmreader: /dev/sdiv: No such file or directory (no such drive)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = RunTool(c.args, c.input);
    ASSERT_FALSE(outcome.timedOut) << "no exit within the time limit; output so far:\n"
                                   << outcome.output;
    EXPECT_EQ(outcome.output, ExpectedHead() + c.tail);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.errors, c.errors);
  }
}

}  // namespace
