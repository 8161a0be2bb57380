// jmreader.exe and jmreader-sim.exe as processes: what they print, their exit status, the files
// they leave. Each child runs without a console (DETACHED_PROCESS), with standard input and
// output on pipes, the way a script or a redirected run meets it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/windows/windows_test_support.h"

namespace {

using wintest::ReadWholeFile;
using wintest::UnderWine;
using wintest::WindowsPath;
using wintest::WriteWholeFile;

const char kBanner[] = "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\r\n";
constexpr DWORD kRunLimitMs = 30000;  // a run that takes longer hangs

struct ChildRun {
  bool started = false;
  bool finished = false;
  DWORD status = 0;
  std::string output;
  std::string errors;  // standard error, kept apart from the transcript
};

// Runs `exe` with one optional argument, `input` on standard input (then closed), in `dir`.
ChildRun RunProgram(const std::string& exe, const char* argument, const std::string& input,
                    const std::string& dir = std::string(), const char* environment = nullptr) {
  ChildRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
  char errorsPath[MAX_PATH];
  char tempDir[MAX_PATH];
  GetTempPathA(sizeof tempDir, tempDir);
  GetTempFileNameA(tempDir, "err", 0, errorsPath);
  HANDLE errors = CreateFileA(errorsPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
    return run;
  }
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
    CloseHandle(inRead);
    CloseHandle(inWrite);
    return run;
  }
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

