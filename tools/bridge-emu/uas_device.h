// The USB side of the emulator as a USB Attached SCSI device (high speed, no streams), served
// from user space through the legacy gadgetfs, which takes the Pipe Usage descriptors that UAS
// needs and FunctionFS refuses.
#pragma once

#include "tools/bridge-emu/options.h"
#include "tools/bridge-emu/target.h"

namespace emu {

// Data phase of a command as a UAS device must derive it: no length or direction comes with the
// command. `length` is the most the host can want (data-in) or the exact data-out length.
struct DataPhase {
  std::uint8_t cdbLength = 6;
  sim::Direction direction = sim::Direction::kNone;
  std::uint32_t length = 0;
};
DataPhase DataPhaseOf(const std::uint8_t* cdb);

// Writes the configuration to gadgetfs's dummy_udc file and serves commands to `target` until
// the process is ended. Returns an exit status when gadgetfs cannot be set up.
int RunUasDevice(const Options& options, Target& target);

}  // namespace emu
