// The USB side of the emulator: a mass-storage interface (SCSI transparent, Bulk-Only Transport)
// served from user space through a mounted FunctionFS instance.
#pragma once

#include "tools/bridge-emu/options.h"
#include "tools/bridge-emu/target.h"

namespace emu {

// Writes the descriptors, opens the endpoints and serves commands to `target` until the process
// is ended. Returns an exit status when the FunctionFS instance cannot be set up.
int RunDevice(const Options& options, Target& target);

}  // namespace emu
