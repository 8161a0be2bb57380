// The console key operations against a real console input buffer: events are written into it
// with WriteConsoleInputA and must come out as _getch-style codes. Needs a console (under Wine:
// a terminal), so CTest starts it inside a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "bridge/platform.h"
#include "tests/windows/windows_test_support.h"

namespace {

INPUT_RECORD Key(bool down, WORD virtualKey, WORD scanCode, char ascii, DWORD state = 0) {
  INPUT_RECORD r = {};
  r.EventType = KEY_EVENT;
  r.Event.KeyEvent.bKeyDown = down;
  r.Event.KeyEvent.wRepeatCount = 1;
  r.Event.KeyEvent.wVirtualKeyCode = virtualKey;
  r.Event.KeyEvent.wVirtualScanCode = scanCode;
  r.Event.KeyEvent.uChar.AsciiChar = ascii;
  r.Event.KeyEvent.dwControlKeyState = state;
  return r;
}
INPUT_RECORD Press(WORD virtualKey, WORD scanCode, char ascii, DWORD state = 0) {
  return Key(true, virtualKey, scanCode, ascii, state);
}
INPUT_RECORD Release(WORD virtualKey, WORD scanCode, char ascii, DWORD state = 0) {
  return Key(false, virtualKey, scanCode, ascii, state);
}
INPUT_RECORD Focus() {
  INPUT_RECORD r = {};
  r.EventType = FOCUS_EVENT;
  r.Event.FocusEvent.bSetFocus = TRUE;
  return r;
}
INPUT_RECORD Mouse() {
  INPUT_RECORD r = {};
  r.EventType = MOUSE_EVENT;
  r.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
  return r;
}
INPUT_RECORD Resize() {
  INPUT_RECORD r = {};
  r.EventType = WINDOW_BUFFER_SIZE_EVENT;
  r.Event.WindowBufferSizeEvent.dwSize = {80, 25};
  return r;
}

class ConsoleKeys : public testing::Test {
 protected:
  void SetUp() override {
    input_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input_, INVALID_HANDLE_VALUE) << "no console: run this test in a terminal";
    ASSERT_TRUE(GetConsoleMode(input_, &mode_));
    ASSERT_TRUE(FlushConsoleInputBuffer(input_));
  }
  void TearDown() override {
    if (input_ != INVALID_HANDLE_VALUE) {
      // A test that failed half-way must not leave a code for the next one.
      while (PlatformPollKey(0) == KeyPoll::kWaiting) {
        PlatformTakeKey();
      }
      FlushConsoleInputBuffer(input_);
      CloseHandle(input_);
    }
  }

  void Write(const std::vector<INPUT_RECORD>& events) {
    DWORD written = 0;
    ASSERT_TRUE(
        WriteConsoleInputA(input_, events.data(), static_cast<DWORD>(events.size()), &written));
    ASSERT_EQ(written, events.size());
  }

  // What the end of a run does: take keys while one is waiting.
  std::vector<int> Drain() {
    std::vector<int> codes;
    while (PlatformPollKey(0) == KeyPoll::kWaiting && codes.size() < 16) {
      codes.push_back(PlatformTakeKey());
    }
    return codes;
  }

  DWORD Pending() {
    DWORD n = 0;
    GetNumberOfConsoleInputEvents(input_, &n);
    return n;
  }

  HANDLE input_ = INVALID_HANDLE_VALUE;
  DWORD mode_ = 0;
};

