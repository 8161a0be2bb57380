// Linux console keys: the controlling terminal in non-canonical, no-echo mode, and the decoding
// of its byte sequences into the PC console's key codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/keys.h"
#include "platform/platform.h"

namespace linuxplatform {

namespace {

// Codes of the special keys, as the PC console reports them behind their prefix.
constexpr int kPrefixExtended = 0xE0;
constexpr int kPrefixFunction = 0;
constexpr int kEscape = 0x1B;
constexpr std::size_t kMaxSequence = 16;  // longer runs are not keys a terminal sends

DecodedKey Special(int prefix, int code, std::size_t consumed) {
  return {static_cast<int>(consumed), prefix, code};
}

// The key for a CSI or SS3 sequence with final byte `final` and first parameter `param`.
DecodedKey MapSequence(char final, int param, std::size_t consumed) {
  switch (final) {
    case 'A':
      return Special(kPrefixExtended, 72, consumed);
    case 'B':
      return Special(kPrefixExtended, 80, consumed);
    case 'C':
      return Special(kPrefixExtended, 77, consumed);
    case 'D':
      return Special(kPrefixExtended, 75, consumed);
    case 'H':
      return Special(kPrefixExtended, 71, consumed);
    case 'F':
      return Special(kPrefixExtended, 79, consumed);
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return Special(kPrefixFunction, 59 + (final - 'P'), consumed);
    case '~':
      switch (param) {
        case 1:
        case 7:
          return Special(kPrefixExtended, 71, consumed);
        case 2:
          return Special(kPrefixExtended, 82, consumed);
        case 3:
          return Special(kPrefixExtended, 83, consumed);
        case 4:
        case 8:
          return Special(kPrefixExtended, 79, consumed);
        case 5:
          return Special(kPrefixExtended, 73, consumed);
        case 6:
          return Special(kPrefixExtended, 81, consumed);
        case 23:
          return Special(kPrefixExtended, 133, consumed);
        case 24:
          return Special(kPrefixExtended, 134, consumed);
        default:
          if (param >= 11 && param <= 15) {
            return Special(kPrefixFunction, 59 + (param - 11), consumed);
          }
          if (param >= 17 && param <= 21) {
            return Special(kPrefixFunction, 64 + (param - 17), consumed);
          }
          break;
      }
      break;
    default:
      break;
  }
  return Special(kPrefixExtended, 0, consumed);
}

}  // namespace

DecodedKey DecodeKey(const std::uint8_t* bytes, std::size_t count, bool complete) {
  constexpr DecodedKey kIncomplete = {0, -1, -1};
  if (count == 0) {
    return kIncomplete;
  }
  if (bytes[0] != kEscape) {
    return {1, bytes[0], -1};
  }
  if (count == 1) {
    return complete ? DecodedKey{1, kEscape, -1} : kIncomplete;
  }
  if (bytes[1] != '[' && bytes[1] != 'O') {
    return {1, kEscape, -1};  // ESC, then an ordinary key
  }
  // The Linux console sends F1-F5 as ESC [ [ A-E.
  if (bytes[1] == '[' && count >= 3 && bytes[2] == '[') {
    if (count == 3) {
      return complete ? Special(kPrefixExtended, 0, 3) : kIncomplete;
    }
    if (bytes[3] >= 'A' && bytes[3] <= 'E') {
      return Special(kPrefixFunction, 59 + (bytes[3] - 'A'), 4);
    }
    return Special(kPrefixExtended, 0, 4);
  }
  // CSI / SS3: parameter bytes 0x30-0x3F, intermediates 0x20-0x2F, a final byte 0x40-0x7E.
  int param = 0;
  bool inFirstParam = true;
  for (std::size_t i = 2; i < count; ++i) {
    std::uint8_t b = bytes[i];
    if (i >= kMaxSequence) {
      return Special(kPrefixExtended, 0, i);
    }
    if (b >= '0' && b <= '9') {
      if (inFirstParam && param < 1000) {
        param = param * 10 + (b - '0');
      }
    } else if (b >= 0x20 && b <= 0x3F) {
      inFirstParam = false;
    } else if (b >= 0x40 && b <= 0x7E) {
      return MapSequence(static_cast<char>(b), param, i + 1);
    } else {
      return Special(kPrefixExtended, 0, i);  // a control byte cuts the sequence short
    }
  }
  return complete ? Special(kPrefixExtended, 0, count) : kIncomplete;
}

}  // namespace linuxplatform

using namespace linuxplatform;

// ---- Keys ---------------------------------------------------------------------------------------

namespace {

constexpr int kEscapeWaitMs = 30;  // a lone ESC: nothing more arrives within this time
constexpr std::size_t kQueueSize = 32;

// Key mode is held for the key wait at the end only, so holding it for less would close no gap.
// Instead every catchable signal that would end the tool puts the terminal back first, the
// core-dumping ones included: a Ctrl+\ must not leave the shell without echo. Stop signals keep
// their default: taking them would mean entering key mode again on SIGCONT.
bool EndsTheTool(int number) {
  switch (number) {
    case SIGKILL:
    case SIGSTOP:  // cannot be caught
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:  // ignored by default
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
      return false;
    default:
      return true;
  }
}

// Read by the signal handler, so only set while the handler cannot run or atomically.
int g_ttyFd = -1;
bool g_ttyTried = false;
termios g_savedMode;
volatile sig_atomic_t g_rawActive = 0;
struct sigaction g_oldActions[NSIG];  // by signal number
bool g_handlerSet[NSIG];

std::uint8_t g_queue[kQueueSize];  // bytes read ahead of TakeKey
std::size_t g_queued = 0;
int g_pendingCode = -1;  // the second code of a special key

void RestoreOnSignal(int number) {
  if (g_rawActive) {
    tcsetattr(g_ttyFd, TCSANOW, &g_savedMode);
  }
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);  // delivered with the default action once this handler returns
}

