// The bridge identification and the two jobs run on an identified bridge.
#pragma once

#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t kFirmwareAreaSize = 0x20000;
inline constexpr std::uint32_t kImageBufferSize = kFirmwareAreaSize + 512;
// The dump reads the firmware in blocks of 4 units, and keeps at most the firmware area's units.
inline constexpr std::uint32_t kBlockBytes = 1024;
inline constexpr std::uint32_t kUnitsPerBlock = kBlockBytes / 256;
inline constexpr std::uint32_t kMaxUnits = kFirmwareAreaSize / 256;
inline constexpr std::uint32_t kNvramAddressGap =
    12;  // the NVRAM sector sits this far past the firmware

// What a job came to.
enum class JobOutcome {
  kDone,             // all of it: the dump complete and saved, the sector written and read back
  kNotDone,          // it stopped or fell short, and nothing was sent to the bridge's flash
  kDeclined,         // the user answered no at the update's question: nothing was written
  kWriteUnverified,  // a write was sent, and the sector was not read back equal to it
};

struct BridgeInfo {
  char imageName[32];
  std::uint16_t firmwareUnits;  // firmware length in 256-byte units
  bool lengthKnown;             // the READ BUFFER descriptor was read
};

// Builds the firmware name from the 16-byte identity. Characters that are unsafe in a file name
// or on a terminal become '_'; a zero byte ends the name.
void FormatImageName(const std::uint8_t* identity, char* name, std::uint32_t size);

// Identifies the bridge and learns its firmware length. Fails only when the identity cannot be
// read.
bool IdentifyBridge(DriveHandle drive, BridgeInfo* info);

// Reads the firmware and the NVRAM sector and saves them as "<imageName>.bin", or as
// "<imageName>.partial.bin" when any of it could not be read, so an incomplete image never
// replaces a complete dump; with `noNvram`, the firmware alone as "<imageName>.fw.bin" (or
// ".fw.partial.bin"). Done only when the complete image was saved.
JobOutcome DumpFirmware(DriveHandle drive, const BridgeInfo& info, bool noNvram);

// Writes "jm_nvram.bin" into the bridge's NVRAM sector after the user confirms (or at once with
// `autoYes`), naming `target`, the drive written. Refused when the firmware length, and so the
// sector's address, is not known, when the file holds other than 512 bytes, or when the sector
// there cannot be read first. Done at once, with nothing written, when the sector there is the
// file's already. The sector there is saved as "<imageName>.nvram-before.bin" before the write,
// and read back and compared after it: done only when the two are equal.
JobOutcome UpdateNvram(DriveHandle drive, const char* target, const BridgeInfo& info, bool autoYes);
