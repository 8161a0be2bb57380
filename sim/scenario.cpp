#include "sim/scenario.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/platform_sim.h"

namespace {

// Splits a line into words; "double quotes" keep blanks inside a word.
bool SplitWords(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    if (line[i] == '#') {
      break;
    }
    std::string word;
    if (line[i] == '"') {
      std::size_t end = line.find('"', i + 1);
      if (end == std::string::npos) {
        return false;
      }
      word = line.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
        word += line[i++];
      }
    }
    words->push_back(word);
  }
  return true;
}

bool Number(const std::string& word, unsigned long long* value) {
  if (word.empty()) {
    return false;
  }
  char* end = nullptr;
  *value = std::strtoull(word.c_str(), &end, 0);
  return *end == '\0';
}

bool HexByte(const std::string& word, std::uint8_t* byte) {
  if (word.empty() || word.size() > 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
      !std::isxdigit(static_cast<unsigned char>(word.back()))) {
    return false;
  }
  char* end = nullptr;
  unsigned long v = std::strtoul(word.c_str(), &end, 16);
  *byte = static_cast<std::uint8_t>(v);
  return *end == '\0';
}

// Bytes given as hex words from `first` on, or as "pattern <seed>", or as "file <path>".
bool ReadBytes(const std::vector<std::string>& w, std::size_t first, const std::string& baseDir,
               std::size_t size, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  if (first < w.size() && w[first] == "file" && first + 1 < w.size()) {
    std::string path = w[first + 1];
    if (!path.empty() && path[0] != '/' && !baseDir.empty()) {
      path = baseDir + "/" + path;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
  }
  if (first < w.size() && w[first] == "pattern") {
    unsigned long long seed = 0;
    if (first + 1 < w.size() && !Number(w[first + 1], &seed)) {
      return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
      bytes->push_back(static_cast<std::uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF));
    }
    return true;
  }
  for (std::size_t i = first; i < w.size(); ++i) {
    std::uint8_t b = 0;
    if (!HexByte(w[i], &b)) {
      return false;
    }
    bytes->push_back(b);
  }
  return true;
}

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

bool ParseFault(const std::vector<std::string>& w, std::size_t at, sim::Fault* fault) {
  if (at >= w.size()) {
    return false;
  }
  unsigned long long v = 0;
  const std::string& kind = w[at];
  if (kind == "ioctl" && at + 1 < w.size() && Number(w[at + 1], &v)) {
    fault->kind = sim::FaultKind::kPlatformError;
    fault->errorCode = static_cast<std::uint32_t>(v);
    return true;
  }
  if (kind == "check" && at + 3 < w.size()) {
    fault->kind = sim::FaultKind::kCheckCondition;
    return HexByte(w[at + 1], &fault->senseKey) && HexByte(w[at + 2], &fault->asc) &&
           HexByte(w[at + 3], &fault->ascq);
  }
  if (kind == "short" && at + 1 < w.size() && Number(w[at + 1], &v)) {
    fault->kind = sim::FaultKind::kShortTransfer;
    fault->delivered = static_cast<std::uint32_t>(v);
    return true;
  }
  if (kind == "zero") {
    fault->kind = sim::FaultKind::kZeroReply;
    return true;
  }
  if (kind == "stall") {
    fault->kind = sim::FaultKind::kStall;
    fault->stallMs = 2000;
    if (at + 1 < w.size() && Number(w[at + 1], &v)) {
      fault->stallMs = static_cast<std::uint32_t>(v < 600000 ? v : 600000);
    }
    return true;
  }
  return false;
}

bool ParseBus(const std::string& word, std::uint8_t* bus) {
  struct Name {
    const char* name;
    std::uint8_t bus;
  };
  static const Name kBuses[] = {{"scsi", 1}, {"ata", 3}, {"usb", 7}, {"sata", 11}, {"nvme", 17}};
  for (const Name& n : kBuses) {
    if (word == n.name) {
      *bus = n.bus;
      return true;
    }
  }
  unsigned long long v = 0;
  if (Number(word, &v) && v <= 255) {
    *bus = static_cast<std::uint8_t>(v);
    return true;
  }
  return false;
}

