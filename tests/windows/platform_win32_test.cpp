// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include "app/file_policy.h"
#include "base/byteorder.h"
#include "platform/platform.h"
#include "platform/win32/backend.h"
#include "platform/win32/win32.h"

namespace {

// Wine's PhysicalDrive0 is a fake SCSI disk that anyone may open; on Windows it needs rights.
bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(Win32Drives, DescriptorOfWinesFakeDisk) {
  if (!UnderWine()) {
    GTEST_SKIP() << "needs Wine's PhysicalDrive0";
  }
  DriveHandle drive = PlatformOpenDrive(0, false);
  ASSERT_NE(drive, kInvalidDriveHandle);
  std::uint8_t area[kDescriptorAreaSize] = {};
  std::uint32_t returned = 0;
  EXPECT_TRUE(PlatformQueryDescriptor(drive, area, &returned));
  PlatformCloseDrive(drive);
  // A STORAGE_DEVICE_DESCRIPTOR: Version (its size) first, BusType at 28 (SCSI, not USB).
  EXPECT_GE(returned, 40u);
  EXPECT_EQ(area[0], 40);
  EXPECT_EQ(area[kBusTypeField], 1);
}

TEST(Win32Drives, FailuresCarryTheSystemErrorCode) {
  const DriveHandle fake = UnderWine() ? PlatformOpenDrive(0, true) : kInvalidDriveHandle;
  ASSERT_EQ(fake != kInvalidDriveHandle, UnderWine());
  const std::pair<DriveHandle, DWORD> cases[] = {
      {0x1234, ERROR_INVALID_HANDLE},  // a handle that is no handle
      {fake, ERROR_NOT_SUPPORTED},     // Wine's fake disk takes no pass-through
  };
  for (const auto& [drive, code] : cases) {
    if (drive != kInvalidDriveHandle) {
      std::uint8_t block[68 + 16] = {};
      std::uint32_t error = 0;
      EXPECT_FALSE(PlatformPassThrough(drive, block, sizeof block, &error));
      EXPECT_EQ(error, code);
    }
  }
  if (fake != kInvalidDriveHandle) {
    PlatformCloseDrive(fake);
  }
}

// The system's text converted to a given code page (ReasonCodePage picks the console's), cut to
// fit; a code without text is numbered.
TEST(Win32Errors, TextInTheConsolesCodePage) {
  const DWORD french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
  char text[128];
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, 850, text, sizeof text));
  EXPECT_STREQ(text, "Acc\x8As refus\x82");
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, 1252, text, sizeof text));
  EXPECT_STREQ(text, "Acc\xE8s refus\xE9");
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, CP_UTF8, text, 8));
  EXPECT_STREQ(text, "Acc\xC3\xA8s ");  // cut to fit
  EXPECT_FALSE(FormatErrorText(0xDEADBEEF, 0, 850, text, sizeof text));
  SystemErrorText(0xDEADBEEF, text, sizeof text);
  EXPECT_STREQ(text, "error 3735928559");
}

// The other process of the test below: holds a file open without sharing write or delete, as an
// antivirus or an editor does, for the time given.
TEST(Win32Files, Holder) {
  const char* file = std::getenv("JM_HOLD_FILE");
  if (file == nullptr) {
    GTEST_SKIP() << "run by Win32Files.ARenameRefusedByAnotherProcessKeepsTheFile";
  }
  HANDLE held =
      CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::ofstream(std::string(file) + ".held").put('!');
  Sleep(static_cast<DWORD>(std::atoi(std::getenv("JM_HOLD_MS"))));
  CloseHandle(held);
}

