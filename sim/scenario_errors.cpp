// What is wrong with a scenario line that the loader cannot use.
#include "app/jobs.h"
#include "sim/scenario.h"
#include "sim/scenario_files.h"

namespace {

// What each keyword takes, told with a line that does not fit it.
struct Syntax {
  const char* key;
  const char* form;
};
constexpr Syntax kSyntax[] = {
    {"drive",
     "drive <number> <bus: usb|sata|ata|scsi|nvme|number> \"<vendor>\" \"<product>\" [bridge] "
     "[open-fails] [query-fails]"},
    {"identity", "identity <16 hex bytes> | pattern [<seed>] | file <path>"},
    {"descriptor", "descriptor <4 hex bytes> | pattern [<seed>] | file <path>"},
    {"firmware", "firmware pattern <bytes, at most 131072> [<seed>] | file <path>"},
    {"nvram",
     "nvram <address, at most 0xFFFF> <up to 512 hex bytes> | pattern [<seed>] | file <path>"},
    {"fault",
     "fault identify|descriptor|block <unit>|read-nvram|write-nvram ioctl <code> | check <key> "
     "<asc> <ascq> | short <bytes> | zero | stall [<ms>] | gone; fault write-nvram busy <ms>"},
    {"os", "os <major> <minor> <build> [\"<text>\"]"},
    {"keys", "keys <key code 0-255>..."},
    {"own-console", "own-console"},
    {"layout", "layout 32|64"},
    {"log", "log <file>"},
    {"nvram-out", "nvram-out <file>"},
    {"state", "state <file>"},
    {"replay", "replay <file>"},
};

}  // namespace

std::string WhatIsWrong(const std::vector<std::string>& w) {
  for (const Syntax& syntax : kSyntax) {
    if (w[0] == syntax.key) {
      return std::string("expected ") + syntax.form;
    }
  }
  std::string known;
  for (const Syntax& syntax : kSyntax) {
    known += std::string(known.empty() ? "" : ", ") + syntax.key;
  }
  return "unknown keyword \"" + Shown(w[0], 24) + "\" (known: " + known + ")";
}

// A fault on a firmware block that no dump reads would never show: the dump reads blocks of
// kUnitsPerBlock units from unit 0, up to the firmware length (at most kMaxUnits).
std::string UnreadBlock(unsigned long long unit, const sim::Bridge& bridge) {
  std::uint32_t units = bridge.descriptor[1] * 256u + bridge.descriptor[2];
  units = units < kMaxUnits ? units : kMaxUnits;
  if (unit % kUnitsPerBlock == 0 && unit < units) {
    return "";
  }
  return "no dump reads block " + std::to_string(unit) + ": blocks start at every " +
         std::to_string(kUnitsPerBlock) + "th unit below the firmware length (" +
         std::to_string(units) + " units as the descriptor gives it)";
}
