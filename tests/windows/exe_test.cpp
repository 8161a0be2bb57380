// Windows programs as child processes. jmreader.exe runs without a console (DETACHED_PROCESS),
// standard input, output and error on files, the way a script or a redirected run meets it; drive
// 0 must be a disk other than USB that the test may open: Wine's fake disk, or any on an elevated
// run on Windows. console_keys_test.exe runs in a console of its own that has no window.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ExeTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("jm-exe-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code busy;  // Wine's console host lets go of the files a little after its program
    for (int i = 0; i < 100 && (fs::remove_all(dir_, busy), busy); ++i) {
      Sleep(50);
    }
    EXPECT_FALSE(busy) << busy.message();
  }

  // Runs `exe argument` in `folder` (default: the test's own) with `input` on standard input,
  // output and errors to out.txt and err.txt in the test's folder; its exit status, 98 when it
  // could not be started, or 99 when it was still running after 30 s.
  DWORD Run(const std::string& exe, const std::string& argument, const std::string& input = "",
            DWORD flags = DETACHED_PROCESS, const std::string& folder = "") {
    std::ofstream(dir_ / "in.txt", std::ios::binary) << input;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    auto open = [&](const char* name, DWORD access, DWORD disposition) {
      return CreateFileA((dir_ / name).string().c_str(), access, FILE_SHARE_READ, &inherit,
                         disposition, 0, nullptr);
    };
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open("in.txt", GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = open("out.txt", GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = open("err.txt", GENERIC_WRITE, CREATE_ALWAYS);
    // Under Wine a Unix path lives on drive Z:.
    std::string line = (exe[0] == '/' ? "\"Z:" : "\"") + exe + "\" " + argument;
    PROCESS_INFORMATION process = {};
    DWORD status = 98;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        folder.empty() ? dir_.string().c_str() : folder.c_str(), &startup,
                        &process)) {
      // 740, ERROR_ELEVATION_REQUIRED: the manifest asks for administrator rights.
      ADD_FAILURE() << line << ": not started, error " << GetLastError()
                    << " (740: run the tests from an elevated console)";
    } else {
      if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
      }
      GetExitCodeProcess(process.hProcess, &status);
    }
    for (HANDLE h : {process.hProcess, process.hThread, startup.hStdInput, startup.hStdOutput,
                     startup.hStdError}) {
      CloseHandle(h);
    }
    return status;
  }

  fs::path dir_;
};

TEST_F(ExeTest, TranscriptStatusAndReason) {
  constexpr const char* kNoUsb =
      R"(jmreader: \\\\\.\\PhysicalDrive0 is no USB drive: [^\r\n]+\r\n)";
  struct Case {
    const char* name;
    const char* argument;
    const char* input;
    const char* after;  // what follows the head, the drive list cut out
    DWORD status;
    std::string errors;           // a pattern for all of standard error (case ignored)
    bool inSystemFolder = false;  // run in the Windows folder's System32 instead
  };
  const Case cases[] = {
      // An update must begin with its drive number (a full-width 1 is none): refused before
      // anything is opened.
      {"typed \uFF11u", "", "\xEF\xBC\x91u\r\n",
       "Please select drive number:Error: bad disk number\r\n", 23,
       R"(jmreader: [^\r\n]+u: an update needs the drive number first, e\.g\. 2uy\r\n)"},
      {"drive 150 cannot be opened", "150", "", "Drive      : 150(NVME)\r\nError open disk\r\n", 16,
       R"(jmreader: \\\\\.\\PhysicalDrive150: [^\r\n]+ \(no such drive\)\r\n)"},
      {"no console: the key wait ends at once", "0", "",
       "Drive      : 0(NVME)\r\nNot usb device!\r\n\r\nPress any key to exit\r\n", 4, kNoUsb},
      // A device path is never read for letters; the line says which drive it is.
      {"a drive's path", R"(\\.\PhysicalDrive0)", "", "", 2,
       R"(jmreader: \\\\\.\\PhysicalDrive0 is drive 0: run jmreader 0 \(or 0u to update\)\r\n)"},
      {"a path that is no drive", R"(\\.\physicaldrive150u)", "", "", 2,
       R"(jmreader: \\\\\.\\physicaldrive150u: not a \\\\\.\\PhysicalDriveN drive \(give a )"
       R"(drive number: jmreader without an argument lists the drives\)\r\n)"},
      // Y skips the key wait.
      {"where an elevated console starts", "0y", "", "Drive      : 0(NVME)\r\nNot usb device!\r\n",
       4,
       R"(jmreader: the current folder [a-z]:\\windows\\system32 is inside the Windows folder, )"
       R"(where an elevated console starts: [^\r\n]+ "cd /d %USERPROFILE%"\.\r\n)" +
           std::string(kNoUsb),
       true},
  };
  char system[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryA(system, sizeof system), 0u);
  // The banner and the OS line. With the manifest's supportedOS list the version shown is the one
  // the kernel reports (without it, Windows 8.1 and later would show 6.2).
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW real = {};
  real.dwOSVersionInfoSize = sizeof real;
  rtlGetVersion(&real);
  char text[512];
  std::snprintf(text, sizeof text,
                "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\r\n"
                "OS: %lu.%lu build %lu %ls\r\n",
                real.dwMajorVersion, real.dwMinorVersion, real.dwBuildNumber, real.szCSDVersion);
  const std::string head = text;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        Run(JMREADER_EXE, c.argument, c.input, DETACHED_PROCESS, c.inSystemFolder ? system : ""),
        c.status);
    const std::string out = Slurp(dir_ / "out.txt"), err = Slurp(dir_ / "err.txt");
    // A refused argument stops after the banner, before the OS line.
    const std::string banner = head.substr(0, head.find('\n') + 1);
    const std::string& start = c.status == 2 ? banner : head;
    std::string rest = out.substr(0, start.size()) == start ? out.substr(start.size()) : "";
    if (*c.argument == '\0') {
      rest.erase(0, rest.find("Please"));  // the drives of the machine
    }
    EXPECT_EQ(rest, c.after) << out;
    EXPECT_TRUE(std::regex_match(err, std::regex(c.errors, std::regex::icase))) << err;
  }
}

TEST_F(ExeTest, ConsoleKeysInAConsoleWithoutWindow) {
  EXPECT_EQ(Run(CONSOLE_KEYS_TEST_EXE, "", "", CREATE_NO_WINDOW), 0u) << Slurp(dir_ / "out.txt");
}

}  // namespace
