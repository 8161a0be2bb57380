// The files jmreader-sim writes at the end of a run: the NVRAM store, and the state file, which
// keeps the bridge's firmware and NVRAM store between runs, so that a dump after an update shows
// the sector the update wrote. The state file is a text file:
//
//   jmreader-sim state 1
//   firmware <length in bytes>
//   <the firmware in hex, 32 bytes a line>
//   nvram <address in hex> <the 512-byte sector in hex>     (one line per sector)
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "app/jobs.h"
#include "sim/platform_sim.h"
#include "sim/scenario.h"
#include "sim/scenario_files.h"

namespace {

constexpr const char* kHead = "jmreader-sim state 1";
constexpr std::size_t kStateLimit = 1 << 20;  // room for the firmware area and 256 sectors
constexpr std::size_t kBytesPerLine = 32;

// `n` bytes from exactly 2 * n hex digits.
bool FromHex(const std::string& hex, std::size_t n, std::uint8_t* bytes) {
  if (hex.size() != 2 * n) {
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    unsigned long long v = 0;
    if (!ParseNumber("0x" + hex.substr(2 * i, 2), 0xFF, &v)) {
      return false;
    }
    bytes[i] = static_cast<std::uint8_t>(v);
  }
  return true;
}

void PutHex(std::FILE* f, const std::uint8_t* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::fprintf(f, "%02X", bytes[i]);
  }
}

}  // namespace

std::string LoadState(const std::string& path, sim::Bridge* bridge) {
  if (!FileExists(path)) {
    return "";  // the first run: written at its end
  }
  std::string text;
  std::string wrong = ReadRegularFile(path, kStateLimit, &text);
  if (!wrong.empty()) {
    return wrong;
  }
  std::size_t at = 0;
  int number = 0;
  std::string line;
  auto next = [&] {
    ++number;
    bool more = at < text.size();
    line = more ? NextLine(text, &at) : "";
    return more;
  };
  auto bad = [&](const std::string& what) {
    return Shown(path) + ", line " + std::to_string(number) + ": " + what;
  };
  if (!next() || line != kHead) {
    return bad(std::string("not a state file of this simulator (\"") + kHead + "\")");
  }
  unsigned long long length = 0;
  if (!next() || line.compare(0, 9, "firmware ") != 0 ||
      !ParseNumber(line.substr(9), kFirmwareAreaSize, &length)) {
    return bad("expected firmware <length in bytes, at most " + std::to_string(kFirmwareAreaSize) +
               ">");
  }
  std::vector<std::uint8_t> firmware(length);
  for (std::size_t done = 0; done < length; done += kBytesPerLine) {
    std::size_t n = std::min<std::size_t>(kBytesPerLine, length - done);
    if (!next() || !FromHex(line, n, firmware.data() + done)) {
      return bad("expected " + std::to_string(n) + " bytes of firmware in hex");
    }
  }
  std::map<std::uint32_t, sim::NvramSector> nvram;
  while (next()) {
    unsigned long long address = 0;
    sim::NvramSector sector{};
    std::size_t blank = line.find(' ', 6);
    if (line.compare(0, 6, "nvram ") != 0 || blank == std::string::npos ||
        !ParseNumber("0x" + line.substr(6, blank - 6), 0xFFFF, &address) ||
        !FromHex(line.substr(blank + 1), sector.size(), sector.data())) {
      return bad("expected nvram <address in hex> <512 bytes in hex>");
    }
    if (!nvram.emplace(static_cast<std::uint32_t>(address), sector).second) {
      return bad("a second sector at the same address");
    }
  }
  bridge->firmware = std::move(firmware);
  bridge->nvram = std::move(nvram);
  return "";
}

bool SaveState(const std::string& path, const sim::Bridge& bridge) {
  // Written beside it and renamed over it, so that a run that stops half way keeps the old one.
  std::string temporary = path + ".new";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  std::fprintf(f, "%s\nfirmware %zu\n", kHead, bridge.firmware.size());
  for (std::size_t done = 0; done < bridge.firmware.size(); done += kBytesPerLine) {
    PutHex(f, bridge.firmware.data() + done,
           std::min<std::size_t>(kBytesPerLine, bridge.firmware.size() - done));
    std::fputc('\n', f);
  }
  for (const auto& [address, sector] : bridge.nvram) {
    std::fprintf(f, "nvram %04X ", static_cast<unsigned>(address));
    PutHex(f, sector.data(), sector.size());
    std::fputc('\n', f);
  }
  bool written = std::ferror(f) == 0;
  written = std::fclose(f) == 0 && written;
  std::error_code failed;
  if (written) {
    std::filesystem::rename(temporary, path, failed);
  }
  if (!written || failed) {
    std::remove(temporary.c_str());
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