// Only default actions are replaced: an ignored signal ends nothing, and a handler someone set
// is theirs. Numbers the C library keeps for itself refuse the change.
void CatchEndingSignals() {
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction action = {};
    action.sa_handler = RestoreOnSignal;
    sigemptyset(&action.sa_mask);
    g_handlerSet[number] =
        EndsTheTool(number) && sigaction(number, nullptr, &g_oldActions[number]) == 0 &&
        (g_oldActions[number].sa_flags & SA_SIGINFO) == 0 &&
        g_oldActions[number].sa_handler == SIG_DFL && sigaction(number, &action, nullptr) == 0;
  }
}

void ReleaseSignals() {
  for (int number = 1; number < NSIG; ++number) {
    if (g_handlerSet[number]) {
      sigaction(number, &g_oldActions[number], nullptr);
      g_handlerSet[number] = false;
    }
  }
}

// Opens the terminal and puts it into key mode; false when there is no terminal.
bool EnterKeyMode() {
  if (!g_ttyTried) {
    g_ttyTried = true;
    g_ttyFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  if (g_ttyFd < 0) {
    return false;
  }
  if (g_rawActive) {
    return true;
  }
  if (tcgetattr(g_ttyFd, &g_savedMode) != 0) {
    return false;
  }
  // Bytes as they come, no echo; ISIG stays so Ctrl+C still ends the tool. VMIN/VTIME 0 make
  // read() return at once: the waiting is done by poll().
  termios mode = g_savedMode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  // The handlers come first, so that no signal finds the mode changed without them.
  g_rawActive = 1;
  CatchEndingSignals();
  if (tcsetattr(g_ttyFd, TCSANOW, &mode) != 0) {
    g_rawActive = 0;
    ReleaseSignals();
    return false;
  }
  return true;
}

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

enum class Fill { kRead, kTimedOut, kFailed };

// Waits up to `waitMs` (-1: without limit) for terminal input and appends it to the queue.
Fill FillQueue(int waitMs) {
  long long deadline = waitMs < 0 ? 0 : NowMs() + waitMs;
  for (;;) {
    if (g_queued == kQueueSize) {
      return Fill::kRead;
    }
    int remaining = -1;
    if (waitMs >= 0) {
      long long left = deadline - NowMs();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd entry = {g_ttyFd, POLLIN, 0};
    int ready = poll(&entry, 1, remaining);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return Fill::kFailed;
    }
    if (ready == 0) {
      return Fill::kTimedOut;
    }
    ssize_t got = read(g_ttyFd, g_queue + g_queued, kQueueSize - g_queued);
    if (got > 0) {
      g_queued += static_cast<std::size_t>(got);
      return Fill::kRead;
    }
    if (got < 0 && errno != EINTR && errno != EAGAIN) {
      return Fill::kFailed;
    }
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return Fill::kFailed;  // the terminal is gone
    }
  }
}

}  // namespace

KeyPoll PlatformPollKey(int waitMs) {
  if (g_pendingCode >= 0) {
    return KeyPoll::kWaiting;
  }
  if (!EnterKeyMode()) {
    return KeyPoll::kNoConsole;
  }
  if (g_queued > 0) {
    return KeyPoll::kWaiting;
  }
  switch (FillQueue(waitMs < 0 ? 0 : waitMs)) {
    case Fill::kRead:
      return KeyPoll::kWaiting;
    case Fill::kTimedOut:
      return KeyPoll::kNone;
    case Fill::kFailed:
      break;
  }
  return KeyPoll::kNoConsole;
}

int PlatformTakeKey() {
  if (g_pendingCode >= 0) {
    int code = g_pendingCode;
    g_pendingCode = -1;
    return code;
  }
  if (!EnterKeyMode()) {
    return -1;
  }
  for (;;) {
    if (g_queued == 0 && FillQueue(-1) != Fill::kRead) {
      return -1;
    }
    DecodedKey key = DecodeKey(g_queue, g_queued, false);
    if (key.consumed == 0) {
      // The start of a sequence: the rest follows at once, or it was a lone ESC.
      if (FillQueue(kEscapeWaitMs) == Fill::kRead) {
        continue;
      }
      key = DecodeKey(g_queue, g_queued, true);
    }
    std::size_t used = static_cast<std::size_t>(key.consumed);
    std::memmove(g_queue, g_queue + used, g_queued - used);
    g_queued -= used;
    g_pendingCode = key.second;
    return key.first;
  }
}

void PlatformRestoreConsole() {
  if (!g_rawActive) {
    return;
  }
  tcsetattr(g_ttyFd, TCSANOW, &g_savedMode);
  g_rawActive = 0;
  ReleaseSignals();
}

// A terminal outlives the tool that runs in it.
bool PlatformConsoleOwnedByRun() {
  return false;
}
