// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <algorithm>
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

bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The storage descriptor's texts are read only inside the count returned and the area: an offset
// of 0, -1 or past them gives no text, a text without its zero is cut at their end. A request
// the system refuses (here on a handle that is no handle) is unsent, with the system's code. (A
// real drive opened and asked its bus: exe_test's runs.)
TEST(Win32Drives, DescriptorTextsAndARefusedRequest) {
  std::vector<std::uint8_t> area(kDescriptorAreaSize, 'A');
  PutLe(area.data() + 12, 0x0F00, 4);  // vendor
  PutLe(area.data() + 16, 0x0FF0, 4);  // product: no zero up to the area's end
  std::memcpy(area.data() + 0x0E00, "0123456789AB", 13);
  area[28] = 7;
  // The count returned, the serial's offset; the texts.
  const std::tuple<std::uint32_t, std::uint32_t, std::string, std::string, std::string> cases[] = {
      {0x0F00, 0x0E00, "", "", "0123456789AB"},  // vendor and product past the count
      {5000, 0xFFFFFFFF, std::string(256, 'A'), std::string(16, 'A'), ""},
      {5000, 0, std::string(256, 'A'), std::string(16, 'A'), ""}};
  static DriveIdentity identity;
  for (const auto& [returned, serialAt, vendor, product, serial] : cases) {
    PutLe(area.data() + 24, serialAt, 4);
    ParseStorageDescriptor(area.data(), returned, &identity);
    EXPECT_EQ(std::make_tuple(std::string(identity.vendor), std::string(identity.product),
                              std::string(identity.serial), int{identity.bus}),
              std::make_tuple(vendor, product, serial, 7))
        << returned;
  }
  const PassThroughRequest inquiry = {{0x12}, 6, DataDirection::kIn, {}, 0, 2};
  const PassThroughResult r = PlatformPassThrough(0x1234, inquiry);
  EXPECT_EQ(std::make_pair(r.sent, r.error),
            std::make_pair(false, std::uint32_t{ERROR_INVALID_HANDLE}));
}

// The system's text converted to a given code page (ReasonCodePage picks the console's), cut to
// fit; a code without text is numbered.
TEST(Win32Errors, TextInTheConsolesCodePage) {
  const DWORD french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
  char text[128];
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, 850, text, sizeof text));
  EXPECT_STREQ(text, "Acc\x8As refus\x82");
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, CP_UTF8, text, 8));
  EXPECT_STREQ(text, "Acc\xC3\xA8s ");  // cut to fit
  EXPECT_FALSE(FormatErrorText(0xDEADBEEF, 0, 850, text, sizeof text));
  SystemErrorText(0xDEADBEEF, text, sizeof text);
  EXPECT_STREQ(text, "error 3735928559");
}

std::string Text(const std::string& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

// Starts this program running the one test named, with the environment it has now.
PROCESS_INFORMATION StartTest(const char* test) {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string command = std::string("\"") + exe + "\" --gtest_filter=" + test;
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  PROCESS_INFORMATION child = {};
  // Wine on a loaded host now and then fails to start a process: that is no fault of the save.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    Sleep(200 * attempt);
    started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &start, &child);
  }
  EXPECT_TRUE(started) << GetLastError();
  return child;
}

// Waits for the end of a program StartTest started: its exit status.
DWORD Finish(const PROCESS_INFORMATION& child) {
  DWORD status = 1;
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return status;
}

