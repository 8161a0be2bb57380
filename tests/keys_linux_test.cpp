// Console keys on Linux: the decoder, and the terminal itself in children on a fresh pty.
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/linux/keys.h"
#include "platform/platform.h"

using namespace linuxplatform;

namespace {

TEST(Keys, TerminalBytesDecodeToConsoleKeyCodes) {
  // Bytes, whether no more follow; consumed (0: wait for more), first code, second code.
  const std::string run = "\x1b[" + std::string(20, '1');  // longer than any key a terminal sends
  const std::tuple<std::string, bool, int, int, int> cases[] = {
      {"\xC3\xA9", 0, 1, 0xC3, -1},  {"\x1b", 0, 0, -1, -1},        {"\x1b", 1, 1, 27, -1},
      {"\x1bx", 0, 1, 27, -1},       {"\x1b[", 0, 0, -1, -1},       {"\x1b[A", 0, 3, 0xE0, 72},
      {"\x1b[Bq", 0, 3, 0xE0, 80},   {"\x1b[D", 0, 3, 0xE0, 75},    {"\x1b[C", 0, 3, 0xE0, 77},
      {"\x1bOA", 0, 3, 0xE0, 72},    {"\x1b[1;5A", 0, 6, 0xE0, 72}, {"\x1b[H", 0, 3, 0xE0, 71},
      {"\x1bOF", 0, 3, 0xE0, 79},    {"\x1b[1~", 0, 4, 0xE0, 71},   {"\x1b[4~", 0, 4, 0xE0, 79},
      {"\x1b[2~", 0, 4, 0xE0, 82},   {"\x1b[3~", 0, 4, 0xE0, 83},   {"\x1b[3;2~", 0, 6, 0xE0, 83},
      {"\x1b[5~", 0, 4, 0xE0, 73},   {"\x1b[6~", 0, 4, 0xE0, 81},   {"\x1bOS", 0, 3, 0, 62},
      {"\x1b[[A", 0, 4, 0, 59},      {"\x1b[[E", 0, 4, 0, 63},      {"\x1b[15~", 0, 5, 0, 63},
      {"\x1b[17~", 0, 5, 0, 64},     {"\x1b[21~", 0, 5, 0, 68},     {"\x1b[23~", 0, 5, 0xE0, 133},
      {"\x1b[24~", 0, 5, 0xE0, 134}, {"\x1b[99~x", 0, 5, 0xE0, 0},  {"\x1b[Z", 0, 3, 0xE0, 0},
      {"\x1b[12", 1, 4, 0xE0, 0},    {"\x1b[1\x03", 0, 3, 0xE0, 0}, {run, 0, 16, 0xE0, 0},
      {"\x1b[11~", 0, 5, 0, 59},     {"\x1b[[F", 0, 4, 0xE0, 0},    {"\x1bO[A", 0, 3, 0xE0, 0},
      {"\x1b[[", 1, 3, 0xE0, 0},     {"\x1b[16~", 0, 5, 0xE0, 0}};
  for (const auto& [in, complete, consumed, first, second] : cases) {
    auto key = DecodeKey(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), complete);
    EXPECT_EQ(std::tie(key.consumed, key.first, key.second), std::tie(consumed, first, second))
        << testing::PrintToString(in);
  }
}

// Reads the child's report up to `until`, or to its end.
std::string Read(int fd, const std::string& until = "") {
  std::string text;
  for (char c; (until.empty() || text.find(until) == std::string::npos) && read(fd, &c, 1) == 1;) {
    text += c;
  }
  return text;
}

// The local modes that key mode changes, as the pty has them.
tcflag_t Modes(int master) {
  termios mode = {};
  tcgetattr(master, &mode);
  return mode.c_lflag & (ICANON | ECHO | ISIG);
}

TEST(Keys, KeysComeFromTheTerminalAndItsModeComesBack) {
  // While the first key is awaited: no signal (0), one that ends nothing (a resized window), and
  // ones that end the tool, which must put the terminal back first.
  for (int signal :
       {0, SIGWINCH, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM, SIGABRT}) {
    SCOPED_TRACE(signal);
    int fds[2] = {-1, -1}, master = -1;  // the report's pipe, and the pty
    pid_t pid = pipe(fds) != 0 ? -1 : forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      // On a fresh pty, ended by an alarm should it hang: a key taken with nothing read ahead, a
      // poll that waits for more, then codes and polls in turn, each reported through the pipe.
      // Polls read N (none), W (waiting) or C (no console).
      alarm(10);
      prctl(PR_SET_DUMPABLE, 0);  // the core-dumping signals leave no core behind
      auto poll = [](int waitMs) { return "NWC"[static_cast<int>(PlatformPollKey(waitMs))]; };
      dprintf(fds[1], "%c\n", poll(0));
      dprintf(fds[1], "%d\n", PlatformTakeKey());
      dprintf(fds[1], "%c", poll(5000));
      for (int i = 0; i < 5; ++i) {
        dprintf(fds[1], " %d", PlatformTakeKey());
        dprintf(fds[1], "/%c", poll(0));
      }
      PlatformRestoreConsole();
      _exit(0);
    }
    close(fds[1]);
    EXPECT_EQ(Read(fds[0], "\n"), "N\n");
    EXPECT_EQ(Modes(master), static_cast<tcflag_t>(ISIG));  // no line editing, no echo; Ctrl+C
    kill(pid, signal);
    bool ends = signal != 0 && signal != SIGWINCH;
    if (!ends) {
      // A letter, then an arrow, F5 and a lone ESC all at once, as a fast typist's terminal sends.
      EXPECT_EQ(write(master, "q", 1), 1);
      EXPECT_EQ(Read(fds[0], "\n"), "113\n");
      EXPECT_EQ(write(master, "\x1b[A\x1b[15~\x1b", 9), 9);
    }
    EXPECT_EQ(Read(fds[0]), ends ? "" : "W 224/W 72/W 0/W 63/W 27/N");
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, ends ? signal : 0);  // killed by the signal, or a normal end
    EXPECT_EQ(Modes(master), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    close(master);
    close(fds[0]);
  }
}

}  // namespace