  std::string commandLine = "\"" + exe + "\"";
  if (argument != nullptr) {
    commandLine += std::string(" ") + argument;
  }
  std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errors;
  PROCESS_INFORMATION process = {};
  run.started = CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE,
                               DETACHED_PROCESS, const_cast<char*>(environment),
                               dir.empty() ? nullptr : dir.c_str(), &startup, &process) != 0;
  CloseHandle(inRead);
  CloseHandle(outWrite);
  if (run.started) {
    // Read on a thread, so a child that fills the pipe cannot block the wait.
    std::thread reader([&] {
      char chunk[4096];
      DWORD got = 0;
      while (ReadFile(outRead, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        run.output.append(chunk, got);
      }
    });
    DWORD written = 0;
    if (!input.empty()) {
      WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    }
    CloseHandle(inWrite);
    inWrite = nullptr;
    run.finished = WaitForSingleObject(process.hProcess, kRunLimitMs) == WAIT_OBJECT_0;
    if (!run.finished) {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &run.status);
    reader.join();
    char chunk[4096];
    DWORD got = 0;
    SetFilePointer(errors, 0, nullptr, FILE_BEGIN);
    while (ReadFile(errors, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      run.errors.append(chunk, got);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (inWrite != nullptr) {
    CloseHandle(inWrite);
  }
  CloseHandle(outRead);
  CloseHandle(errors);
  return run;
}

// Every line feed comes as CR LF, and no CR stands alone or doubled.
::testing::AssertionResult LinesEndInCrLf(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return ::testing::AssertionFailure() << "bare LF at byte " << i;
    }
    if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) {
      return ::testing::AssertionFailure() << "CR without LF at byte " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

// The banner and an OS line with three numbers; returns what follows them.
::testing::AssertionResult StartsWithBanner(const std::string& output, std::string* rest) {
  static const std::regex kHead(
      "JMicron USB bridge firmware and nvram reader v0\\.11a by Telgrove\r\n"
      "OS: [0-9]+\\.[0-9]+ build [0-9]+ [^\r\n]*\r\n");
  std::smatch m;
  if (!std::regex_search(output, m, kHead, std::regex_constants::match_continuous)) {
    return ::testing::AssertionFailure() << "no banner and OS line at the start";
  }
  *rest = m.suffix().str();
  return ::testing::AssertionSuccess();
}

class ExeTest : public testing::Test {
 protected:
  static std::string Tool() { return WindowsPath(JMREADER_EXE); }
  static std::string SimTool() { return WindowsPath(JMREADER_SIM_EXE); }
};

TEST_F(ExeTest, EarlyStopsAndTheEndOfRun) {
  struct Case {
    const char* name;
    const char* argument;
    const char* input;
    bool wineOnly;      // rests on Wine's fake PhysicalDrive0, a SCSI disk (not USB)
    const char* after;  // what follows the banner and the OS line; the list is cut out below
    DWORD status;
    const char* errors = "";  // the start of standard error
  };
  const Case cases[] = {
      {"typed 100", nullptr, "100\n", false,
       "Please select drive number:Error: bad disk number\r\n", 23},
      {"typed 100 with CR LF", nullptr, "100\r\n", false,
       "Please select drive number:Error: bad disk number\r\n", 23},
      {"typed -1", nullptr, "-1\n", false, "Please select drive number:Error: bad disk number\r\n",
       23},
      {"argument 150 has no range test", "150", "", false,
       "Drive      : 150(NVME)\r\nError open disk\r\n", 16, "jmreader: \\\\.\\PhysicalDrive150: "},
      {"not usb, no console: the key wait ends at once", "0", "", true,
       "Drive      : 0(NVME)\r\nNot usb device!\r\n\r\nPress any key to exit\r\n", 0},
      {"auto yes skips the key wait", "0y", "", true, "Drive      : 0(NVME)\r\nNot usb device!\r\n",
       1},
  };
  for (const Case& c : cases) {
    if (c.wineOnly && !UnderWine()) {
      continue;
    }
    SCOPED_TRACE(c.name);
    ChildRun run = RunProgram(Tool(), c.argument, c.input);
    ASSERT_TRUE(run.started) << Tool();
    ASSERT_TRUE(run.finished) << "still running after " << kRunLimitMs << " ms:\n" << run.output;
    std::string rest;
    ASSERT_TRUE(StartsWithBanner(run.output, &rest)) << run.output;
    if (c.argument == nullptr) {
      // The drive list: "%2u: %s%s" lines, then the prompt.
      static const std::regex kList("([ 0-9][0-9]: [^\r\n]*\r\n)*");
      std::smatch m;
      ASSERT_TRUE(std::regex_search(rest, m, kList, std::regex_constants::match_continuous));
      if (UnderWine()) {
        EXPECT_EQ(m.str(), " 0: \r\n");  // the fake disk has no vendor or product text
      }
      rest = m.suffix().str();
    }
    EXPECT_EQ(rest, c.after);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.errors.substr(0, std::strlen(c.errors)), c.errors);
    EXPECT_EQ(run.errors.empty(), *c.errors == '\0') << run.errors;
    EXPECT_TRUE(LinesEndInCrLf(run.output));
  }
}

// The manifest names Windows 10 as supported, so the version query is told the truth: the same
// version the kernel reports to anyone.
TEST_F(ExeTest, OsLineShowsTheRealVersion) {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(rtlGetVersion, nullptr);
  OSVERSIONINFOW real = {};
  real.dwOSVersionInfoSize = sizeof real;
  ASSERT_EQ(rtlGetVersion(&real), 0);
  char servicePack[128] = {};
  WideCharToMultiByte(CP_ACP, 0, real.szCSDVersion, -1, servicePack, sizeof servicePack, nullptr,
                      nullptr);
  char expected[256];
  std::snprintf(expected, sizeof expected, "OS: %lu.%lu build %lu %s\r\n",
                static_cast<unsigned long>(real.dwMajorVersion),
                static_cast<unsigned long>(real.dwMinorVersion),
                static_cast<unsigned long>(real.dwBuildNumber), servicePack);

  ChildRun run = RunProgram(Tool(), "150", "");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.output.substr(0, run.output.find("Drive")), std::string(kBanner) + expected);
}

// The simulated bridge over the real C runtime: the dump file and the NVRAM file must travel
// byte for byte, with no CR added before LF and no stop at Ctrl+Z.
class SimExeTest : public ExeTest {
 protected:
  void SetUp() override {
    dir_ = wintest::MakeTempDir("sim");
    ASSERT_FALSE(dir_.empty());
    for (int i = 0; i < 65536; ++i) {
      // Every byte value, with LF, CR and Ctrl+Z bunched together now and then.
      firmware_ += static_cast<char>(i % 97 == 0 ? "\n\r\x1a"[i % 3] : (i * 131 + i / 256) & 0xFF);
    }
    for (int i = 0; i < 512; ++i) {
      nvram_ += static_cast<char>("\r\n\x1a\n"[i % 4] + (i % 8 < 4 ? 0 : i & 0xF0));
    }
    ASSERT_TRUE(WriteWholeFile(dir_ + "\\fw.bin", firmware_));
    ASSERT_TRUE(WriteWholeFile(dir_ + "\\nvram-in.bin", nvram_));
    ASSERT_TRUE(WriteWholeFile(dir_ + "\\scenario.txt",
                               "drive 1 usb \"JMicron \" \"Generic         \" bridge\n"
                               "identity 4A 4D 53 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
                               "descriptor 00 01 00 00\n"
                               "firmware file fw.bin\n"
                               "nvram 268 file nvram-in.bin\n"
                               "nvram-out nvram-out.txt\n"));
  }
  void TearDown() override { wintest::RemoveTree(dir_); }

  ChildRun RunSim(const char* argument) {
    // The scenario comes through the environment: a block of its own plus the inherited one.
    std::string block = "JMREADER_SIM=" + dir_ + "\\scenario.txt";
    block.push_back('\0');
    char* inherited = GetEnvironmentStringsA();
    for (const char* p = inherited; *p != '\0'; p += std::strlen(p) + 1) {
      if (_strnicmp(p, "JMREADER_SIM=", 13) != 0) {
        block.append(p, std::strlen(p) + 1);
      }
    }
    FreeEnvironmentStringsA(inherited);
    block.push_back('\0');
    return RunProgram(SimTool(), argument, "", dir_, block.data());
  }

  std::string dir_;
  std::string firmware_;
  std::string nvram_;
};

TEST_F(SimExeTest, DumpFileIsByteExact) {
  ChildRun run = RunSim("1y");
  ASSERT_TRUE(run.finished);
  EXPECT_NE(run.output.find("Fw+nvram saved to jmSIM_01_02_A0_FF.bin\r\n"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.status, 1u);
  EXPECT_TRUE(LinesEndInCrLf(run.output));
  const std::string dump = ReadWholeFile(dir_ + "\\jmSIM_01_02_A0_FF.bin");
  ASSERT_EQ(dump.size(), firmware_.size() + nvram_.size());
  EXPECT_TRUE(dump == firmware_ + nvram_);
}

TEST_F(SimExeTest, NvramFileIsWrittenByteExact) {
  // Not the sector the bridge holds already, so only a write can put it there.
  const std::string update(nvram_.rbegin(), nvram_.rend());
  ASSERT_NE(update, nvram_);
  ASSERT_TRUE(WriteWholeFile(dir_ + "\\jm_nvram.bin", update));
  ChildRun run = RunSim("1uy");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 1u) << run.output;
  std::string hex;
  for (char c : update) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(c));
    hex += two;
  }
  // The simulator's store after the run: "<address> <512 bytes in hex>" per sector.
  const std::string store = ReadWholeFile(dir_ + "\\nvram-out.txt");
  EXPECT_NE(store.find("010C " + hex), std::string::npos) << store.substr(0, 200);
}

}  // namespace
