#include "sim/scenario.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <set>
#include <vector>

#include "app/jobs.h"
#include "bridge/drives.h"
#include "sim/platform_sim.h"
#include "sim/scenario_files.h"

namespace {

constexpr unsigned long long kMax32 = 0xFFFFFFFFull;
constexpr std::size_t kScenarioLimit = 1 << 20;

// The built-in machine. A scenario keeps each part of it that it does not set itself: the drives
// (unless it has a drive line), the identity, the descriptor, the firmware and the NVRAM store.
constexpr const char* kDefaults[] = {
    "drive 0 sata \"ATA     \" \"SIM SATA DISK   \"",
    "drive 1 usb \"JMicron \" \"Generic         \" bridge",
    "identity 4A 4D 53 00 00 00 00 00 53 49 4D 00 01 02 A0 FF",
    "descriptor 00 01 00 00",
    "firmware pattern 65536",
    "nvram 268 pattern 1",
};

// One scenario being read: where its files are, and what its lines have set so far.
struct Loader {
  std::string baseDir;
  ScenarioOutputs* out;
  std::set<std::string> given;  // the keywords met
  std::string why;  // what is wrong with the line, when more than that it misses its form

  // A number meant as one (it starts with a digit or a sign) that is out of its range says so;
  // any other word is just not a number, perhaps another form of the line.
  bool Number(const std::string& word, unsigned long long max, const char* what,
              unsigned long long* value) {
    if (ParseNumber(word, max, value)) {
      return true;
    }
    if (!word.empty() &&
        (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-' || word[0] == '+')) {
      // Appended piece by piece: "\"" + a temporary string trips a false -Wrestrict in GCC 12.
      why.assign(1, '"').append(Shown(word, 24)).append("\" is no ").append(what);
      why.append(" (decimal or 0x hex, 0 to ").append(std::to_string(max)).append(")");
    }
    return false;
  }

  // A file that the scenario names, relative to its folder.
  std::string Relative(const std::string& path) const {
    return path.empty() || path[0] == '/' || baseDir.empty() ? path : baseDir + "/" + path;
  }

  // Bytes given as hex words from `first` on, as "pattern [<seed>]" (`size` bytes), or as
  // "file <path>" (a regular file of at most `limit` bytes).
  bool Bytes(const std::vector<std::string>& w, std::size_t first, std::size_t size,
             std::size_t limit, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    if (first + 2 == w.size() && w[first] == "file") {
      std::string text;
      why = ReadRegularFile(Relative(w[first + 1]), limit, &text);
      bytes->assign(text.begin(), text.end());
      return why.empty();
    }
    if (first < w.size() && w[first] == "pattern" && first + 2 >= w.size()) {
      unsigned long long seed = 0;
      if (first + 1 < w.size() && !Number(w[first + 1], kMax32, "seed", &seed)) {
        return false;
      }
      for (std::size_t i = 0; i < size; ++i) {
        bytes->push_back(static_cast<std::uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF));
      }
      return true;
    }
    for (std::size_t i = first; i < w.size() && bytes->size() <= limit; ++i) {
      std::uint8_t b = 0;
      if (!HexByte(w[i], &b)) {
        return false;
      }
      bytes->push_back(b);
    }
    return bytes->size() <= limit;
  }

  // Exactly `array.size()` bytes, as Bytes gives them.
  template <std::size_t N>
  bool Exact(const std::vector<std::string>& w, std::array<std::uint8_t, N>* array) {
    std::vector<std::uint8_t> bytes;
    if (!Bytes(w, 1, N, N, &bytes)) {
      return false;
    }
    if (bytes.size() != N) {
      if (w.size() == 3 && w[1] == "file") {
        why = Shown(w[2]) + " holds " + std::to_string(bytes.size()) + " bytes, not " +
              std::to_string(N);
      }
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), array->begin());
    return true;
  }

  bool Fault(const std::vector<std::string>& w, std::size_t at, sim::Fault* fault);
  bool Drive(const std::vector<std::string>& w);
  bool Line(const std::vector<std::string>& w);
};

bool CommandIndex(const std::string& name, int* index) {
  static const char* const kNames[] = {"identify", "descriptor", "block", "read-nvram",
                                       "write-nvram"};
  for (int i = 0; i < sim::kCommandCount; ++i) {
    if (name == kNames[i]) {
      *index = i;
      return true;
    }
  }
  return false;
}