TEST_F(ConsoleKeys, EventsBecomeGetchCodes) {
  struct Case {
    const char* name;
    std::vector<INPUT_RECORD> events;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {"letter, with its release", {Press('A', 0x1E, 'a'), Release('A', 0x1E, 'a')}, {'a'}},
      {"Enter", {Press(VK_RETURN, 0x1C, '\r')}, {'\r'}},
      {"grey arrow", {Press(VK_UP, 0x48, 0, ENHANCED_KEY)}, {0xE0, 0x48}},
      {"keypad arrow", {Press(VK_UP, 0x48, 0)}, {0, 0x48}},
      {"grey Delete", {Press(VK_DELETE, 0x53, 0, ENHANCED_KEY)}, {0xE0, 0x53}},
      {"F1", {Press(VK_F1, 0x3B, 0)}, {0, 0x3B}},
      {"F12", {Press(VK_F12, 0x58, 0)}, {0, 0x58}},
      {"Alt+X", {Press('X', 0x2D, 0, LEFT_ALT_PRESSED)}, {0, 0x2D}},
      {"Shift, Ctrl, Alt and Caps Lock alone",
       {Press(VK_SHIFT, 0x2A, 0, SHIFT_PRESSED), Press(VK_CONTROL, 0x1D, 0, LEFT_CTRL_PRESSED),
        Press(VK_MENU, 0x38, 0, LEFT_ALT_PRESSED), Press(VK_CAPITAL, 0x3A, 0),
        Release(VK_SHIFT, 0x2A, 0)},
       {}},
      {"mouse, focus, size and key releases",
       {Mouse(), Focus(), Resize(), Release('Q', 0x10, 'q')},
       {}},
      {"Shift+A after Shift",
       {Press(VK_SHIFT, 0x2A, 0, SHIFT_PRESSED), Press('A', 0x1E, 'A', SHIFT_PRESSED)},
       {'A'}},
      {"two keys in order",
       {Press('1', 0x02, '1'), Press(VK_DOWN, 0x50, 0, ENHANCED_KEY)},
       {'1', 0xE0, 0x50}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.events);
    EXPECT_EQ(Drain(), c.codes);
    EXPECT_EQ(PlatformPollKey(0), KeyPoll::kNone);
  }
}

TEST_F(ConsoleKeys, PollRemovesNoKey) {
  Write({Focus(), Release(VK_RETURN, 0x1C, '\r'), Press('Z', 0x2C, 'z')});
  EXPECT_EQ(PlatformPollKey(0), KeyPoll::kWaiting);
  EXPECT_EQ(PlatformPollKey(0), KeyPoll::kWaiting);
  EXPECT_GE(Pending(), 1u);  // the key press is still there; what came before may be gone
  EXPECT_EQ(PlatformTakeKey(), 'z');
  EXPECT_EQ(Pending(), 0u);
}

TEST_F(ConsoleKeys, SecondCodeOfASpecialKeyIsPending) {
  Write({Press(VK_RIGHT, 0x4D, 0, ENHANCED_KEY), Press('k', 0x25, 'k')});
  EXPECT_EQ(PlatformTakeKey(), 0xE0);
  EXPECT_EQ(PlatformPollKey(0), KeyPoll::kWaiting);
  EXPECT_EQ(PlatformTakeKey(), 0x4D);
  EXPECT_EQ(PlatformTakeKey(), 'k');
  EXPECT_EQ(PlatformPollKey(0), KeyPoll::kNone);
}

TEST_F(ConsoleKeys, TakeKeyRestoresTheConsoleMode) {
  const DWORD cooked = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
  ASSERT_TRUE(SetConsoleMode(input_, cooked));
  Write({Press('m', 0x32, 'm')});
  EXPECT_EQ(PlatformTakeKey(), 'm');
  DWORD after = 0;
  ASSERT_TRUE(GetConsoleMode(input_, &after));
  EXPECT_EQ(after, cooked);
  SetConsoleMode(input_, mode_);
}

TEST_F(ConsoleKeys, WaitEndsWhenAKeyArrivesAndNotBefore) {
  using Clock = std::chrono::steady_clock;
  // Events that are no key press must not end the wait early.
  Write({Focus(), Release('A', 0x1E, 'a')});
  Clock::time_point start = Clock::now();
  EXPECT_EQ(PlatformPollKey(300), KeyPoll::kNone);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));

  std::thread typist([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    INPUT_RECORD key = Press('w', 0x11, 'w');
    DWORD written = 0;
    WriteConsoleInputA(input_, &key, 1, &written);
  });
  start = Clock::now();
  EXPECT_EQ(PlatformPollKey(10000), KeyPoll::kWaiting);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));
  typist.join();
  EXPECT_EQ(PlatformTakeKey(), 'w');
}

}  // namespace
