// The SCSI target behind the emulated bridge: a RAM disk for what the kernel sends at attach and
// for file systems, and the bridge model for the bridge's own commands.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_bridge.h"
#include "tools/bridge-emu/options.h"

namespace emu {

struct Reply {
  std::uint8_t status = 0;        // SCSI status: 0 GOOD, 2 CHECK CONDITION
  std::uint32_t transferred = 0;  // data-in bytes to send, or data-out bytes taken
  std::uint32_t stallMs = 0;      // hold the command this long, then run it without its fault
  bool phaseError = false;        // end the command with a Bulk-Only phase error
};

class Target {
 public:
  // Builds the disk and the bridge from the options. False, with a reason, when a firmware or
  // NVRAM file cannot be read.
  bool Configure(const Options& options, std::string* error);

  // Runs one command. `data` holds `dataLength` bytes: the data-out, or zeroed room for data-in.
  // With `faults` false the bridge's faults are skipped (used after a stall has run out).
  Reply Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, sim::Direction direction,
                std::uint8_t* data, std::uint32_t dataLength, bool faults = true);

  // Writes firmware.bin and nvram-XXXX.bin (address in hex) into the state directory, if any.
  bool SaveState() const;

  const sim::Bridge& bridge() const { return bridge_; }
  // The sense data of the last command, when it ended in CHECK CONDITION (else length 0).
  const std::uint8_t* sense() const { return sense_; }
  std::uint8_t senseLength() const { return senseLength_; }

 private:
  Reply ExecuteDisk(const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t* data,
                    std::uint32_t dataLength);
  Reply Fail(std::uint8_t key, std::uint8_t asc);
  void DropSpentFault(sim::Command command, const std::uint8_t* cdb);
  void Trace(const std::uint8_t* cdb, std::uint8_t cdbLength, sim::Direction direction,
             std::uint32_t dataLength, const Reply& reply) const;

  Options options_;
  sim::Bridge bridge_;
  std::vector<std::uint8_t> disk_;
  std::uint8_t sense_[18] = {};
  std::uint8_t senseLength_ = 0;
  std::set<int> onceCommands_;          // command faults to drop after their first hit
  std::set<std::uint32_t> onceBlocks_;  // block faults to drop after their first hit
};

}  // namespace emu
