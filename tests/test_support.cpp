#include "tests/test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "app/run.h"
#include "base/console.h"

namespace {
std::FILE* g_out = nullptr;
std::FILE* g_in = nullptr;
std::FILE* g_err = nullptr;
std::string g_errors;

// The C runtime's tmpfile under Wine names its files from a counter in one folder, so test
// processes running side by side can collide: try again with the next name.
std::FILE* ScratchFile() {
  std::FILE* f = nullptr;
  for (int i = 0; i < 100 && f == nullptr; ++i) {
    f = std::tmpfile();
  }
  if (f == nullptr) {
    std::perror("tmpfile");
    std::abort();
  }
  return f;
}

std::string Contents(std::FILE* f) {
  std::string text;
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
    text += static_cast<char>(c);
  }
  std::fclose(f);
  return text;
}

}  // namespace

void BeginCapture(const std::string& input) {
  g_out = ScratchFile();
  g_in = ScratchFile();
  g_err = ScratchFile();
  SetConsoleErrorStream(g_err);
  std::fwrite(input.data(), 1, input.size(), g_in);
  std::rewind(g_in);
  SetConsoleStreams(g_out, g_in);
}

std::string EndCapture() {
  SetConsoleStreams(nullptr, nullptr);
  SetConsoleErrorStream(nullptr);
  g_errors = Contents(g_err);
  std::fclose(g_in);
  return Contents(g_out);
}

const std::string& CapturedErrors() {
  return g_errors;
}

std::string Masked(const std::string& text) {
  return std::regex_replace(text, std::regex("\\.[0-9a-f]{16}\\.tmp"), ".*.tmp");
}

RunResult RunWith(const std::vector<std::string>& args, const std::string& input) {
  std::vector<const char*> argv = {"jmreader"};
  for (const std::string& a : args) {
    argv.push_back(a.c_str());
  }
  const int argc = static_cast<int>(argv.size());
  RunResult r{};
  r.output = Captured([&] { r.status = RunTool(argc, argv.data()); }, input);
  r.errors = CapturedErrors();
  return r;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    b[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
  }
  return b;
}

std::string Hex(const Bytes& bytes) {
  std::string s;
  for (std::uint8_t b : bytes) {
    s += {' ', "0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
  }
  return s.substr(s.empty() ? 0 : 1);
}

void AddBridge(std::uint16_t firmwareUnits) {
  SimMachine& m = Sim();
  m.drives.push_back(SimBridgeDrive(1));
  m.bridge.identity = {0x11, 0, 0, 0, 0, 0, 0, 0, 'A', 'B', 'C', 0, 0x01, 0x02, 0xA0, 0xFF};
  m.bridge.descriptor = {0, static_cast<std::uint8_t>(firmwareUnits >> 8),
                         static_cast<std::uint8_t>(firmwareUnits), 0};
  m.bridge.SetFirmwarePattern(0x30000, 7);
}

void SimTest::SetUp() {
  SimReset();
  previous_ = std::filesystem::current_path();
  // The clock keeps names apart across runs, so a directory left by a crashed run is never reused.
  static int count = 0;
  auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  dir_ = std::filesystem::temp_directory_path() /
         ("jmreader_test_" + std::to_string(stamp) + "_" + std::to_string(++count));
  std::filesystem::create_directories(dir_);
  std::filesystem::current_path(dir_);
}

void SimTest::TearDown() {
  EXPECT_EQ(Sim().openHandles, 0) << "a drive handle was left open";
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}
