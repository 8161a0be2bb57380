// Scenario files for jmreader-sim: the simulated drives, the bridge, its faults and where the
// simulator reports what happened.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/sim_bridge.h"

struct ScenarioOutputs {
  std::string requestLog;  // one line per request
  std::string nvramOut;    // the bridge's NVRAM store at the end of the run
};

// The built-in scenario: drive 0 a SATA disk, drive 1 a bridge with 64 KiB of firmware.
void LoadDefaultScenario();

// Sets up the simulated machine from a scenario text. On error returns false and describes the
// first bad line in `error`.
bool LoadScenarioText(const std::string& text, const std::string& baseDir, ScenarioOutputs* out,
                      std::string* error);
bool LoadScenarioFile(const char* path, ScenarioOutputs* out, std::string* error);

// What is wrong with the words `w` of a line that the loader refused: the form its keyword takes,
// a file it names that cannot be read, or an unknown keyword.
std::string WhatIsWrong(const std::vector<std::string>& w, const std::string& baseDir);
// Why no dump would ever meet a fault on the firmware block at `unit` of `bridge`; "" when one
// would.
std::string UnreadBlock(unsigned long long unit, const sim::Bridge& bridge);

// Writes the NVRAM store: one line per sector, "<address in hex> <512 bytes in hex>".
bool SaveNvramStore(const char* path);