bool ParseLine(const std::vector<std::string>& w, const std::string& baseDir,
               ScenarioOutputs* out) {
  SimMachine& m = Sim();
  sim::Bridge& b = m.bridge;
  const std::string& key = w[0];
  unsigned long long v = 0;
  std::vector<std::uint8_t> bytes;

  if (key == "drive" && w.size() >= 5 && Number(w[1], &v)) {
    SimDrive d;
    d.number = static_cast<std::int32_t>(v);
    if (!ParseBus(w[2], &d.bus)) {
      return false;
    }
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
    m.drives.push_back(d);
    return true;
  }
  if (key == "identity") {
    if (!ReadBytes(w, 1, baseDir, 16, &bytes) || bytes.size() != 16) {
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), b.identity.begin());
    return true;
  }
  if (key == "descriptor") {
    if (!ReadBytes(w, 1, baseDir, 4, &bytes) || bytes.size() != 4) {
      return false;
    }
    std::copy(bytes.begin(), bytes.end(), b.descriptor.begin());
    return true;
  }
  if (key == "firmware" && w.size() >= 3 && w[1] == "pattern" && Number(w[2], &v) &&
      v <= 0xFFFFull * 256 + 0x10000) {
    unsigned long long seed = 0;
    if (w.size() > 3 && !Number(w[3], &seed)) {
      return false;
    }
    b.SetFirmwarePattern(static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(seed));
    return true;
  }
  if (key == "firmware" && w.size() == 3 && w[1] == "file") {
    return ReadBytes(w, 1, baseDir, 0, &b.firmware);
  }
  if (key == "nvram" && w.size() >= 3 && Number(w[1], &v) && v <= 0xFFFF) {
    if (!ReadBytes(w, 2, baseDir, sim::kNvramSectorSize, &bytes) ||
        bytes.size() > sim::kNvramSectorSize) {
      return false;
    }
    sim::NvramSector& sector = b.nvram[static_cast<std::uint32_t>(v)];
    sector.fill(0);
    std::copy(bytes.begin(), bytes.end(), sector.begin());
    return true;
  }
  if (key == "fault" && w.size() >= 3) {
    if (w[1] == "block" && w.size() >= 4 && Number(w[2], &v)) {
      return ParseFault(w, 3, &b.blockFaults[static_cast<std::uint32_t>(v)]);
    }
    int index = 0;
    return CommandIndex(w[1], &index) && ParseFault(w, 2, &b.commandFaults[index]);
  }
  if (key == "os" && w.size() >= 4) {
    unsigned long long major = 0, minor = 0, build = 0;
    if (!Number(w[1], &major) || !Number(w[2], &minor) || !Number(w[3], &build)) {
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
      if (!Number(w[i], &v) || v > 255) {
        return false;
      }
      m.keys.push_back(static_cast<int>(v));
    }
    return true;
  }
  // The pass-through header's layout is the Windows backend's own now; older scenarios still name
  // one.
  if (key == "layout" && w.size() == 2 && (w[1] == "32" || w[1] == "64")) {
    return true;
  }
  if (key == "log" && w.size() == 2) {
    out->requestLog = w[1];
    return true;
  }
  if (key == "nvram-out" && w.size() == 2) {
    out->nvramOut = w[1];
    return true;
  }
  return false;
}

}  // namespace

void LoadDefaultScenario() {
  SimReset();
  std::string error;
  ScenarioOutputs outputs;
  LoadScenarioText(
      "drive 0 sata \"ATA     \" \"SIM SATA DISK   \"\n"
      "drive 1 usb \"JMicron \" \"Generic         \" bridge\n"
      "identity 4A 4D 53 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
      "descriptor 00 01 00 00\n"
      "firmware pattern 65536\n"
      "nvram 268 pattern 1\n",
      "", &outputs, &error);
}

bool LoadScenarioText(const std::string& text, const std::string& baseDir, ScenarioOutputs* out,
                      std::string* error) {
  SimReset();
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  std::vector<std::string> words;
  // Block faults are checked against the firmware length once every line is in.
  struct BlockFault {
    int at;
    std::string line;
    unsigned long long unit;
  };
  std::vector<BlockFault> blockFaults;
  auto fail = [&](int at, const std::string& bad, const std::string& what) {
    std::string shown = bad.substr(0, bad.find_last_not_of("\r") + 1);
    *error = "line " + std::to_string(at) + " \"" + shown + "\": " + what;
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!SplitWords(line, &words)) {
      return fail(number, line, "unclosed quote");
    }
    if (words.empty()) {
      continue;
    }
    if (!ParseLine(words, baseDir, out)) {
      return fail(number, line, WhatIsWrong(words, baseDir));
    }
    // "fault block <unit> ..." hits one block; "fault block ioctl 5" hits every block.
    unsigned long long unit = 0;
    if (words[0] == "fault" && words[1] == "block" && Number(words[2], &unit)) {
      blockFaults.push_back({number, line, unit});
    }
  }
  for (const BlockFault& fault : blockFaults) {
    std::string wrong = UnreadBlock(fault.unit, Sim().bridge);
    if (!wrong.empty()) {
      return fail(fault.at, fault.line, wrong);
    }
  }
  return true;
}

bool LoadScenarioFile(const char* path, ScenarioOutputs* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot read ") + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string base(path);
  std::size_t slash = base.find_last_of("/\\");
  base = slash == std::string::npos ? "" : base.substr(0, slash);
  if (!LoadScenarioText(text.str(), base, out, error)) {
    *error = std::string(path) + ": " + *error;
    return false;
  }
  return true;
}

bool SaveNvramStore(const char* path) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    return false;
  }
  for (const auto& [address, sector] : Sim().bridge.nvram) {
    std::fprintf(f, "%04X ", address);
    for (std::uint8_t byte : sector) {
      std::fprintf(f, "%02X", byte);
    }
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0;
}
