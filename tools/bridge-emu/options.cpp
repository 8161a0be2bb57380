#include "tools/bridge-emu/options.h"

#include <cstdlib>

namespace emu {

const char kUsage[] =
    "usage: bridge-emu [options] FFS_DIR\n"
    "       bridge-emu --uas [options] GADGETFS_DIR\n"
    "A USB bridge on FunctionFS (Bulk-Only Transport), or with --uas on gadgetfs (USB Attached\n"
    "SCSI), that answers the standard disk commands and the bridge's firmware and NVRAM\n"
    "commands.\n"
    "  --vendor TEXT        INQUIRY vendor (8 characters, blank-padded)   [JMicron ]\n"
    "  --product TEXT       INQUIRY product (16 characters)               [Generic]\n"
    "  --revision TEXT      INQUIRY revision (4 characters)               [0508]\n"
    "  --identity HEX       the 16-byte identify reply, 32 hex digits\n"
    "  --name XYZ           identify bytes 8..10                          [ABC]\n"
    "  --version A.B.C.D    identify bytes 12..15, hex                    [01.02.A0.FF]\n"
    "  --units N            firmware length in 256-byte units (descriptor) [256]\n"
    "  --fw-bytes N         size of buffer 1                              [units*256]\n"
    "  --fw-seed N          seed of the firmware pattern                  [1]\n"
    "  --fw-file FILE       buffer 1 from FILE instead of the pattern\n"
    "  --nvram ADDR[=FILE]  an NVRAM sector at ADDR, from FILE or a pattern (repeatable)\n"
    "                       [one patterned sector at units+12]\n"
    "  --fault CMD:KIND     CMD: identify descriptor block block@N nvram-read nvram-write\n"
    "                       KIND: check[=KEY/ASC/ASCQ] (hex, default 5/24/00), short=BYTES,\n"
    "                       zero, stall=MS, delay=MS, error (BOT phase error; UAS: a\n"
    "                       RESPONSE IU); nvram-write also busy=MS (answered at once,\n"
    "                       the next bridge command held MS);\n"
    "                       a trailing :once makes it hit the first matching command only\n"
    "                       (repeatable)\n"
    "  --disk-mib N         size of the RAM disk behind the bridge        [8]\n"
    "  --state DIR          write firmware.bin and nvram-XXXX.bin there, again after each\n"
    "                       NVRAM write\n"
    "  --trace FILE         append one line per bridge command received\n"
    "  --ready FILE         create FILE once the endpoints are open\n"
    "  --uas                serve USB Attached SCSI through gadgetfs (its dummy_udc file)\n"
    "  -v, --verbose        log every command to standard error\n"
    "Numbers take 0x for hex.\n";

namespace {

// Parses a number of at most `limit` into `value`, which it leaves alone when the text is none.
template <typename Field>
bool ParseNumber(const std::string& text, std::uint64_t limit, Field* value) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || text[0] == '-' || v > limit) {
    return false;
  }
  *value = static_cast<Field>(v);
  return true;
}

bool ParseHexByte(const std::string& text, std::uint8_t* value) {
  return !text.empty() && text.size() <= 2 && ParseNumber("0x" + text, 0xFF, value);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) {
      return parts;
    }
    start = at + 1;
  }
}

// INQUIRY text fields are fixed-width and blank-padded.
std::string Pad(const std::string& text, std::size_t width) {
  std::string s = text.substr(0, width);
  s.resize(width, ' ');
  return s;
}

}  // namespace

