#include <cstdio>
#include <cstring>

#include "app/files.h"
#include "app/input.h"
#include "app/jobs.h"
#include "base/console.h"
#include "bridge/commands.h"

namespace {

// The size of a full dump of this bridge: the firmware bytes the dump keeps, then the sector.
std::uint32_t WholeDumpBytes(std::uint32_t units) {
  return (units < kMaxUnits ? units : kMaxUnits) * 256 + kNvramSectorSize;
}

// Takes the sector out of the file's first `size` bytes, as read. A whole dump's first 512 bytes
// are firmware: it is refused. Any other size than 512 is taken as the sector's start, with a
// warning.
bool TakeSector(const BridgeInfo& info, const std::uint8_t* file, std::int32_t size,
                std::uint8_t* sector) {
  std::uint32_t bytes = static_cast<std::uint32_t>(size);
  if (bytes == WholeDumpBytes(info.firmwareUnits)) {
    Print("jm_nvram.bin is a whole dump (%u bytes), not a sector: nothing written\n", bytes);
    PrintError("the sector is the dump's last 512 bytes: tail -c 512 %s.bin > jm_nvram.bin\n",
               info.imageName);
    return false;
  }
  if (bytes > kImageBufferSize) {
    PrintError("jm_nvram.bin holds more than %u bytes, not 512: its first 512 are written\n",
               kImageBufferSize);
  } else if (bytes != kNvramSectorSize) {
    PrintError("jm_nvram.bin holds %u bytes, not 512: %s\n", bytes,
               bytes < kNvramSectorSize ? "the rest of the sector is written as zeros"
                                        : "its first 512 are written");
  }
  std::memset(sector, 0, kNvramSectorSize);
  std::memcpy(sector, file, bytes < kNvramSectorSize ? bytes : kNvramSectorSize);
  return true;
}

bool Confirmed() {
  Print("Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel ");
  // No answer at all (end of input) cancels, like any answer not starting with Y.
  char answer[128] = {};
  bool answered = ReadInputLine(answer, sizeof answer);
  if (!answered || (answer[0] != 'Y' && answer[0] != 'y')) {
    Print("Not sure - Exit!\n");
    return false;
  }
  return true;
}

// A bridge may acknowledge a write that it did not store, or store part of it: only the sector
// read back tells.
bool Verify(DriveHandle drive, const std::uint8_t* sector, std::uint32_t address) {
  std::uint8_t back[kNvramSectorSize];
  if (!ReadNvramSector(drive, back, address)) {
    Print("Nvram verify error: read back failed\n");
    return false;
  }
  unsigned differ = 0;
  for (std::uint32_t i = 0; i < kNvramSectorSize; ++i) {
    differ += back[i] != sector[i] ? 1u : 0u;
  }
  if (differ != 0) {
    Print("Nvram verify error: %u bytes differ\n", differ);
    return false;
  }
  Print("Nvram written and read back equal\n");
  return true;
}

}  // namespace

JobOutcome UpdateNvram(DriveHandle drive, const char* target, const BridgeInfo& info,
                       bool autoYes) {
  // Read up to one byte more than the largest dump, so that a whole dump shows by its size. Too
  // large for the stack; only the bytes read this time are used.
  static std::uint8_t file[kImageBufferSize + 1];
  std::int32_t size = 0;
  if (!ReadHostFile("jm_nvram.bin", file, sizeof file, &size)) {
    Print("Nvram file read error\n");
    return JobOutcome::kNotDone;
  }

  // The sector's address rests on the firmware length: without it, or with none (a bridge
  // running from ROM), the write would land at 12, inside whatever the flash holds there.
  if (!info.lengthKnown || info.firmwareUnits == 0) {
    Print("Fw size unknown, no nvram ofs!\nFw nvram update error\n");
    return JobOutcome::kNotDone;
  }
  std::uint32_t address = info.firmwareUnits + kNvramAddressGap;
  Print("Nvram ofs: %x\n", address);
  std::uint8_t sector[kNvramSectorSize];
  // Nobody is asked to confirm a write that cannot be sent.
  if (!NvramAddressFits(address) || !TakeSector(info, file, size, sector)) {
    Print("Fw nvram update error\n");
    return JobOutcome::kNotDone;
  }

  // What is there now is read before anybody is asked, and kept before it is overwritten.
  Print("Target     : %s\n", target);
  std::uint8_t before[kNvramSectorSize];
  if (!ReadNvramSector(drive, before, address)) {
    Print("Nvram read before write failed: nothing written\nFw nvram update error\n");
    return JobOutcome::kNotDone;
  }
  if (!autoYes && !Confirmed()) {
    return JobOutcome::kNotDone;
  }
  char beforeName[64];
  std::snprintf(beforeName, sizeof beforeName, "%s.nvram-before.bin", info.imageName);
  if (!WriteHostFile(beforeName, before, kNvramSectorSize)) {
    Print("Nvram before write not saved: nothing written\nFw nvram update error\n");
    return JobOutcome::kNotDone;
  }
  Print("Nvram before write saved to %s\n", beforeName);

  // A write that failed may still have reached the flash, whole or in part.
  if (!WriteNvramSector(drive, sector, address) || !Verify(drive, sector, address)) {
    Print("Fw nvram update error\n");
    return JobOutcome::kWriteUnverified;
  }
  return JobOutcome::kDone;
}
