#include "sim/sim_bridge.h"

#include <algorithm>
#include <cstring>

#include "base/byteorder.h"

namespace sim {

namespace {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kSenseIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;

void Reject(Exchange& x, std::uint8_t asc) {
  x.status = kStatusCheckCondition;
  x.senseLength = FixedSense(x.sense, kSenseIllegalRequest, asc, 0);
  x.transferred = 0;
}

// Copies up to `available` bytes of `source` into the host's data-in buffer.
void Deliver(Exchange& x, const std::uint8_t* source, std::uint32_t available) {
  if (x.direction == Direction::kOut) {
    Reject(x, kAscInvalidFieldInCdb);
    return;
  }
  std::uint32_t n = std::min(available, x.dataLength);
  if (n > 0) {
    std::memcpy(x.data, source, n);
  }
  x.transferred = n;
}

}  // namespace

std::uint8_t FixedSense(std::uint8_t* sense, std::uint8_t key, std::uint8_t asc,
                        std::uint8_t ascq) {
  std::memset(sense, 0, 18);
  sense[0] = 0x70;  // current error, fixed format
  sense[2] = key & 0x0F;
  sense[7] = 10;  // additional sense length
  sense[12] = asc;
  sense[13] = ascq;
  return 18;
}

void Bridge::SetFirmwarePattern(std::uint32_t bytes, std::uint32_t seed) {
  firmware.assign(bytes, 0);
  for (std::uint32_t i = 0; i < bytes; ++i) {
    // Low byte of the offset mixed with the unit number, so every 256-byte unit is distinct.
    std::uint32_t unit = i >> 8;
    firmware[i] = static_cast<std::uint8_t>((i & 0xFF) ^ (unit * 0x9D) ^ (unit >> 8) ^ seed ^ 0x5A);
  }
}

Command Bridge::Classify(const std::uint8_t* cdb, std::uint8_t cdbLength) {
  if (cdbLength == 12 && cdb[0] == 0xE0 && cdb[1] == 0xF4 && cdb[2] == 0xE7) {
    return Command::kIdentify;
  }
  if (cdbLength == 10 && cdb[0] == 0x3C && cdb[2] == 0x01) {
    if (cdb[1] == 0x03) {
      return Command::kDescriptor;
    }
    if (cdb[1] == 0x01) {
      return Command::kFirmwareBlock;
    }
  }
  if (cdbLength == 12 && cdb[0] == 0xDF && cdb[3] == 0x02) {
    if (cdb[1] == 0x10 && cdb[11] == 0xFA) {
      return Command::kReadNvram;
    }
    if (cdb[1] == 0x01 && cdb[11] == 0xFB) {
      return Command::kWriteNvram;
    }
  }
  return Command::kUnknown;
}

void Bridge::ExecuteWithoutFaults(Exchange& x) {
  Bridge plain = *this;
  plain.commandFaults = {};
  plain.blockFaults.clear();
  plain.Execute(x);
  nvram = plain.nvram;
}

void Bridge::Execute(Exchange& x) {
  x.status = kStatusGood;
  x.senseLength = 0;
  x.transferred = 0;
  x.transportError = false;
  x.errorCode = 0;
  x.deviceGone = false;
  x.stallMs = 0;
  if (gone) {
    x.transportError = x.deviceGone = true;
    return;
  }

  if (busyMs > 0) {
    x.stallMs = busyMs;
    busyMs = 0;
    return;
  }
  Command command = Classify(x.cdb, x.cdbLength);
  if (command == Command::kUnknown) {
    Reject(x, kAscInvalidOpcode);
    return;
  }

  Fault fault = commandFaults[static_cast<int>(command)];
  if (command == Command::kFirmwareBlock) {
    auto it = blockFaults.find(GetBe(x.cdb + 3, 3) / 256);
    if (it != blockFaults.end()) {
      fault = it->second;
    }
  }
  if (++commandsSeen[static_cast<int>(command)] <= fault.after) {
    fault = Fault{};
  }
  switch (fault.kind) {
    case FaultKind::kNone:
      break;
    case FaultKind::kPlatformError:
      x.transportError = true;
      x.errorCode = fault.errorCode;
      return;
    case FaultKind::kCheckCondition:
      x.status = kStatusCheckCondition;
      x.senseLength = FixedSense(x.sense, fault.senseKey, fault.asc, fault.ascq);
      return;
    case FaultKind::kStall:
      x.stallMs = fault.stallMs;
      return;
    case FaultKind::kGone:
      gone = x.transportError = x.deviceGone = true;
      return;
    case FaultKind::kZeroReply:
      if (x.direction == Direction::kIn && x.dataLength > 0) {
        std::memset(x.data, 0, x.dataLength);
      }
      x.transferred = x.dataLength;
      return;
    case FaultKind::kShortTransfer:
      break;  // the command runs, then the transfer is cut below
    case FaultKind::kBusy:
      busyMs = fault.stallMs;
      break;
  }

  switch (command) {
    case Command::kIdentify:
      Deliver(x, identity.data(), static_cast<std::uint32_t>(identity.size()));
      break;
    case Command::kDescriptor:
      Deliver(x, descriptor.data(), std::min<std::uint32_t>(4, GetBe(x.cdb + 6, 3)));
      break;
    case Command::kFirmwareBlock: {
      std::uint32_t offset = GetBe(x.cdb + 3, 3);
      std::uint32_t length = std::min(GetBe(x.cdb + 6, 3), x.dataLength);
      if (x.direction == Direction::kOut) {
        Reject(x, kAscInvalidFieldInCdb);
        break;
      }
      for (std::uint32_t i = 0; i < length; ++i) {
        std::uint64_t at = std::uint64_t{offset} + i;
        x.data[i] = at < firmware.size() ? firmware[at] : 0;
      }
      x.transferred = length;
      break;
    }
    case Command::kReadNvram: {
      NvramSector sector{};
      auto it = nvram.find(GetBe(x.cdb + 8, 2));
      if (it != nvram.end()) {
        sector = it->second;
      }
      Deliver(x, sector.data(), kNvramSectorSize);
      break;
    }
    case Command::kWriteNvram:
      if (x.direction != Direction::kOut || x.dataLength != kNvramSectorSize) {
        Reject(x, kAscInvalidFieldInCdb);
        break;
      }
      {
        // A short transfer on the way out leaves the untaken tail of the sector zero.
        NvramSector& sector = nvram[GetBe(x.cdb + 8, 2)];
        sector.fill(0);
        std::uint32_t taken = fault.kind == FaultKind::kShortTransfer
                                  ? std::min(fault.delivered, kNvramSectorSize)
                                  : kNvramSectorSize;
        std::memcpy(sector.data(), x.data, taken);
        x.transferred = taken;
      }
      break;
    case Command::kUnknown:
      break;
  }

  if (fault.kind == FaultKind::kShortTransfer && x.status == kStatusGood &&
      fault.delivered < x.transferred) {
    if (x.direction == Direction::kIn) {
      std::memset(x.data + fault.delivered, 0, x.transferred - fault.delivered);
    }
    x.transferred = fault.delivered;
  }
}

}  // namespace sim
