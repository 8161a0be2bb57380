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
// (sense 5/20/00)", "SCSI status 0x8"); and whether the device is gone, so that nothing more is
// sent to it.
struct FailedAnswer {
  char text[300];
  bool deviceGone;
};

// The trace of the requests sent: off until a run asks for it. When on, each request that reaches
// the platform is told on the error stream in one line (FormatTraceLine).
void SetPassThroughTrace(bool on);

// The trace line of one request, without the program's name and the line end:
//   trace: cdb <hex bytes> in|out <length> timeout <s> -> status 0x<hex> sense -|<hex bytes>
//     moved <bytes> ms <duration>
//   trace: cdb <hex bytes> in|out <length> timeout <s> -> error 0x<code> [timed-out] [gone]
//     ms <duration>
// The sense bytes run up to the last one that is not zero ("-": none). Cut to fit `size`.
void FormatTraceLine(const PassThroughRequest& request, const PassThroughResult& result,
                     std::uint32_t ms, char* text, std::uint32_t size);

// Sends one command and, for an inbound one, hands back the n bytes of the data area (zero where
// the device delivered nothing). On failure it prints its line and leaves `data` untouched. When
// `moved` is given it receives the number of bytes the platform reports moved (at most n); when
// `answer` is given, it receives what came back for a request that failed.
bool SendPassThroughRequest(DriveHandle drive, const std::uint8_t* cdb, std::uint8_t cdbLength,
                            DataDirection direction, std::uint32_t n, std::uint8_t* data,
                            std::uint32_t* moved = nullptr, FailedAnswer* answer = nullptr,
                            std::uint32_t timeOutSeconds = kReadTimeOutSeconds);
