// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "app/file_policy.h"
#include "base/byteorder.h"
#include "platform/platform.h"
#include "platform/win32/backend.h"
#include "platform/win32/scsi_layout.h"
#include "platform/win32/win32.h"

namespace {

// A handle that is no handle fails with the system's code. Wine's PhysicalDrive0 is a fake SCSI
// disk that anyone may open (on Windows it needs rights), and it takes no pass-through.
TEST(Win32Drives, AHandleThatIsNoneAndWinesFakeDisk) {
  const PassThroughRequest inquiry = {{0x12}, 6, DataDirection::kIn, {}, 0, 2};
  PassThroughResult r = PlatformPassThrough(0x1234, inquiry);
  EXPECT_EQ(std::make_pair(r.sent, r.error),
            std::make_pair(false, std::uint32_t{ERROR_INVALID_HANDLE}));
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr) {
    GTEST_SKIP() << "needs Wine's PhysicalDrive0";
  }
  static DriveIdentity identity;
  DriveHandle drive = PlatformOpenDrive(0, false).drive;
  EXPECT_EQ(PlatformQueryDrive(drive, &identity).fault, DriveFault::kNone);
  EXPECT_EQ(identity.bus, kBusTypeScsi);
  PlatformCloseDrive(drive);
  drive = PlatformOpenDrive(0, true).drive;
  r = PlatformPassThrough(drive, inquiry);
  EXPECT_EQ(std::make_pair(r.sent, r.error),
            std::make_pair(false, std::uint32_t{ERROR_NOT_SUPPORTED}));
  PlatformCloseDrive(drive);
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

// Every byte of the SCSI_PASS_THROUGH block in both widths: the fields that carry values, and
// zero everywhere else.
TEST(Win32PassThrough, BlockInBothLayouts) {
  std::uint8_t data[5] = {1, 2, 3, 4, 5};
  const PassThroughRequest request = {
      {0x3C, 0x01, 0x01, 0x01, 0xFC, 0, 0, 0x04, 0, 0}, 10, DataDirection::kOut, data, 5, 30};
  for (const PassThroughLayout& layout : {kPassThroughLayout32, kPassThroughLayout64}) {
    static std::uint8_t block[kMaxBlockSize];
    std::memset(block, 0xCC, sizeof block);
    const std::uint32_t length = layout.headerSize + 24 + 5;
    ASSERT_EQ(BuildPassThroughBlock(layout, request, block), length);
    // Length, CdbLength 10, SenseInfoLength 24, DataIn 0 (out), DataTransferLength 5, 30 seconds.
    const auto header = static_cast<std::uint8_t>(layout.headerSize);
    std::vector<std::uint8_t> expected = {header, 0, 0, 0, 0, 0, 10, 24, 0,
                                          0,      0, 0, 5, 0, 0, 0,  30};
    expected.resize(length);
    expected[layout.dataBufferOffsetAt] = static_cast<std::uint8_t>(layout.headerSize + 24);
    expected[layout.senseInfoOffsetAt] = static_cast<std::uint8_t>(layout.headerSize);
    std::memcpy(expected.data() + layout.cdbAt, request.cdb, 10);
    std::memcpy(expected.data() + layout.headerSize + 24, data, 5);
    EXPECT_EQ(std::vector<std::uint8_t>(block, block + length), expected) << layout.headerSize;
    EXPECT_EQ(block[length], 0xCC) << "wrote past the request";
  }
}

// What a driver gives back: less than the header is no answer at all; inbound data counts only as
// far as it came back; outbound, the header and sense alone come back and the count stands. The
// status, the sense and the inbound data come out of the block.
TEST(Win32PassThrough, ReturnedCount) {
  struct Case {
    DataDirection direction;
    int past;  // bytes returned past the data offset; -24 is the header alone, without sense
    bool ok;
    std::uint32_t moved;
  };
  using enum DataDirection;
  const Case cases[] = {{kIn, 512, true, 512}, {kIn, 513, false, 0},  {kIn, 100, true, 100},
                        {kIn, 0, true, 0},     {kOut, 0, true, 512},  {kIn, -24, true, 0},
                        {kIn, -25, false, 0},  {kOut, -24, true, 512}};
  for (const PassThroughLayout& layout : {kPassThroughLayout32, kPassThroughLayout64}) {
    const int dataAt = layout.headerSize + 24;
    for (const Case& c : cases) {
      std::uint8_t data[512] = {};
      const PassThroughRequest request = {{0x3C}, 10, c.direction, data, 512, 2};
      static std::uint8_t block[kMaxBlockSize];
      const std::uint32_t length = BuildPassThroughBlock(layout, request, block);
      block[kScsiStatusAt] = 2;
      block[layout.headerSize] = 0x70;
      block[layout.headerSize + 23] = 0x0E;
      block[dataAt] = 0x5A;
      const auto returned = static_cast<std::uint32_t>(dataAt + c.past);
      PassThroughResult r = ReadPassThroughReply(layout, block, length, returned, request);
      const int in = c.direction == kIn;
      EXPECT_EQ(
          std::make_tuple(r.sent, r.error, r.moved, r.status, r.sense[0], r.sense[23], data[0]),
          std::make_tuple(c.ok, c.ok ? 0u : std::uint32_t{ERROR_INVALID_DATA}, c.moved, 2 * c.ok,
                          0x70 * c.ok, 0x0E * c.ok, 0x5A * c.ok * in))
          << c.past;
    }
  }
}

// The storage descriptor's texts are read only inside the count returned and the area: an offset of
// 0 or past them gives no text, a text without its zero is cut at their end.
TEST(Win32Drives, DescriptorTexts) {
  std::vector<std::uint8_t> area(kDescriptorAreaSize, 'A');
  PutLe(area.data() + 12, 0x0F00, 4);  // vendor
  PutLe(area.data() + 16, 0x0FF0, 4);  // product: no zero up to the area's end
  area[28] = 7;
  const std::tuple<std::uint32_t, std::string, std::string> cases[] = {
      {0x0F00, "", ""},  // both offsets past the count
      {5000, std::string(256, 'A'), std::string(16, 'A')}};
  static DriveIdentity identity;
  for (const auto& [returned, vendor, product] : cases) {
    ParseStorageDescriptor(area.data(), returned, &identity);
    EXPECT_EQ(std::make_tuple(std::string(identity.vendor), std::string(identity.product),
                              int{identity.bus}),
              std::make_tuple(vendor, product, 7))
        << returned;
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
