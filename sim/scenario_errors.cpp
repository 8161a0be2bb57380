// What is wrong with a scenario line that the loader cannot use.
#include <fstream>

#include "app/jobs.h"
#include "sim/scenario.h"

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
    {"firmware", "firmware pattern <bytes> [<seed>] | file <path>"},
    {"nvram",
     "nvram <address, at most 0xFFFF> <up to 512 hex bytes> | pattern [<seed>] | file <path>"},
    {"fault",
     "fault identify|descriptor|block <unit>|read-nvram|write-nvram ioctl <code> | check <key> "
     "<asc> <ascq> | short <bytes> | zero | stall"},
    {"os", "os <major> <minor> <build> [\"<text>\"]"},
    {"keys", "keys <key code 0-255>..."},
    {"layout", "layout 32|64"},
    {"log", "log <file>"},
    {"nvram-out", "nvram-out <file>"},
};

// What is wrong with a line that ParseLine refused.
}  // namespace

std::string WhatIsWrong(const std::vector<std::string>& w, const std::string& baseDir) {
  for (const Syntax& syntax : kSyntax) {
    if (w[0] != syntax.key) {
      continue;
    }
    std::size_t file = 0;
    while (file < w.size() && w[file] != "file") {
      ++file;
    }
    if (file + 1 < w.size()) {
      std::string path = w[file + 1];
      if (!path.empty() && path[0] != '/' && !baseDir.empty()) {
        path = baseDir + "/" + path;
      }
      if (!std::ifstream(path, std::ios::binary)) {
        return "cannot read " + path;
      }
    }
    return std::string("expected ") + syntax.form;
  }
  std::string known;
  for (const Syntax& syntax : kSyntax) {
    known += std::string(known.empty() ? "" : ", ") + syntax.key;
  }
  return "unknown keyword \"" + w[0] + "\" (known: " + known + ")";
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
