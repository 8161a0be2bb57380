#include "tools/bridge-emu/target.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "base/byteorder.h"

namespace emu {

namespace {

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidField = 0x24;
constexpr std::uint32_t kBlockSize = 512;

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  }
}

// Copies up to `available` bytes of `source` into the data-in room.
std::uint32_t Give(std::uint8_t* data, std::uint32_t dataLength, const std::uint8_t* source,
                   std::uint32_t available) {
  std::uint32_t n = std::min(dataLength, available);
  std::memcpy(data, source, n);
  return n;
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
  // Written aside and renamed, so a reader never sees half a sector.
  std::string temporary = path + ".new";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  out.close();
  return out && std::rename(temporary.c_str(), path.c_str()) == 0;
}

// A sector whose every byte depends on its address, so a sector read from the wrong address
// shows.
sim::NvramSector PatternSector(std::uint32_t address) {
  sim::NvramSector sector{};
  for (std::uint32_t i = 0; i < sector.size(); ++i) {
    sector[i] = static_cast<std::uint8_t>((i * 7) ^ (address * 0x3B) ^ (address >> 8) ^ 0xA5);
  }
  return sector;
}

}  // namespace

bool Target::Configure(const Options& options, std::string* error) {
  options_ = options;
  bridge_ = sim::Bridge();
  bridge_.identity = options.identity;
  // The standard's READ BUFFER descriptor: offset boundary, then the capacity in bytes.
  std::uint32_t capacity = options.firmwareUnits * 256;
  bridge_.descriptor = {0, static_cast<std::uint8_t>(capacity >> 16),
                        static_cast<std::uint8_t>(capacity >> 8),
                        static_cast<std::uint8_t>(capacity)};
  if (!options.firmwareFile.empty()) {
    if (!ReadFile(options.firmwareFile, &bridge_.firmware)) {
      *error = "cannot read " + options.firmwareFile;
      return false;
    }
  } else {
    std::int64_t bytes = options.firmwareBytes >= 0 ? options.firmwareBytes : capacity;
    bridge_.SetFirmwarePattern(static_cast<std::uint32_t>(bytes), options.firmwareSeed);
  }

  std::vector<NvramSeed> seeds = options.nvram;
  if (seeds.empty()) {
    seeds.push_back({options.firmwareUnits + 12, ""});
  }
  for (const NvramSeed& seed : seeds) {
    sim::NvramSector sector = PatternSector(seed.address);
    if (!seed.file.empty()) {
      std::vector<std::uint8_t> bytes;
      if (!ReadFile(seed.file, &bytes)) {
        *error = "cannot read " + seed.file;
        return false;
      }
      sector.fill(0);
      std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), sector.size()),
                  sector.begin());
    }
    bridge_.nvram[seed.address] = sector;
  }

  onceCommands_.clear();
  onceBlocks_.clear();
  for (const FaultRule& rule : options.faults) {
    if (rule.perBlock) {
      bridge_.blockFaults[rule.block] = rule.fault;
      if (rule.once) {
        onceBlocks_.insert(rule.block);
      }
    } else {
      bridge_.commandFaults[static_cast<int>(rule.command)] = rule.fault;
      if (rule.once) {
        onceCommands_.insert(static_cast<int>(rule.command));
      }
    }
  }

  disk_.assign(std::size_t{options.diskMiB} << 20, 0);
  senseLength_ = 0;
  return true;
}

bool Target::SaveState() const {
  if (options_.stateDir.empty()) {
    return true;
  }
  bool ok = WriteFile(options_.stateDir + "/firmware.bin", bridge_.firmware.data(),
                      bridge_.firmware.size());
  for (const auto& [address, sector] : bridge_.nvram) {
    char name[32];
    std::snprintf(name, sizeof name, "/nvram-%04x.bin", address);
    ok = WriteFile(options_.stateDir + name, sector.data(), sector.size()) && ok;
  }
  return ok;
}

Reply Target::Fail(std::uint8_t key, std::uint8_t asc) {
  senseLength_ = sim::FixedSense(sense_, key, asc, 0);
  Reply reply;
  reply.status = kCheckCondition;
  return reply;
}

Reply Target::Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, sim::Direction direction,
                      std::uint8_t* data, std::uint32_t dataLength, bool faults) {
  if (cdbLength == 0) {
    return Fail(kIllegalRequest, kAscInvalidOpcode);
  }
  sim::Command command = sim::Bridge::Classify(cdb, cdbLength);
  if (command == sim::Command::kUnknown) {
    return ExecuteDisk(cdb, cdbLength, data, dataLength);
  }

  sim::Exchange x;
  std::memcpy(x.cdb, cdb, std::min<std::size_t>(cdbLength, sizeof x.cdb));
  x.cdbLength = cdbLength;
  x.direction = direction;
  x.dataLength = dataLength;
  x.data = data;
  if (faults) {
    bridge_.Execute(x);
    DropSpentFault(command, cdb);
  } else {
    bridge_.ExecuteWithoutFaults(x);
  }

  Reply reply;
  reply.status = x.status;
  reply.transferred = x.transferred;
  reply.stallMs = x.stallMs;
  reply.phaseError = x.transportError;
  senseLength_ = 0;
  if (x.status == kCheckCondition) {
    std::memcpy(sense_, x.sense, sizeof sense_);
    senseLength_ = x.senseLength;
  }
  Trace(cdb, cdbLength, direction, dataLength, reply);
  if (command == sim::Command::kWriteNvram && reply.stallMs == 0) {
    SaveState();
  }
  return reply;
}

