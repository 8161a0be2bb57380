// Shared fixtures: a fresh simulated machine, a scratch working directory and the console
// captured in files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "app/run.h"
#include "sim/platform_sim.h"

using Bytes = std::vector<std::uint8_t>;

struct RunResult {
  int status;
  std::string output;
  std::string errors;  // the error stream
};

// Runs the tool with `args` (without the program name) and `input` as standard input.
RunResult RunWith(const std::vector<std::string>& args, const std::string& input = "");

// The console's output, errors and input go to and come from scratch files between these two.
void BeginCapture(const std::string& input);
std::string EndCapture();
// The error stream of the latest capture.
const std::string& CapturedErrors();
// `text` with each temporary file's 16 hex digits as "*".
std::string Masked(const std::string& text);
// Captures what `action` prints, with `input` as standard input.
template <typename Action>
std::string Captured(Action action, const std::string& input = "") {
  BeginCapture(input);
  action();
  return EndCapture();
}

Bytes ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes Pattern(std::size_t n, std::uint8_t seed);
std::string Hex(const Bytes& bytes);

// A bridge on drive 1 (USB) with identity "jmABC_01_02_A0_FF" and the given firmware length.
void AddBridge(std::uint16_t firmwareUnits);

// Each test starts with an empty simulated machine in its own empty working directory.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir_;

 private:
  std::filesystem::path previous_;
};