// Another process holds the name without sharing delete: a hold released within about 5 s lets
// the save through; a longer one leaves the complete new file under its temporary name and
// the earlier file in place.
TEST(Win32Files, ARenameRefusedByAnotherProcessKeepsTheFile) {
  // The other process, started with JM_HOLD_FILE set: holds the file open without sharing write
  // or delete, as an antivirus or an editor does, for the milliseconds in its name.
  if (const char* file = std::getenv("JM_HOLD_FILE"); file != nullptr) {
    HANDLE held =
        CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::ofstream(std::string(file) + ".held").put('!');
    Sleep(static_cast<DWORD>(std::atoi(file + 4)));  // "held<ms>.bin"
    CloseHandle(held);
    return;
  }
  const std::pair<int, SaveOutcome> cases[] = {{300, SaveOutcome::kSaved},
                                               {7000, SaveOutcome::kKept}};
  for (const auto& [ms, outcome] : cases) {
    const std::string name = "held" + std::to_string(ms) + ".bin";
    std::ofstream(name, std::ios::binary) << "earlier";
    SetEnvironmentVariableA("JM_HOLD_FILE", name.c_str());
    const PROCESS_INFORMATION child =
        StartTest("Win32Files.ARenameRefusedByAnotherProcessKeepsTheFile");
    SetEnvironmentVariableA("JM_HOLD_FILE", nullptr);
    const std::string marker = name + ".held";
    for (int i = 0; i < 2000 && GetFileAttributesA(marker.c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
      Sleep(5);
    }
    SaveReport report;
    SaveFile(name.c_str(), reinterpret_cast<const std::uint8_t*>("new"), 3, &report);
    EXPECT_EQ(Finish(child), 0u) << ms;
    // The earlier file keeps its numbered name either way: a link to a held file cannot be
    // removed, and is told. Wine's volumes say they take no hard links: there the held file is
    // moved, which its holder refuses until it lets go.
    const bool saved = outcome == SaveOutcome::kSaved, backup = saved || !UnderWine();
    EXPECT_EQ(
        std::make_tuple(report.outcome, report.error.failure == FileFailure::kNone, Text(name),
                        std::string(report.backup), Text(report.backup), Text(report.kept)),
        std::make_tuple(outcome, saved, saved ? "new" : "earlier", backup ? name + ".~1~" : "",
                        backup ? "earlier" : "", saved ? "" : "new"))
        << ms;
    for (const std::string& file :
         {name, marker, std::string(report.backup), std::string(report.kept)}) {
      DeleteFileA(file.c_str());
    }
  }
}

// Every byte of the SCSI_PASS_THROUGH block in both widths: the fields that carry values, and
// zero everywhere else. Then what a driver gives back: less than the header is no answer at all;
// inbound data counts only as far as it came back; outbound, the header and sense alone come back
// and the count stands. The status, the sense and the inbound data come out of the block.
TEST(Win32PassThrough, BlockAndReturnedCountInBothLayouts) {
  std::uint8_t data[5] = {1, 2, 3, 4, 5};
  const PassThroughRequest request = {
      {0x3C, 0x01, 0x01, 0x01, 0xFC, 0, 0, 0x04, 0, 0}, 10, DataDirection::kOut, data, 5, 30};
  struct Case {
    DataDirection direction;
    int past;  // bytes returned past the data offset; -24 is the header alone, without sense
    bool ok;
    std::uint32_t moved;
  };
  using enum DataDirection;
  const Case cases[] = {{kIn, 512, true, 512}, {kIn, 513, false, 0}, {kIn, 100, true, 100},
                        {kIn, -24, true, 0},   {kIn, -25, false, 0}, {kOut, -24, true, 512}};
  for (const PassThroughLayout& layout : {kPassThroughLayout32, kPassThroughLayout64}) {
    static std::uint8_t block[kMaxBlockSize];
    std::memset(block, 0xCC, sizeof block);
    const int dataAt = layout.headerSize + 24;
    const std::uint32_t length = dataAt + 5;
    ASSERT_EQ(BuildPassThroughBlock(layout, request, block), length);
    // Length, CdbLength 10, SenseInfoLength 24, DataIn 0 (out), DataTransferLength 5, 30 seconds.
    const auto header = static_cast<std::uint8_t>(layout.headerSize);
    std::vector<std::uint8_t> expected = {header, 0, 0, 0, 0, 0, 10, 24, 0,
                                          0,      0, 0, 5, 0, 0, 0,  30};
    expected.resize(length);
    expected[layout.dataBufferOffsetAt] = static_cast<std::uint8_t>(dataAt);
    expected[layout.senseInfoOffsetAt] = header;
    std::memcpy(expected.data() + layout.cdbAt, request.cdb, 10);
    std::memcpy(expected.data() + dataAt, data, 5);
    EXPECT_EQ(std::vector<std::uint8_t>(block, block + length), expected) << layout.headerSize;
    EXPECT_EQ(block[length], 0xCC) << "wrote past the request";
    for (const Case& c : cases) {
      std::uint8_t sector[512] = {};
      const PassThroughRequest reply = {{0x3C}, 10, c.direction, sector, 512, 2};
      const std::uint32_t size = BuildPassThroughBlock(layout, reply, block);
      block[kScsiStatusAt] = 2;
      block[layout.headerSize] = 0x70;
      block[layout.headerSize + 23] = 0x0E;
      block[dataAt] = 0x5A;
      const auto returned = static_cast<std::uint32_t>(dataAt + c.past);
      PassThroughResult r = ReadPassThroughReply(layout, block, size, returned, reply);
      EXPECT_EQ(
          std::make_tuple(r.sent, r.error, r.moved, r.status, r.sense[0], r.sense[23], sector[0]),
          std::make_tuple(c.ok, c.ok ? 0u : std::uint32_t{ERROR_INVALID_DATA}, c.moved, 2 * c.ok,
                          0x70 * c.ok, 0x0E * c.ok, 0x5A * c.ok * (c.direction == kIn)))
          << c.past;
    }
  }
}

// During a save Ctrl+C and Ctrl+Break wait for its end; within a kept stretch they are taken at
// once, also during a save there: the work sees them, and they end nothing. Closing the console
// leaves the file of a finished save (row 0) and removes it otherwise, closed (1) or open (2:
// through its handle, as nobody may delete it by name then, once that is closed).
TEST(Win32ConsoleEvents, HeldDuringASaveTakenDuringAKeptStretch) {
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
    static bool s_seen[2];
    const bool came = PlatformKeepInterruptions(
        [](void* e, const KeptInterruptions& kept) {
          s_seen[0] = PlatformInterruptionCame(kept);
          PlatformHoldInterruptions(
              "", [](void* p) { RunConsoleEventHandler(*static_cast<DWORD*>(p)); }, e);
          s_seen[1] = PlatformInterruptionCame(kept);
        },
        &event);
    EXPECT_EQ(std::make_tuple(s_seen[0], s_seen[1], came), std::make_tuple(false, true, true))
        << event;
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

// Only a name-surrogate tag (a link) stands for another file; any other (a cloud placeholder, a
// deduplicated, compressed or HSM file) is a regular one. A hard link refused for any reason but a
// taken name (FAT's ERROR_INVALID_FUNCTION, a share's access denied, too many links) moves the
// earlier file instead; a move is tried again only where another program's hold may end.
TEST(Win32Files, ReparseTagsLinkAndMoveFailures) {
  const DWORD r = FILE_ATTRIBUTE_REPARSE_POINT, none = INVALID_FILE_ATTRIBUTES, file = 0x20;
  const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
  const std::tuple<DWORD, DWORD, bool> tags[] = {{file, 0, true},
                                                 {FILE_ATTRIBUTE_DEVICE, 0, false},
                                                 {r, 0xA000000C, false},  // a symbolic link
                                                 {r, 0x9000001A, true},   // a cloud file
                                                 {r | folder, 0x9000001A, false}};
  for (const auto& [attributes, tag, plain] : tags) {
    EXPECT_EQ(IsPlainFile(attributes, tag), plain) << std::hex << attributes << " " << tag;
  }
  for (DWORD code : {ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS, ERROR_INVALID_FUNCTION}) {
    const bool taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
    const FileError e = LinkFailure(code);
    EXPECT_EQ(std::make_pair(e.failure, e.code),
              std::make_pair(taken ? FileFailure::kExists : FileFailure::kNoHardLink,
                             std::uint32_t{code}));
  }
  const std::tuple<DWORD, DWORD, bool> moves[] = {
      {ERROR_SHARING_VIOLATION, none, true}, {ERROR_LOCK_VIOLATION, file, true},
      {ERROR_ACCESS_DENIED, file, true},     {ERROR_ACCESS_DENIED, file | 1, false},  // read-only
      {ERROR_ACCESS_DENIED, folder, false},  {ERROR_ACCESS_DENIED, none, false},
      {ERROR_ALREADY_EXISTS, file, false}};
  for (const auto& [code, target, again] : moves) {
    EXPECT_EQ(RenameMayPass(code, target), again) << code << " " << target;
  }
}

// Two runs of this program save the same name at once, with different contents, pair after pair,
// every other pair over an earlier file of a third content (each run, started with JM_RACE set,
// saves its one byte once both are ready): each content ends up under the name or a numbered
// backup.
TEST(Win32Files, TwoRunsAtOnceLoseNoContent) {
  if (const char* run = std::getenv("JM_RACE"); run != nullptr) {
    ReleaseSemaphore(OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, "jm-ready"), 1, nullptr);
    WaitForSingleObject(OpenEventA(SYNCHRONIZE, FALSE, "jm-go"), INFINITE);
    SaveReport report;
    SaveFile(run + 1, reinterpret_cast<const std::uint8_t*>(run), 1, &report);
    EXPECT_EQ(report.outcome, SaveOutcome::kSaved);
    return;
  }
  HANDLE ready = CreateSemaphoreA(nullptr, 0, 2, "jm-ready");
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, "jm-go");
  for (int pair = 0; pair < 60; ++pair) {
    const std::string name = "race" + std::to_string(pair) + ".bin";
    if (pair % 2 == 1) {
      std::ofstream(name, std::ios::binary) << 'e';
    }
    PROCESS_INFORMATION runs[2] = {};
    ResetEvent(go);
    for (PROCESS_INFORMATION& run : runs) {
      SetEnvironmentVariableA("JM_RACE", ((&run == runs ? "a" : "b") + name).c_str());
      run = StartTest("Win32Files.TwoRunsAtOnceLoseNoContent");
      WaitForSingleObject(ready, 30000);
    }
    SetEnvironmentVariableA("JM_RACE", nullptr);
    SetEvent(go);
    for (const PROCESS_INFORMATION& run : runs) {
      EXPECT_EQ(Finish(run), 0u) << pair;
    }
    std::string contents;
    for (const std::string& file : {name, name + ".~1~", name + ".~2~", name + ".~3~"}) {
      contents += Text(file);
      DeleteFileA(file.c_str());
    }
    std::sort(contents.begin(), contents.end());
    contents.erase(std::unique(contents.begin(), contents.end()), contents.end());
    EXPECT_EQ(contents, pair % 2 == 1 ? "abe" : "ab") << pair;
  }
  CloseHandle(ready);
  CloseHandle(go);
}