bool Loader::Fault(const std::vector<std::string>& w, std::size_t at, sim::Fault* fault) {
  if (at >= w.size()) {
    return false;
  }
  unsigned long long v = 0;
  const std::string& kind = w[at];
  std::size_t words = w.size() - at;
  if (kind == "ioctl" && words == 2 && Number(w[at + 1], kMax32, "error code", &v)) {
    fault->kind = sim::FaultKind::kPlatformError;
    fault->errorCode = static_cast<std::uint32_t>(v);
    return true;
  }
  if (kind == "check" && words == 4) {
    fault->kind = sim::FaultKind::kCheckCondition;
    return HexByte(w[at + 1], &fault->senseKey) && HexByte(w[at + 2], &fault->asc) &&
           HexByte(w[at + 3], &fault->ascq);
  }
  if (kind == "short" && words == 2 && Number(w[at + 1], 0xFFFF, "byte count", &v)) {
    fault->kind = sim::FaultKind::kShortTransfer;
    fault->delivered = static_cast<std::uint32_t>(v);
    return true;
  }
  if ((kind == "zero" || kind == "gone") && words == 1) {
    fault->kind = kind == "zero" ? sim::FaultKind::kZeroReply : sim::FaultKind::kGone;
    return true;
  }
  if (kind == "busy" && words == 2 && Number(w[at + 1], 600000, "time in ms", &v)) {
    fault->kind = sim::FaultKind::kBusy;
    fault->stallMs = static_cast<std::uint32_t>(v);
    return true;
  }
  if (kind == "stall" && words <= 2) {
    fault->kind = sim::FaultKind::kStall;
    fault->stallMs = 2000;
    if (words == 2) {
      if (!Number(w[at + 1], 600000, "time in ms", &v)) {
        return false;
      }
      fault->stallMs = static_cast<std::uint32_t>(v);
    }
    return true;
  }
  return false;
}

bool Loader::Drive(const std::vector<std::string>& w) {
  unsigned long long v = 0;
  if (w.size() < 5 || !Number(w[1], kListedDrives - 1, "drive number", &v)) {
    return false;
  }
  SimDrive d;
  d.number = static_cast<std::int32_t>(v);
  struct Name {
    const char* name;
    std::uint8_t bus;
  };
  static const Name kBuses[] = {{"scsi", 1}, {"ata", 3}, {"usb", 7}, {"sata", 11}, {"nvme", 17}};
  bool named = false;
  for (const Name& n : kBuses) {
    named = named || w[2] == n.name;
    d.bus = w[2] == n.name ? n.bus : d.bus;
  }
  if (!named && !Number(w[2], 255, "bus number", &v)) {
    return false;
  }
  d.bus = named ? d.bus : static_cast<std::uint8_t>(v);
  d.vendor = w[3];
  d.product = w[4];
  for (std::size_t i = 5; i < w.size(); ++i) {
    if (w[i] == "bridge") {
      d.bridge = true;
    } else if (w[i] == "open-fails") {
      d.workingOpenFails = true;
    } else if (w[i] == "query-fails") {
      d.queryFails = true;
    } else {
      return false;
    }
  }
  for (const SimDrive& other : Sim().drives) {
    if (other.number == d.number) {
      why = "drive " + std::to_string(d.number) + " is set up twice";
      return false;
    }
  }
  Sim().drives.push_back(d);
  return true;
}