void Target::DropSpentFault(sim::Command command, const std::uint8_t* cdb) {
  if (command == sim::Command::kFirmwareBlock) {
    // The block's own fault, when it has one, is the one that hit.
    std::uint32_t block = GetBe(cdb + 3, 3) / 256;
    if (bridge_.blockFaults.count(block) != 0) {
      if (onceBlocks_.erase(block) != 0) {
        bridge_.blockFaults.erase(block);
      }
      return;
    }
  }
  if (onceCommands_.erase(static_cast<int>(command)) != 0) {
    bridge_.commandFaults[static_cast<int>(command)] = sim::Fault();
  }
}

Reply Target::ExecuteDisk(const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t* data,
                          std::uint32_t dataLength) {
  Reply reply;
  std::uint32_t blocks = static_cast<std::uint32_t>(disk_.size() / kBlockSize);
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35:  // SYNCHRONIZE CACHE(10)
      break;
    case 0x03: {  // REQUEST SENSE: the sense of the last failed command, once
      std::uint8_t none[18];
      const std::uint8_t* sense = sense_;
      if (senseLength_ == 0) {
        sim::FixedSense(none, 0, 0, 0);
        sense = none;
      }
      reply.transferred = Give(data, dataLength, sense, 18);
      senseLength_ = 0;
      return reply;
    }
    case 0x12: {  // INQUIRY, standard data only
      if (cdb[1] & 0x01) {
        return Fail(kIllegalRequest, kAscInvalidField);
      }
      std::uint8_t d[36] = {};
      d[2] = 0x06;  // SPC-4
      d[3] = 0x02;  // response data format
      d[4] = sizeof d - 5;
      std::memcpy(d + 8, options_.vendor.data(), 8);
      std::memcpy(d + 16, options_.product.data(), 16);
      std::memcpy(d + 32, options_.revision.data(), 4);
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0x1A: {  // MODE SENSE(6): header only, not write-protected
      const std::uint8_t d[4] = {3, 0, 0, 0};
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0x5A: {  // MODE SENSE(10)
      const std::uint8_t d[8] = {0, 6, 0, 0, 0, 0, 0, 0};
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0x25: {  // READ CAPACITY(10)
      std::uint8_t d[8];
      PutBe32(d, blocks - 1);
      PutBe32(d + 4, kBlockSize);
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0x9E: {  // READ CAPACITY(16)
      if ((cdb[1] & 0x1F) != 0x10) {
        return Fail(kIllegalRequest, kAscInvalidOpcode);
      }
      std::uint8_t d[32] = {};
      PutBe32(d + 4, blocks - 1);
      PutBe32(d + 8, kBlockSize);
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0xA0: {  // REPORT LUNS: LUN 0 only (uas scans LUN by LUN without it)
      const std::uint8_t d[16] = {0, 0, 0, 8};
      reply.transferred = Give(data, dataLength, d, sizeof d);
      break;
    }
    case 0x28:    // READ(10)
    case 0x2A: {  // WRITE(10)
      if (cdbLength < 10) {
        return Fail(kIllegalRequest, kAscInvalidField);
      }
      std::uint64_t lba = GetBe(cdb + 2, 4);
      std::uint64_t count = GetBe(cdb + 7, 2);
      if (lba + count > blocks) {
        return Fail(kIllegalRequest, kAscLbaOutOfRange);
      }
      std::uint32_t bytes =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(count * kBlockSize, dataLength));
      std::uint8_t* at = disk_.data() + lba * kBlockSize;
      if (cdb[0] == 0x28) {
        std::memcpy(data, at, bytes);
      } else {
        std::memcpy(at, data, bytes);
      }
      reply.transferred = bytes;
      break;
    }
    default:
      return Fail(kIllegalRequest, kAscInvalidOpcode);
  }
  senseLength_ = 0;
  return reply;
}

void Target::Trace(const std::uint8_t* cdb, std::uint8_t cdbLength, sim::Direction direction,
                   std::uint32_t dataLength, const Reply& reply) const {
  if (options_.traceFile.empty()) {
    return;
  }
  std::FILE* f = std::fopen(options_.traceFile.c_str(), "a");
  if (f == nullptr) {
    return;
  }
  for (int i = 0; i < cdbLength; ++i) {
    std::fprintf(f, "%02X ", cdb[i]);
  }
  const char* dir = direction == sim::Direction::kIn    ? "in"
                    : direction == sim::Direction::kOut ? "out"
                                                        : "none";
  std::fprintf(f, "%s %u -> status %u moved %u%s\n", dir, dataLength, reply.status,
               reply.transferred, reply.stallMs ? " stall" : "");
  std::fclose(f);
}

}  // namespace emu
