// Windows console keys: the console input device "CONIN$", read in raw mode.
#include "platform/win32/win32.h"

#include <algorithm>

#include "platform/platform.h"

// Console keys. The codes follow the C runtime's _getch: a character key gives its character; a
// function, arrow or editing key, or Alt with a letter or digit, gives a prefix (0xE0 for the grey
// navigation keys, 0 for the rest) and then its scan code.
namespace {

HANDLE g_consoleInput = INVALID_HANDLE_VALUE;
bool g_consoleOpened = false;
int g_pendingCode = -1;  // second code of a special key not yet handed out

HANDLE ConsoleInput() {
  if (!g_consoleOpened) {
    g_consoleOpened = true;
    g_consoleInput =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  }
  return g_consoleInput;
}

// Keys that give no code of their own: modifiers and locks, and no key at all (synthesised
// events).
constexpr WORD kModifiersAndLocks[] = {VK_SHIFT,    VK_LSHIFT,  VK_RSHIFT,  VK_CONTROL, VK_LCONTROL,
                                       VK_RCONTROL, VK_MENU,    VK_LMENU,   VK_RMENU,   VK_LWIN,
                                       VK_RWIN,     VK_CAPITAL, VK_NUMLOCK, VK_SCROLL,  0};
// The grey navigation keys, whose prefix is 0xE0 when the key is an enhanced one.
constexpr WORD kGreyNavigationKeys[] = {VK_INSERT, VK_DELETE, VK_HOME,  VK_END, VK_PRIOR,
                                        VK_NEXT,   VK_LEFT,   VK_RIGHT, VK_UP,  VK_DOWN};

template <std::size_t N>
bool Listed(const WORD (&keys)[N], WORD virtualKey) {
  return std::find(keys, keys + N, virtualKey) != keys + N;
}

// The codes a console event yields: false for events that are no key press of their own (key
// releases, modifiers alone, mouse, focus, menu and size events). `second` is -1 for a plain
// character.
bool KeyCodes(const INPUT_RECORD& record, int* first, int* second) {
  if (record.EventType != KEY_EVENT) {
    return false;
  }
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  if (!key.bKeyDown) {
    return false;
  }
  const unsigned char character = static_cast<unsigned char>(key.uChar.AsciiChar);
  if (character != 0) {
    *first = character;
    *second = -1;
    return true;
  }
  if (Listed(kModifiersAndLocks, key.wVirtualKeyCode)) {
    return false;
  }
  const bool grey = (key.dwControlKeyState & ENHANCED_KEY) != 0 &&
                    Listed(kGreyNavigationKeys, key.wVirtualKeyCode);
  *first = grey ? 0xE0 : 0;
  *second = key.wVirtualScanCode & 0xFF;
  return true;
}

enum class Pending { kKey, kNothing, kUnreadable };

// Looks at the pending console input. Events in front that yield no key are discarded, so that
// a wait on the handle does not wake again for them; a key press is left in place.
Pending PeekForKey(HANDLE input) {
  for (;;) {
    DWORD count = 0;
    if (!GetNumberOfConsoleInputEvents(input, &count)) {
      return Pending::kUnreadable;
    }
    if (count == 0) {
      return Pending::kNothing;
    }
    INPUT_RECORD records[32];
    DWORD got = 0;
    if (!PeekConsoleInputA(input, records, static_cast<DWORD>(sizeof records / sizeof records[0]),
                           &got)) {
      return Pending::kUnreadable;
    }
    if (got == 0) {
      return Pending::kNothing;
    }
    for (DWORD i = 0; i < got; ++i) {
      int first = 0;
      int second = 0;
      if (KeyCodes(records[i], &first, &second)) {
        return Pending::kKey;
      }
    }
    // None of the oldest `got` events is a key press; only this thread reads the input, so
    // these are exactly the events that a read of `got` removes.
    DWORD removed = 0;
    if (!ReadConsoleInputA(input, records, got, &removed)) {
      return Pending::kUnreadable;
    }
  }
}

}  // namespace

KeyPoll PlatformPollKey(int waitMs) {
  if (g_pendingCode >= 0) {
    return KeyPoll::kWaiting;
  }
  HANDLE input = ConsoleInput();
  if (input == INVALID_HANDLE_VALUE) {
    return KeyPoll::kNoConsole;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    switch (PeekForKey(input)) {
      case Pending::kKey:
        return KeyPoll::kWaiting;
      case Pending::kUnreadable:
        return KeyPoll::kNoConsole;
      case Pending::kNothing:
        break;
    }
    const DWORD elapsed = GetTickCount() - start;
    if (waitMs <= 0 || elapsed >= static_cast<DWORD>(waitMs)) {
      return KeyPoll::kNone;
    }
    // The handle is signalled when input arrives. Waiting on it (rather than sleeping) is also
    // what makes Wine's console deliver pending terminal input.
    WaitForSingleObject(input, static_cast<DWORD>(waitMs) - elapsed);
  }
}

int PlatformTakeKey() {
  if (g_pendingCode >= 0) {
    const int code = g_pendingCode;
    g_pendingCode = -1;
    return code;
  }
  HANDLE input = ConsoleInput();
  DWORD savedMode = 0;
  if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &savedMode)) {
    return -1;
  }
  SetConsoleMode(input, savedMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                        ENABLE_PROCESSED_INPUT));
  int code = -1;
  for (;;) {
    INPUT_RECORD record;
    DWORD got = 0;
    if (!ReadConsoleInputA(input, &record, 1, &got)) {
      break;
    }
    int second = -1;
    if (got == 1 && KeyCodes(record, &code, &second)) {
      g_pendingCode = second;
      break;
    }
  }
  SetConsoleMode(input, savedMode);
  return code;
}

// TakeKey puts the previous console mode back before it returns, so nothing is left changed.
void PlatformRestoreConsole() {}

// A console shared with the shell that started the tool lists the shell too.
bool PlatformConsoleOwnedByRun() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}
