// Scenario files for jmreader-sim: the simulated drives, the bridge, its faults and where the
// simulator reports what happened.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/sim_bridge.h"

// The simulator's own exit status, beside the tool's: the machine could not be set up as the
// scenario says, what it asked to be written could not be, or a replayed trace did not fit the run.
inline constexpr int kExitBadScenario = 3;

struct ScenarioOutputs {
  std::string requestLog;  // one line per request
  std::string nvramOut;    // the bridge's NVRAM store at the end of the run
  std::string state;       // the bridge's firmware and NVRAM store, kept from run to run
};

// At most this many NVRAM sectors in a scenario or a state, so that a state stays small.
inline constexpr std::size_t kMaxNvramSectors = 256;

// The built-in scenario: drive 0 a SATA disk, drive 1 a bridge with 64 KiB of firmware.
void LoadDefaultScenario();

// Sets up the simulated machine from a scenario text; what it leaves out is the built-in one's.
// On error returns false and describes the first bad line in `error`.
bool LoadScenarioText(const std::string& text, const std::string& baseDir, ScenarioOutputs* out,
                      std::string* error);
// The same from a regular file of at most 1 MiB; files it names are relative to its folder.
bool LoadScenarioFile(const char* path, ScenarioOutputs* out, std::string* error);

// What is wrong with the words `w` of a line that the loader refused: the form its keyword takes,
// or an unknown keyword.
std::string WhatIsWrong(const std::vector<std::string>& w);
// Why no dump would ever meet a fault on the firmware block at `unit` of `bridge`; "" when one
// would.
std::string UnreadBlock(unsigned long long unit, const sim::Bridge& bridge);

// Writes the NVRAM store: one line per sector, "<address in hex> <512 bytes in hex>".
bool SaveNvramStore(const char* path);

// The state file: the bridge's firmware and NVRAM store as a run left them. LoadState puts a
// state file's contents into `bridge` and returns "", also when there is no such file yet;
// otherwise what is wrong with it. SaveState writes it whole or not at all.
std::string LoadState(const std::string& path, sim::Bridge* bridge);
bool SaveState(const std::string& path, const sim::Bridge& bridge);