bool Loader::Line(const std::vector<std::string>& w) {
  SimMachine& m = Sim();
  sim::Bridge& b = m.bridge;
  const std::string& key = w[0];
  unsigned long long v = 0;
  std::vector<std::uint8_t> bytes;
  given.insert(key);

  if (key == "drive") {
    return Drive(w);
  }
  if (key == "identity") {
    return Exact(w, &b.identity);
  }
  if (key == "descriptor") {
    return Exact(w, &b.descriptor);
  }
  if (key == "firmware" && w.size() >= 3 && w.size() <= 4 && w[1] == "pattern" &&
      Number(w[2], kFirmwareAreaSize, "firmware length", &v)) {
    unsigned long long seed = 0;
    if (w.size() == 4 && !Number(w[3], kMax32, "seed", &seed)) {
      return false;
    }
    b.SetFirmwarePattern(static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(seed));
    return true;
  }
  if (key == "firmware" && w.size() == 3 && w[1] == "file") {
    return Bytes(w, 1, 0, kFirmwareAreaSize, &b.firmware);
  }
  if (key == "nvram" && w.size() >= 3 && Number(w[1], 0xFFFF, "NVRAM address", &v)) {
    if (!Bytes(w, 2, sim::kNvramSectorSize, sim::kNvramSectorSize, &bytes)) {
      return false;
    }
    if (b.nvram.size() >= kMaxNvramSectors && b.nvram.count(static_cast<std::uint32_t>(v)) == 0) {
      why = "at most " + std::to_string(kMaxNvramSectors) + " NVRAM sectors";
      return false;
    }
    sim::NvramSector& sector = b.nvram[static_cast<std::uint32_t>(v)];
    sector.fill(0);
    std::copy(bytes.begin(), bytes.end(), sector.begin());
    return true;
  }
  if (key == "fault" && w.size() >= 3) {
    if (w[1] == "block" && w.size() >= 4 && Number(w[2], kMax32, "block", &v)) {
      return Fault(w, 3, &b.blockFaults[static_cast<std::uint32_t>(v)]);
    }
    // Only a write leaves the bridge busy afterwards.
    int index = 0;
    return why.empty() && CommandIndex(w[1], &index) && Fault(w, 2, &b.commandFaults[index]) &&
           (w[2] != "busy" || w[1] == "write-nvram");
  }
  if (key == "os" && (w.size() == 4 || w.size() == 5)) {
    unsigned long long major = 0, minor = 0, build = 0;
    if (!Number(w[1], kMax32, "version", &major) || !Number(w[2], kMax32, "version", &minor) ||
        !Number(w[3], kMax32, "build", &build)) {
      return false;
    }
    m.os = {static_cast<std::uint32_t>(major),
            static_cast<std::uint32_t>(minor),
            static_cast<std::uint32_t>(build),
            {}};
    if (w.size() > 4) {
      std::snprintf(m.os.text, sizeof m.os.text, "%s", w[4].c_str());
    }
    return true;
  }
  if (key == "keys") {
    m.console = true;
    for (std::size_t i = 1; i < w.size(); ++i) {
      if (!Number(w[i], 255, "key code", &v)) {
        return false;
      }
      m.keys.push_back(static_cast<int>(v));
    }
    return true;
  }
  if (key == "own-console" && w.size() == 1) {
    m.consoleOwnedByRun = true;
    return true;
  }
  // The pass-through header's layout is the Windows backend's own now; older scenarios still name
  // one.
  if (key == "layout" && w.size() == 2 && (w[1] == "32" || w[1] == "64")) {
    return true;
  }
  if (key == "replay" && w.size() == 2) {
    std::string text;
    why = ReadRegularFile(Relative(w[1]), kScenarioLimit, &text);
    const std::string wrong = why.empty() ? ReadTrace(text, &m.replay) : "";
    why = wrong.empty() ? why : Shown(w[1], 24) + ": " + wrong;
    m.replayName = w[1];
    return why.empty();
  }
  std::string* file = key == "log"         ? &out->requestLog
                      : key == "nvram-out" ? &out->nvramOut
                      : key == "state"     ? &out->state
                                           : nullptr;
  if (file != nullptr && w.size() == 2) {
    *file = w[1];
    return true;
  }
  return false;
}

}  // namespace

void LoadDefaultScenario() {
  std::string error;
  ScenarioOutputs outputs;
  LoadScenarioText("", "", &outputs, &error);
}

bool LoadScenarioText(const std::string& text, const std::string& baseDir, ScenarioOutputs* out,
                      std::string* error) {
  SimReset();
  *out = {};
  Loader loader{baseDir, out, {}, {}};
  std::vector<std::string> words;
  // Block faults are checked against the firmware length once every line is in, and the state
  // once the scenario has set up the first run.
  struct Later {
    int at;
    std::string line;
    unsigned long long unit;
  };
  std::vector<Later> blockFaults;
  Later state{};
  auto fail = [&](int at, const std::string& bad, const std::string& what) {
    *error = "line " + std::to_string(at) + " \"" + Shown(bad) + "\": " + what;
    return false;
  };
  int number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::string line = NextLine(text, &at);
    ++number;
    if (!SplitWords(line, &words)) {
      return fail(number, line, "unclosed quote");
    }
    if (words.empty()) {
      continue;
    }
    loader.why.clear();
    if (!loader.Line(words)) {
      return fail(number, line, loader.why.empty() ? WhatIsWrong(words) : loader.why);
    }
    // "fault block <unit> ..." hits one block; "fault block ioctl 5" hits every block.
    unsigned long long unit = 0;
    if (words[0] == "fault" && words[1] == "block" && ParseNumber(words[2], kMax32, &unit)) {
      blockFaults.push_back({number, line, unit});
    }
    if (words[0] == "state") {
      state = {number, line, 0};
    }
  }
  for (const char* line : kDefaults) {
    SplitWords(line, &words);
    if (loader.given.count(words[0]) == 0) {
      loader.Line(words);
      loader.given.erase(words[0]);  // the second default drive
    }
  }
  for (const Later& fault : blockFaults) {
    std::string wrong = UnreadBlock(fault.unit, Sim().bridge);
    if (!wrong.empty()) {
      return fail(fault.at, fault.line, wrong);
    }
  }
  std::string wrong = out->state.empty() ? "" : LoadState(out->state, &Sim().bridge);
  return wrong.empty() || fail(state.at, state.line, wrong);
}

bool LoadScenarioFile(const char* path, ScenarioOutputs* out, std::string* error) {
  std::string text;
  *error = ReadRegularFile(path, kScenarioLimit, &text);
  if (!error->empty()) {
    return false;
  }
  std::string base(path);
  std::size_t slash = base.find_last_of("/\\");
  base = slash == std::string::npos ? "" : base.substr(0, slash);
  if (!LoadScenarioText(text, base, out, error)) {
    *error = Shown(path) + ": " + *error;
    return false;
  }
  return true;
}