std::string Text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Another process holds the name without sharing delete: a hold released within about a second
// lets the save through; a longer one leaves the complete new file under its temporary name and
// the earlier file in place.
TEST(Win32Files, ARenameRefusedByAnotherProcessKeepsTheFile) {
  char exe[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  const std::pair<int, SaveOutcome> cases[] = {{300, SaveOutcome::kSaved},
                                               {4000, SaveOutcome::kKept}};
  for (const auto& [ms, outcome] : cases) {
    const std::string name = "held" + std::to_string(ms) + ".bin";
    std::ofstream(name, std::ios::binary) << "earlier";
    SetEnvironmentVariableA("JM_HOLD_FILE", name.c_str());
    SetEnvironmentVariableA("JM_HOLD_MS", std::to_string(ms).c_str());
    std::string command = std::string("\"") + exe + "\" --gtest_filter=Win32Files.Holder";
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &start, &child));
    SetEnvironmentVariableA("JM_HOLD_FILE", nullptr);
    const std::string marker = name + ".held";
    for (int i = 0; i < 2000 && GetFileAttributesA(marker.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
      Sleep(5);
    }
    SaveReport report;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>("new");
    SaveFile(name.c_str(), bytes, 3, &report);
    EXPECT_EQ(report.outcome, outcome) << ms;
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    // The earlier file keeps its numbered name either way: a link to a held file cannot be
    // removed, and is told.
    const bool saved = outcome == SaveOutcome::kSaved;
    EXPECT_EQ(Text(name), saved ? "new" : "earlier") << ms;
    EXPECT_EQ(std::string(report.backup), name + ".~1~") << ms;
    EXPECT_EQ(Text(report.backup), "earlier") << ms;
    EXPECT_EQ(Text(report.kept), saved ? "" : "new") << ms;
    EXPECT_EQ(report.error.failure == FileFailure::kNone, saved) << ms;
    for (const std::string& file :
         {name, marker, std::string(report.backup), std::string(report.kept)}) {
      DeleteFileA(file.c_str());
    }
  }
}

// What a driver gives back: less than the header is no answer at all; inbound data counts only as
// far as it came back; outbound, the header and sense alone come back and the count stands.
TEST(Win32PassThrough, ReturnedCount) {
  struct Case {
    std::uint8_t dataIn;
    int past;  // bytes returned past the data offset; -24 is the header alone, without sense
    bool ok;
    std::uint32_t moved;
  };
  const Case cases[] = {{1, 512, true, 512},  {1, 513, false, 512}, {1, 100, true, 100},
                        {1, 0, true, 0},      {0, 0, true, 512},    {1, -24, true, 0},
                        {1, -25, false, 512}, {0, -24, true, 512}};
  for (const PassThroughLayout& layout : {kPassThroughLayout32, kPassThroughLayout64}) {
    const int dataAt = layout.headerSize + 24;
    for (const Case& c : cases) {
      std::uint8_t block[56 + 24 + 512] = {};
      block[kDataInAt] = c.dataIn;
      PutLe(block + kDataTransferLengthAt, 512, 4);
      PutLe(block + layout.dataBufferOffsetAt, dataAt, layout.dataBufferOffsetWidth);
      std::uint32_t error = 0;
      const auto returned = static_cast<std::uint32_t>(dataAt + c.past);
      EXPECT_EQ(TakeReturnedCount(layout, block, dataAt + 512, returned, &error), c.ok) << c.past;
      EXPECT_EQ(error, c.ok ? 0u : static_cast<std::uint32_t>(ERROR_INVALID_DATA)) << c.past;
      EXPECT_EQ(GetLe(block + kDataTransferLengthAt, 4), c.moved) << c.past;
    }
  }
}

// During a save Ctrl+C and Ctrl+Break wait for its end. Closing the console leaves the file of a
// finished save (row 0) and removes it otherwise, closed (1) or open (2: through its handle, as
// nobody may delete it by name then, once that is closed).
TEST(Win32ConsoleEvents, HeldDuringASave) {
  auto holding = [](std::function<void()> work) {
    PlatformHoldInterruptions(
        "held.tmp", [](void* w) { (*static_cast<std::function<void()>*>(w))(); }, &work);
  };
  for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
    std::atomic<bool> ended = false;
    std::thread handler;
    holding([&] {
      handler = std::thread([&] { RunConsoleEventHandler(event), ended = true; });
      Sleep(300);
      EXPECT_FALSE(ended) << event;
    });
    handler.join();
  }
  for (int row = 0; row < 3; ++row) {
    FileHandle file = kNoFile;
    holding([&] {
      ASSERT_EQ(PlatformCreateFile("held.tmp", &file).failure, FileFailure::kNone);
      if (row == 1) {
        PlatformCloseFile(file);
      }
      if (row != 0) {
        RunConsoleEventHandler(CTRL_CLOSE_EVENT);
      }
    });
    if (row != 1) {
      PlatformCloseFile(file);
    }
    if (row == 0) {
      RunConsoleEventHandler(CTRL_CLOSE_EVENT);
    }
    EXPECT_EQ(GetFileAttributesA("held.tmp") != INVALID_FILE_ATTRIBUTES, row == 0) << row;
    DeleteFileA("held.tmp");
  }
}

}  // namespace
