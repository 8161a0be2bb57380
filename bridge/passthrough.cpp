#include "bridge/passthrough.h"

#include <cstring>

#include "base/byteorder.h"
#include "base/console.h"

namespace {

// The request block lives for one exchange at a time; kept static so the 64 KiB data area is not
// on the stack.
std::uint8_t g_block[kMaxRequestSize];

// Sense key names as SPC gives them.
const char* const kSenseKeyNames[16] = {
    "no sense",         "recovered error", "not ready",      "medium error",
    "hardware error",   "illegal request", "unit attention", "data protect",
    "blank check",      "vendor specific", "copy aborted",   "aborted command",
    "reserved key 0xC", "volume overflow", "miscompare",     "completed"};
constexpr std::uint8_t kCheckCondition = 0x02;

// Tells on the error stream why the request on `drive` failed: the system's reason for a transport
// `error`, or else the device's verdict.
void ReportFailure(DriveHandle drive, bool transport, std::uint32_t error, std::uint8_t status,
                   const SenseSummary& sense) {
  char device[256];
  PlatformDriveName(drive, device, sizeof device);
  if (!transport) {
    if (status == kCheckCondition) {
      PrintError("%s: the bridge refused the command: %s\n", device,
                 kSenseKeyNames[sense.key & 0xF]);
    } else {
      PrintError("%s: the bridge did not carry out the command (SCSI status 0x%x)\n", device,
                 status);
    }
    return;
  }
  char reason[256];
  if (PlatformPassThroughError(error, reason, sizeof reason)) {
    PrintError("%s: %s (the bridge did not answer within %u s)\n", device, reason,
               static_cast<unsigned>(GetLe(g_block + kTimeOutValueAt, 4)));
  } else {
    PrintError("%s: %s\n", device, reason);
  }
}

}  // namespace

SenseSummary SummarizeSense(const std::uint8_t* sense) {
  switch (sense[0] & 0x7F) {
    case 0x70:
    case 0x71:
      return {sense[2] & 0x0Fu, sense[12], sense[13]};
    case 0x72:
    case 0x73:
      return {sense[1] & 0x0Fu, sense[2], sense[3]};
    default:
      return {0, 0, 0};
  }
}

std::uint32_t BuildPassThroughRequest(const PassThroughLayout& layout, std::uint8_t* block,
                                      const std::uint8_t* cdb, std::uint8_t cdbLength,
                                      DataDirection direction, std::uint32_t n,
                                      const std::uint8_t* dataOut) {
  const std::uint32_t senseAt = layout.headerSize;
  const std::uint32_t dataAt = senseAt + kSenseAreaSize;
  const std::uint32_t length = dataAt + n;
  std::memset(block, 0, length);
  if (direction == DataDirection::kOut && n > 0) {
    std::memcpy(block + dataAt, dataOut, n);
  }
  PutLe(block + kLengthAt, layout.headerSize, 2);
  block[kCdbLengthAt] = cdbLength;
  block[kSenseInfoLengthAt] = kSenseAreaSize;
  block[kDataInAt] = static_cast<std::uint8_t>(direction);
  PutLe(block + kDataTransferLengthAt, n, 4);
  PutLe(block + kTimeOutValueAt,
        direction == DataDirection::kOut ? kWriteTimeOutSeconds : kReadTimeOutSeconds, 4);
  PutLe(block + layout.dataBufferOffsetAt, dataAt, layout.dataBufferOffsetWidth);
  PutLe(block + layout.senseInfoOffsetAt, senseAt, 4);
  std::memcpy(block + layout.cdbAt, cdb, cdbLength);
  return length;
}

bool SendPassThroughRequest(DriveHandle drive, const std::uint8_t* cdb, std::uint8_t cdbLength,
                            DataDirection direction, std::uint32_t n, std::uint8_t* data,
                            std::uint32_t* moved) {
  if (n > kMaxDataLength) {
    Print("Max Size exceed(%u>%u)!\n", n, kMaxDataLength);
    return false;
  }
  const PassThroughLayout& layout = PlatformPassThroughLayout();
  std::uint32_t length =
      BuildPassThroughRequest(layout, g_block, cdb, cdbLength, direction, n, data);
  std::uint32_t error = 0;
  if (!PlatformPassThrough(drive, g_block, length, &error)) {
    Print("IOCtl: failed 0x%x!\n", error);
    ReportFailure(drive, true, error, 0, {});
    return false;
  }
  // A device that refused the command must not look like one that answered with zeros.
  std::uint8_t status = g_block[kScsiStatusAt];
  if (status != 0) {
    SenseSummary sense = SummarizeSense(g_block + layout.headerSize);
    Print("IOCtl: status 0x%x, sense %x/%02x/%02x!\n", status, sense.key, sense.asc, sense.ascq);
    ReportFailure(drive, false, 0, status, sense);
    return false;
  }
  if (direction == DataDirection::kIn && n > 0) {
    std::memcpy(data, g_block + layout.headerSize + kSenseAreaSize, n);
  }
  if (moved != nullptr) {
    // The platform writes back the count it moved; more than was asked cannot have landed.
    std::uint32_t reported = GetLe(g_block + kDataTransferLengthAt, 4);
    *moved = reported < n ? reported : n;
  }
  return true;
}
