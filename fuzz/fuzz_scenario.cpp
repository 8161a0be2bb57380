// Scenario files of jmreader-sim: any text either sets up the simulated machine or is refused
// with the number and text of a line that cannot be used, and what is wrong with it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sim/platform_sim.h"
#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // "file" lines read host files by name, /dev/zero and /proc included: not for fuzz input.
  if (text.find("file") != std::string::npos) {
    return 0;
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }

  ScenarioOutputs outputs;
  std::string error;
  bool loaded = LoadScenarioText(text, "", &outputs, &error);
  if (loaded) {
    FUZZ_CHECK(error.empty(), "loaded, yet \"%s\"", error.c_str());
    for (const auto& entry : Sim().bridge.nvram) {
      FUZZ_CHECK(entry.first <= 0xFFFF, "NVRAM sector at %x", entry.first);
    }
    return 0;
  }
  // "line <n> "<the line>": <what is wrong>", naming a line that exists.
  FUZZ_CHECK(error.rfind("line ", 0) == 0, "error \"%s\"", error.c_str());
  unsigned long number = std::strtoul(error.c_str() + 5, nullptr, 10);
  FUZZ_CHECK(number >= 1 && number <= lines.size(), "line %lu of %zu", number, lines.size());
  std::string line = lines[number - 1];
  line.erase(line.find_last_not_of('\r') + 1);
  std::string head = "line " + std::to_string(number) + " \"" + line + "\": ";
  FUZZ_CHECK(error.rfind(head, 0) == 0 && error.size() > head.size(),
             "error \"%s\" for line \"%s\"", error.c_str(), line.c_str());
  return 0;
}
