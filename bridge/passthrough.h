// The SCSI pass-through that carries every bridge command: one request, judged and reported here.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t kMaxDataLength = 0x10000;
// The device time-out of a request. A write may be programming the flash when its time-out runs
// out, and the reset the host then sends would cut the programming off: writes get the time disk
// tools give them, and so does the command after a write, which a bridge still programming holds.
inline constexpr std::uint32_t kReadTimeOutSeconds = 2;
inline constexpr std::uint32_t kWriteTimeOutSeconds = 30;

// Sense key, ASC and ASCQ of fixed- or descriptor-format sense data; zeros for anything else.
struct SenseSummary {
  unsigned key;
  unsigned asc;
  unsigned ascq;
};
SenseSummary SummarizeSense(const std::uint8_t* sense);

// What came back for a request that failed, in a few words: the system's text in quotes when it
// was not carried ("\"Incorrect function\""), else the device's verdict ("\"illegal request\"
// (sense 5/20/00)", "SCSI status 0x8").
struct FailedAnswer {
  char text[300];
};

// Sends one command and, for an inbound one, hands back the n bytes of the data area (zero where
// the device delivered nothing). On failure it prints its line and leaves `data` untouched. When
// `moved` is given it receives the number of bytes the platform reports moved (at most n); when
// `answer` is given, it receives what came back for a request that failed.
bool SendPassThroughRequest(DriveHandle drive, const std::uint8_t* cdb, std::uint8_t cdbLength,
                            DataDirection direction, std::uint32_t n, std::uint8_t* data,
                            std::uint32_t* moved = nullptr, FailedAnswer* answer = nullptr,
                            std::uint32_t timeOutSeconds = kReadTimeOutSeconds);
