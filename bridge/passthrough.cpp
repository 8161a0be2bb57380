#include "bridge/passthrough.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "bridge/drives.h"

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

bool g_trace = false;

// Appends to the zero-terminated `text` of room `size`, cutting what does not fit.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void Append(char* text, std::uint32_t size, const char* format, ...) {
  const std::size_t used = std::strlen(text);
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text + used, size - used, format, args);
  va_end(args);
}

// Hands the request to the platform, and with the trace on tells it and how long it took.
PassThroughResult Send(DriveHandle drive, const PassThroughRequest& request) {
  if (!g_trace) {
    return PlatformPassThrough(drive, request);
  }
  const auto start = std::chrono::steady_clock::now();
  const PassThroughResult result = PlatformPassThrough(drive, request);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  char line[512];
  FormatTraceLine(request, result, static_cast<std::uint32_t>(took.count()), line, sizeof line);
  PrintError("%s\n", line);
  return result;
}

// Tells on the error stream why the request on `drive` failed: the system's reason when it was not
// sent, or else the device's verdict.
void ReportFailure(DriveHandle drive, const PassThroughRequest& request,
                   const PassThroughResult& result, const SenseSummary& sense) {
  if (result.sent) {
    if (result.status == kCheckCondition) {
      PrintDriveError(drive, ": the bridge refused the command: %s\n",
                      kSenseKeyNames[sense.key & 0xF]);
    } else {
      PrintDriveError(drive, ": the bridge did not carry out the command (SCSI status 0x%x)\n",
                      result.status);
    }
  } else if (result.timedOut) {
    PrintDriveError(drive, ": %s (the bridge did not answer within %u s)\n", result.errorText,
                    static_cast<unsigned>(request.timeOutSeconds));
  } else {
    PrintDriveError(drive, ": %s\n", result.errorText);
  }
}

}  // namespace

void SetPassThroughTrace(bool on) {
  g_trace = on;
}

void FormatTraceLine(const PassThroughRequest& request, const PassThroughResult& result,
                     std::uint32_t ms, char* text, std::uint32_t size) {
  std::snprintf(text, size, "trace: cdb");
  for (std::uint32_t i = 0; i < request.cdbLength && i < kMaxCdbLength; ++i) {
    Append(text, size, " %02X", request.cdb[i]);
  }
  Append(text, size, " %s %u timeout %u -> ",
         request.direction == DataDirection::kIn ? "in" : "out",
         static_cast<unsigned>(request.length), static_cast<unsigned>(request.timeOutSeconds));
  if (!result.sent) {
    Append(text, size, "error 0x%x%s%s ms %u", static_cast<unsigned>(result.error),
           result.timedOut ? " timed-out" : "", result.deviceGone ? " gone" : "",
           static_cast<unsigned>(ms));
    return;
  }
  Append(text, size, "status 0x%02X sense", result.status);
  std::uint32_t senseLength = kSenseSize;
  while (senseLength > 0 && result.sense[senseLength - 1] == 0) {
    --senseLength;
  }
  if (senseLength == 0) {
    Append(text, size, " -");
  }
  for (std::uint32_t i = 0; i < senseLength; ++i) {
    Append(text, size, " %02X", result.sense[i]);
  }
  Append(text, size, " moved %u ms %u", static_cast<unsigned>(result.moved),
         static_cast<unsigned>(ms));
}

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
  const PassThroughResult result = Send(drive, request);
  if (!result.sent) {
    Print("IOCtl: failed 0x%x!\n", result.error);
    ReportFailure(drive, request, result, {});
    if (answer != nullptr) {
      std::snprintf(answer->text, sizeof answer->text, "\"%s\"", result.errorText);
      answer->deviceGone = result.deviceGone;
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
