// Scenario files of jmreader-sim: any text either sets up the simulated machine or is refused
// with the number and text of a line that cannot be used, and what is wrong with it.
//
// Input: the scenario text up to a NUL byte, then up to three files "a", "b" and "c" that its lines
// may name (as files to read or as the state), each a 16-bit little-endian length and its bytes,
// written into a scratch folder that is the working directory. A scenario that holds a "/" stays
// out: a path outside the scratch folder could name a host file that blocks on reading although
// it is a regular file (/proc/kmsg).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/jobs.h"
#include "fuzz/fuzz_support.h"
#include "sim/platform_sim.h"
#include "sim/scenario.h"

namespace {

// The lines as the simulator should count them: CR, LF and CRLF each end one.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      line += text[i];
      continue;
    }
    i += text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 1 : 0;
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) {
    lines.push_back(line);
  }
  return lines;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EnterScratchFolder("jmreader_fuzz_scenario_");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (at < size && data[at] != 0) {
    ++at;
  }
  std::string text(reinterpret_cast<const char*>(data), at);
  if (text.find('/') != std::string::npos) {
    return 0;
  }
  std::vector<std::string> parts = {text};
  for (++at; parts.size() < 4 && at + 2 <= size; at += parts.back().size()) {
    std::size_t length = data[at] | std::size_t{data[at + 1]} << 8;
    at += 2;
    parts.emplace_back(reinterpret_cast<const char*>(data) + at, std::min(length, size - at));
  }
  const char* const names[] = {"s", "a", "b", "c"};
  for (std::size_t i = 0; i < 4; ++i) {
    std::remove(names[i]);
    if (i < parts.size()) {
      std::FILE* f = std::fopen(names[i], "wb");
      FUZZ_CHECK(f != nullptr, "cannot write %s", names[i]);
      std::fwrite(parts[i].data(), 1, parts[i].size(), f);
      std::fclose(f);
    }
  }
  std::vector<std::string> lines = Lines(text);

  ScenarioOutputs outputs;
  std::string error;
  bool loaded = LoadScenarioFile("s", &outputs, &error);
  FUZZ_CHECK(error.size() <= 400, "an error of %zu characters", error.size());
  if (loaded) {
    const SimMachine& m = Sim();
    FUZZ_CHECK(error.empty(), "loaded, yet \"%s\"", error.c_str());
    FUZZ_CHECK(!m.drives.empty() && m.bridge.firmware.size() <= kFirmwareAreaSize,
               "%zu drives, %zu bytes of firmware", m.drives.size(), m.bridge.firmware.size());
    for (std::size_t i = 0; i < m.drives.size(); ++i) {
      FUZZ_CHECK(m.drives[i].number >= 0 && m.drives[i].number <= 98, "drive %d",
                 static_cast<int>(m.drives[i].number));
      for (std::size_t j = 0; j < i; ++j) {
        FUZZ_CHECK(m.drives[i].number != m.drives[j].number, "drive %d twice",
                   static_cast<int>(m.drives[i].number));
      }
    }
    for (const auto& entry : m.bridge.nvram) {
      FUZZ_CHECK(entry.first <= 0xFFFF, "NVRAM sector at %x", entry.first);
    }
    return 0;
  }
  // "s: line <n> "<the line, cut to 80 characters>": <what is wrong>", naming a line that exists.
  FUZZ_CHECK(error.rfind("s: line ", 0) == 0, "error \"%s\"", error.c_str());
  unsigned long number = std::strtoul(error.c_str() + 8, nullptr, 10);
  FUZZ_CHECK(number >= 1 && number <= lines.size(), "line %lu of %zu", number, lines.size());
  std::string line = lines[number - 1];
  line = line.size() <= 80 ? line : line.substr(0, 77) + "...";
  std::string head = "s: line " + std::to_string(number) + " \"" + line + "\": ";
  FUZZ_CHECK(error.rfind(head, 0) == 0 && error.size() > head.size(),
             "error \"%s\" for line \"%s\"", error.c_str(), line.c_str());
  return 0;
}
