// The console key operations against a real console input buffer: events written into it with
// WriteConsoleInputA must come out as _getch-style codes. Needs a console: exe_test starts it in
// one of its own that has no window.
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace {

INPUT_RECORD Key(BOOL down, WORD virtualKey, WORD scanCode, char ascii, DWORD state = 0) {
  return {KEY_EVENT, {.KeyEvent = {down, 1, virtualKey, scanCode, {.AsciiChar = ascii}, state}}};
}

TEST(ConsoleKeys, WrittenEventsBecomeGetchCodes) {
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(input, INVALID_HANDLE_VALUE) << "no console";
  // The events written (a letter with its release; a grey arrow, then a letter; a keypad arrow;
  // Shift alone and a mouse event), and the codes taken while a key waits, as a run's end takes
  // them.
  const std::pair<std::vector<INPUT_RECORD>, std::vector<int>> cases[] = {
      {{Key(true, 'A', 0x1E, 'a'), Key(false, 'A', 0x1E, 'a')}, {'a'}},
      {{Key(true, VK_UP, 0x48, 0, ENHANCED_KEY), Key(true, 'K', 0x25, 'k')}, {0xE0, 0x48, 'k'}},
      {{Key(true, VK_UP, 0x48, 0)}, {0, 0x48}},
      {{Key(true, VK_SHIFT, 0x2A, 0, SHIFT_PRESSED), {MOUSE_EVENT, {}}}, {}}};
  for (const auto& [events, expected] : cases) {
    FlushConsoleInputBuffer(input);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteConsoleInputA(input, events.data(), static_cast<DWORD>(events.size()), &written));
    std::vector<int> codes;
    while (PlatformPollKey(0) == KeyPoll::kWaiting && codes.size() < 8) {
      codes.push_back(PlatformTakeKey());
    }
    EXPECT_EQ(codes, expected);
  }
  CloseHandle(input);
}

// This program is started with a console of its own (CREATE_NO_WINDOW), as a double click gives
// one.
TEST(ConsoleKeys, AConsoleMadeForTheRunIsItsOwn) {
  EXPECT_TRUE(PlatformConsoleOwnedByRun());
}

// Reasons are written in the console's output code page while standard error is the console
// (FormatMessageA's ANSI "Accès refusé" shows as "AccÞs refusÚ" in code page 850), else in ANSI.
TEST(ConsoleText, ReasonsInTheConsolesCodePage) {
  HANDLE output = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(output, INVALID_HANDLE_VALUE) << "no console";
  HANDLE previous = GetStdHandle(STD_ERROR_HANDLE);
  UINT codePage = GetConsoleOutputCP();
  ASSERT_TRUE(SetConsoleOutputCP(850));
  EXPECT_EQ(ReasonCodePage(), GetACP());  // standard error is a file here
  SetStdHandle(STD_ERROR_HANDLE, output);
  EXPECT_EQ(ReasonCodePage(), 850u);
  SetStdHandle(STD_ERROR_HANDLE, previous);
  SetConsoleOutputCP(codePage);
  CloseHandle(output);
}

}  // namespace
