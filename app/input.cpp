#include "app/input.h"

#include <cstdio>

#include "base/console.h"
#include "platform/platform.h"

namespace {

constexpr int kCtrlZ = 0x1A;  // ends text input, as on the Windows console
constexpr int kKeyPollMs = 50;

// Next character of standard input, with a carriage return dropped before a line feed.
int NextInputChar() {
  if (ConsoleInputEnded()) {
    return EOF;
  }
  std::FILE* in = ConsoleIn();
  int c = std::fgetc(in);
  if (c == '\r') {
    int next = std::fgetc(in);
    if (next == '\n') {
      return '\n';
    }
    if (next != EOF) {
      std::ungetc(next, in);
    }
  }
  if (c == EOF || c == kCtrlZ) {
    EndConsoleInput();
    return EOF;
  }
  return c;
}

}  // namespace

bool ReadInputLine(char* buffer, std::size_t size) {
  int c = NextInputChar();
  if (c == EOF) {
    return false;
  }
  std::size_t n = 0;
  while (c != EOF && c != '\n') {
    if (n + 1 < size) {
      buffer[n++] = static_cast<char>(c);
    }
    c = NextInputChar();
  }
  if (size > 0) {
    buffer[n] = '\0';
  }
  return true;
}

void WaitForKey() {
  KeyPoll poll = KeyPoll::kNone;
  while (poll == KeyPoll::kNone) {
    poll = PlatformPollKey(kKeyPollMs);
  }
  if (poll == KeyPoll::kNoConsole) {
    return;
  }
  // Every key that is waiting, both codes of an arrow key too.
  while (PlatformPollKey(0) == KeyPoll::kWaiting && PlatformTakeKey() >= 0) {
  }
}