bool ParseFault(const std::string& text, FaultRule* rule, std::string* error) {
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    *error = "fault needs CMD:KIND: " + text;
    return false;
  }
  std::string command = text.substr(0, colon);
  std::string kind = text.substr(colon + 1);
  std::string argument;
  bool once = false;
  if (kind.size() > 5 && kind.compare(kind.size() - 5, 5, ":once") == 0) {
    once = true;
    kind.resize(kind.size() - 5);
  }
  if (std::size_t eq = kind.find('='); eq != std::string::npos) {
    argument = kind.substr(eq + 1);
    kind = kind.substr(0, eq);
  }

  FaultRule s;
  s.once = once;
  if (command == "identify") {
    s.command = sim::Command::kIdentify;
  } else if (command == "descriptor") {
    s.command = sim::Command::kDescriptor;
  } else if (command == "block") {
    s.command = sim::Command::kFirmwareBlock;
  } else if (command.rfind("block@", 0) == 0) {
    if (!ParseNumber(command.substr(6), 0xFFFF, &s.block)) {
      *error = "bad block number: " + command;
      return false;
    }
    s.command = sim::Command::kFirmwareBlock;
    s.perBlock = true;
  } else if (command == "nvram-read") {
    s.command = sim::Command::kReadNvram;
  } else if (command == "nvram-write") {
    s.command = sim::Command::kWriteNvram;
  } else {
    *error = "unknown command in fault: " + command;
    return false;
  }

  if (kind == "check") {
    s.fault.kind = sim::FaultKind::kCheckCondition;
    s.fault.senseKey = 0x05;
    s.fault.asc = 0x24;
    s.fault.ascq = 0x00;
    if (!argument.empty()) {
      std::vector<std::string> parts = Split(argument, '/');
      if (parts.size() != 3 || !ParseHexByte(parts[0], &s.fault.senseKey) ||
          !ParseHexByte(parts[1], &s.fault.asc) || !ParseHexByte(parts[2], &s.fault.ascq) ||
          s.fault.senseKey > 0x0F) {
        *error = "check wants KEY/ASC/ASCQ in hex: " + argument;
        return false;
      }
    }
  } else if (kind == "short" && ParseNumber(argument, 0x10000, &s.fault.delivered)) {
    s.fault.kind = sim::FaultKind::kShortTransfer;
  } else if (kind == "zero" && argument.empty()) {
    s.fault.kind = sim::FaultKind::kZeroReply;
  } else if ((kind == "stall" || kind == "delay") &&
             ParseNumber(argument, 600000, &s.fault.stallMs)) {
    // One hold, two intents: a stall outlasts the host's time-out, a delay ends within it and
    // the command then runs (a slow flash write).
    s.fault.kind = sim::FaultKind::kStall;
  } else if (kind == "busy" && s.command == sim::Command::kWriteNvram &&
             ParseNumber(argument, 600000, &s.fault.stallMs)) {
    // Still programming the flash: the write is answered, the command after it waits.
    s.fault.kind = sim::FaultKind::kBusy;
  } else if (kind == "error" && argument.empty()) {
    s.fault.kind = sim::FaultKind::kPlatformError;
  } else {
    *error = "bad fault kind: " + text.substr(colon + 1);
    return false;
  }
  *rule = s;
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  Options o;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (arg == "--uas") {
      o.uas = true;
      continue;
    }
    if (arg.empty() || arg[0] != '-') {
      if (!o.ffsDir.empty()) {
        *error = "more than one FunctionFS directory: " + arg;
        return false;
      }
      o.ffsDir = arg;
      continue;
    }
    if (i + 1 >= argc) {
      *error = "missing value for " + arg;
      return false;
    }
    std::string value = argv[++i];
    bool ok = true;
    if (arg == "--vendor") {
      o.vendor = Pad(value, 8);
    } else if (arg == "--product") {
      o.product = Pad(value, 16);
    } else if (arg == "--revision") {
      o.revision = Pad(value, 4);
    } else if (arg == "--identity") {
      ok = value.size() == 32;
      for (std::size_t b = 0; ok && b < 16; ++b) {
        ok = ParseHexByte(value.substr(b * 2, 2), &o.identity[b]);
      }
    } else if (arg == "--name") {
      ok = value.size() == 3;
      for (std::size_t b = 0; ok && b < 3; ++b) {
        o.identity[8 + b] = static_cast<std::uint8_t>(value[b]);
      }
    } else if (arg == "--version") {
      std::vector<std::string> parts = Split(value, '.');
      ok = parts.size() == 4;
      for (std::size_t b = 0; ok && b < 4; ++b) {
        ok = ParseHexByte(parts[b], &o.identity[12 + b]);
      }
    } else if (arg == "--units") {
      ok = ParseNumber(value, 0xFFFF, &o.firmwareUnits);
    } else if (arg == "--fw-bytes") {
      ok = ParseNumber(value, 0x1000000, &o.firmwareBytes);
    } else if (arg == "--fw-seed") {
      ok = ParseNumber(value, 0xFFFFFFFF, &o.firmwareSeed);
    } else if (arg == "--fw-file") {
      o.firmwareFile = value;
    } else if (arg == "--nvram") {
      NvramSeed seed;
      std::size_t eq = value.find('=');
      ok = ParseNumber(value.substr(0, eq), 0xFFFF, &seed.address);
      if (eq != std::string::npos) {
        seed.file = value.substr(eq + 1);
        ok = ok && !seed.file.empty();
      }
      o.nvram.push_back(seed);
    } else if (arg == "--fault") {
      FaultRule rule;
      if (!ParseFault(value, &rule, error)) {
        return false;
      }
      o.faults.push_back(rule);
    } else if (arg == "--disk-mib") {
      ok = ParseNumber(value, 1024, &o.diskMiB) && o.diskMiB > 0;
    } else if (arg == "--state") {
      o.stateDir = value;
    } else if (arg == "--trace") {
      o.traceFile = value;
    } else if (arg == "--ready") {
      o.readyFile = value;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
    if (!ok) {
      *error = "bad value for " + arg + ": " + value;
      return false;
    }
  }
  if (o.ffsDir.empty()) {
    *error = "missing FunctionFS directory";
    return false;
  }
  *options = o;
  return true;
}

}  // namespace emu
