// The emulator's command line: the bridge's identity, its firmware and NVRAM contents, the faults
// it injects, and where it reports its state.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_bridge.h"

namespace emu {

struct NvramSeed {
  std::uint32_t address = 0;
  std::string file;  // empty: a pattern derived from the address
};

struct FaultRule {
  sim::Command command = sim::Command::kUnknown;
  bool perBlock = false;  // firmware reads at one block only
  std::uint32_t block = 0;
  bool once = false;  // the fault hits the first matching command only
  sim::Fault fault;
};

struct Options {
  std::string vendor = "JMicron ";           // INQUIRY vendor, 8 characters
  std::string product = "Generic         ";  // INQUIRY product, 16 characters
  std::string revision = "0508";             // INQUIRY revision, 4 characters
  // The identify reply: "JMEMU", the name "ABC" at 8, the version 01.02.A0.FF at 12.
  std::array<std::uint8_t, 16> identity = {'J', 'M', 'E', 'M', 'U',  0,    0,    0,
                                           'A', 'B', 'C', 0,   0x01, 0x02, 0xA0, 0xFF};
  std::uint32_t firmwareUnits = 0x100;  // firmware length in 256-byte units, as the descriptor says
  std::int64_t firmwareBytes = -1;      // size of buffer 1; -1: firmwareUnits * 256
  std::uint32_t firmwareSeed = 1;
  std::string firmwareFile;      // buffer 1 from a file instead of the pattern
  std::vector<NvramSeed> nvram;  // empty: one patterned sector at firmwareUnits + 12
  std::vector<FaultRule> faults;
  std::uint32_t diskMiB = 8;
  std::string stateDir;   // firmware.bin and nvram-XXXX.bin, rewritten after every NVRAM write
  std::string traceFile;  // one line per bridge command received
  std::string readyFile;  // created once the endpoints are open
  bool verbose = false;
  bool uas = false;    // USB Attached SCSI on gadgetfs instead of Bulk-Only on FunctionFS
  std::string ffsDir;  // the mounted FunctionFS instance, or with `uas` the mounted gadgetfs
};

// Parses argv[1..]. Returns false with a one-line reason in `error`.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);

// Parses one fault, e.g. "nvram-read:check=5/24/00", "identify:stall=5000:once",
// "block@4:short=100", "nvram-write:busy=5000".
bool ParseFault(const std::string& text, FaultRule* rule, std::string* error);

extern const char kUsage[];

}  // namespace emu
