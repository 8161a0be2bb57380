#include "bridge/passthrough.h"

#include <cstdio>
#include <cstring>

#include "base/console.h"

namespace {

// The data of one exchange at a time; kept static so the 64 KiB are not on the stack. The caller's
// buffer takes inbound data only once the device has answered well.
std::uint8_t g_data[kMaxDataLength];

// Sense key names as SPC gives them.
const char* const kSenseKeyNames[16] = {
    "no sense",         "recovered error", "not ready",      "medium error",
    "hardware error",   "illegal request", "unit attention", "data protect",
    "blank check",      "vendor specific", "copy aborted",   "aborted command",
    "reserved key 0xC", "volume overflow", "miscompare",     "completed"};
constexpr std::uint8_t kCheckCondition = 0x02;

// Tells on the error stream why the request on `drive` failed: the system's reason when it was not
// sent, or else the device's verdict.
void ReportFailure(DriveHandle drive, const PassThroughRequest& request,
                   const PassThroughResult& result, const SenseSummary& sense) {
  char device[256];
  PlatformDriveName(drive, device, sizeof device);
  if (result.sent) {
    if (result.status == kCheckCondition) {
      PrintError("%s: the bridge refused the command: %s\n", device,
                 kSenseKeyNames[sense.key & 0xF]);
    } else {
      PrintError("%s: the bridge did not carry out the command (SCSI status 0x%x)\n", device,
                 result.status);
    }
  } else if (result.timedOut) {
    PrintError("%s: %s (the bridge did not answer within %u s)\n", device, result.errorText,
               static_cast<unsigned>(request.timeOutSeconds));
  } else {
    PrintError("%s: %s\n", device, result.errorText);
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

bool SendPassThroughRequest(DriveHandle drive, const std::uint8_t* cdb, std::uint8_t cdbLength,
                            DataDirection direction, std::uint32_t n, std::uint8_t* data,
                            std::uint32_t* moved, FailedAnswer* answer,
                            std::uint32_t timeOutSeconds) {
  if (n > kMaxDataLength) {
    Print("Max Size exceed(%u>%u)!\n", n, kMaxDataLength);
    return false;
  }
  PassThroughRequest request = {};
  std::memcpy(request.cdb, cdb, cdbLength < kMaxCdbLength ? cdbLength : kMaxCdbLength);
  request.cdbLength = cdbLength;
  request.direction = direction;
  request.data = g_data;
  request.length = n;
  request.timeOutSeconds = timeOutSeconds;
  if (direction == DataDirection::kOut && n > 0) {
    std::memcpy(g_data, data, n);
  } else {
    std::memset(g_data, 0, n);
  }
  const PassThroughResult result = PlatformPassThrough(drive, request);
  if (!result.sent) {
    Print("IOCtl: failed 0x%x!\n", result.error);
    ReportFailure(drive, request, result, {});
    if (answer != nullptr) {
      std::snprintf(answer->text, sizeof answer->text, "\"%s\"", result.errorText);
    }
    return false;
  }
  // A device that refused the command must not look like one that answered with zeros.
  if (result.status != 0) {
    SenseSummary sense = SummarizeSense(result.sense);
    Print("IOCtl: status 0x%x, sense %x/%02x/%02x!\n", result.status, sense.key, sense.asc,
          sense.ascq);
    ReportFailure(drive, request, result, sense);
    if (answer != nullptr && result.status == kCheckCondition) {
      std::snprintf(answer->text, sizeof answer->text, "\"%s\" (sense %x/%02x/%02x)",
                    kSenseKeyNames[sense.key & 0xF], sense.key, sense.asc, sense.ascq);
    } else if (answer != nullptr) {
      std::snprintf(answer->text, sizeof answer->text, "SCSI status 0x%x", result.status);
    }
    return false;
  }
  if (direction == DataDirection::kIn && n > 0) {
    std::memcpy(data, g_data, n);
  }
  if (moved != nullptr) {
    // More than was asked cannot have landed.
    *moved = result.moved < n ? result.moved : n;
  }
  return true;
}