// In a folder whose name the ANSI code page cannot write, and under one whose path is past
// MAX_PATH, the file is saved and read, and its path told in the reasons' code page.
TEST(Win32Files, FoldersWithWideAndLongNames) {
  wchar_t back[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, back), 0u);
  const std::wstring d(120, L'd');
  for (const std::wstring& parts : {std::wstring(L"\u0141ukasz \u042e\u043b\u044f\\"),
                                    L"long\\" + d + L"\\" + d + L"\\" + d + L"\\"}) {
    const std::wstring folder = std::wstring(back) + L"\\" + parts;
    for (std::size_t end = folder.find(L'\\', wcslen(back) + 1); end != std::wstring::npos;
         end = folder.find(L'\\', end + 1)) {
      CreateDirectoryW(folder.substr(0, end).c_str(), nullptr);
    }
    char ansi[kFullPathSize], shown[kFullPathSize], path[kFullPathSize];
    WideCharToMultiByte(CP_ACP, 0, (folder + L"dump.bin").c_str(), -1, ansi, sizeof ansi, 0, 0);
    WideCharToMultiByte(ReasonCodePage(), 0, (folder + L"dump.bin").c_str(), -1, shown,
                        sizeof shown, nullptr, nullptr);
    // The first by a name in the current folder, the second by its full path.
    const bool wide = parts.size() < MAX_PATH;
    ASSERT_TRUE(!wide || SetCurrentDirectoryW(folder.c_str()));
    const char* file = wide ? "dump.bin" : ansi;
    SaveReport report;
    for (const char* data : {"a", "b"}) {
      SaveFile(file, reinterpret_cast<const std::uint8_t*>(data), 1, &report);
    }
    std::uint8_t byte = 0;
    FileError error;
    EXPECT_EQ(ReadRegularFile(file, &byte, 1, &error, path), 1) << shown;
    EXPECT_EQ(std::make_tuple(report.outcome, std::string(report.path), byte, std::string(path),
                              std::string(report.backupPath)),
              std::make_tuple(SaveOutcome::kSaved, std::string(shown), std::uint8_t{'b'},
                              std::string(shown), std::string(shown) + ".~1~"));
    SetCurrentDirectoryW(back);
    for (std::wstring f = folder; f.size() > wcslen(back) + 1;
         f.resize(f.rfind(L'\\', f.size() - 2) + 1)) {
      DeleteFileW((f + L"dump.bin").c_str());
      DeleteFileW((f + L"dump.bin.~1~").c_str());
      RemoveDirectoryW(f.c_str());
    }
  }
}

}  // namespace
