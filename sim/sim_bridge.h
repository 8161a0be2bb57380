// A model of one bridge as a device sees it: it decodes each command (CDB, direction, data
// length) and answers the five commands the tool uses, with faults that can be injected per
// command and per firmware block. Used by the simulated platform and by the USB bridge emulator.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace sim {

enum class Command : std::uint8_t {
  kIdentify,
  kDescriptor,
  kFirmwareBlock,
  kReadNvram,
  kWriteNvram,
  kUnknown,
};
inline constexpr int kCommandCount = 5;  // the known commands, usable as array indices

enum class FaultKind : std::uint8_t {
  kNone,
  kPlatformError,   // the transport fails with `errorCode`; the device never sees the command
  kCheckCondition,  // CHECK CONDITION with fixed-format sense senseKey/asc/ascq, no data
  kShortTransfer,   // GOOD status, but only `delivered` bytes move
  kZeroReply,       // GOOD status, the full length of zeros (a write is accepted and dropped)
  kStall,           // the device does not answer for `stallMs` (the USB emulator uses this)
  kGone,            // the device goes away: this command and every later one fail as unsent
  kBusy,            // the command runs and is answered; the next one is held for `stallMs`
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  std::uint32_t errorCode = 0;
  std::uint8_t senseKey = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  std::uint32_t delivered = 0;
  std::uint32_t stallMs = 0;
  std::uint32_t after = 0;  // the first `after` commands it would hit run clean
};

enum class Direction : std::uint8_t { kNone, kIn, kOut };

// One command as the device receives it, and the device's answer.
struct Exchange {
  // From the host.
  std::uint8_t cdb[16] = {};
  std::uint8_t cdbLength = 0;
  Direction direction = Direction::kNone;
  std::uint32_t dataLength = 0;
  std::uint8_t* data = nullptr;  // dataLength bytes: data-out to read, or room for data-in

  // From the device.
  std::uint8_t status = 0;  // SCSI status: 0 GOOD, 2 CHECK CONDITION
  std::uint8_t sense[18] = {};
  std::uint8_t senseLength = 0;
  std::uint32_t transferred = 0;  // bytes written into `data` (in) or taken from it (out)
  bool transportError = false;    // kPlatformError, or kGone
  bool deviceGone = false;        // kGone: the transport finds no device
  std::uint32_t errorCode = 0;
  std::uint32_t stallMs = 0;  // kStall
};

inline constexpr std::uint32_t kNvramSectorSize = 512;
using NvramSector = std::array<std::uint8_t, kNvramSectorSize>;

class Bridge {
 public:
  std::array<std::uint8_t, 16> identity{};
  std::array<std::uint8_t, 4> descriptor{};
  std::vector<std::uint8_t> firmware;  // buffer 1 from offset 0; reads past its end give zeros
  std::map<std::uint32_t, NvramSector> nvram;  // by NVRAM address; absent sectors read as zeros

  std::array<Fault, kCommandCount> commandFaults{};
  std::map<std::uint32_t, Fault> blockFaults;  // firmware reads, by block (buffer offset / 256)
  std::array<std::uint32_t, kCommandCount> commandsSeen{};  // for Fault::after
  bool gone = false;         // a kGone fault was met: nothing answers any more
  std::uint32_t busyMs = 0;  // still programming: the next command is held this long (kBusy)

  // Fills the firmware buffer with `bytes` bytes of a pattern that differs in every 256-byte
  // unit and never repeats within 16 MiB, so misplaced blocks show.
  void SetFirmwarePattern(std::uint32_t bytes, std::uint32_t seed);

  static Command Classify(const std::uint8_t* cdb, std::uint8_t cdbLength);

  // Runs one command. Faults apply before the command's own effect; a bridge that is busy holds
  // the command, as a stall does, and runs it once the hold is over.
  void Execute(Exchange& exchange);
  // Runs one command as a device that answers late runs it once the hold is over: without any
  // fault, and counted in no fault's `after`. Only the NVRAM keeps its effect.
  void ExecuteWithoutFaults(Exchange& exchange);
};

// Fills `sense` with fixed-format sense data (18 bytes) and returns its length.
std::uint8_t FixedSense(std::uint8_t* sense, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);

}  // namespace sim
