#include <cstdio>
#include <cstring>

#include "app/files.h"
#include "app/jobs.h"
#include "base/console.h"
#include "bridge/commands.h"
#include "bridge/drives.h"

namespace {

// Reads one block; true when every byte of the firmware that it covers arrived. Bytes asked for
// past the firmware's end need not come. `gone` tells that the device is no longer there.
bool ReadBlock(DriveHandle drive, std::uint8_t* destination, std::uint32_t block,
               std::uint32_t units, bool* gone) {
  std::uint32_t moved = 0;
  FailedAnswer answer = {};
  if (!ReadFirmwareBlock(drive, destination, static_cast<std::uint16_t>(block), kBlockBytes, &moved,
                         &answer)) {
    *gone = answer.deviceGone;
    return false;
  }
  std::uint32_t left = (units - block) * 256;
  std::uint32_t needed = left < kBlockBytes ? left : kBlockBytes;
  if (moved < needed) {
    Print("Fw block #%u short read: %u of %u bytes\n", block, moved, needed);
    PrintDriveError(drive, ": the bridge sent %u of the %u bytes of block #%u\n", moved, needed,
                    block);
    return false;
  }
  return true;
}

// A device that went away answers nothing more: what was not read is told once, not block by block.
void TellGone(DriveHandle drive, std::uint32_t block, std::uint32_t units, bool noNvram) {
  Print("Device gone: %u blocks not read\n", (units - block + kUnitsPerBlock - 1) / kUnitsPerBlock);
  PrintDriveError(drive,
                  " went away during the dump: block #%u on%s not read; connect the enclosure "
                  "again and dump again\n",
                  block, noNvram ? "" : " and the NVRAM sector");
}

// Says why nothing is saved.
void TellEmpty(DriveHandle drive, std::uint32_t bytes) {
  if (bytes == 0) {
    PrintDriveError(drive,
                    ": no firmware to read (size 0), and with N nothing else: dump "
                    "without N\n");
  } else {
    PrintDriveError(drive, ": all %u bytes read are zero: a file of zeros is no backup\n", bytes);
  }
}

}  // namespace

JobOutcome DumpFirmware(DriveHandle drive, const BridgeInfo& info, bool noNvram) {
  // Too large for the stack; cleared for every dump, so that nothing of an earlier one is saved.
  static std::uint8_t image[kImageBufferSize];
  std::memset(image, 0, sizeof image);
  std::uint32_t units = info.firmwareUnits;
  if (units > kMaxUnits) {
    Print("Fw len too long, trunkated to %u\n", kMaxUnits);
    units = kMaxUnits;
  }
  // Without the firmware length nothing of the firmware was read.
  bool complete = info.lengthKnown;

  // The last read of a length that is not a multiple of 4 units runs on over the NVRAM region;
  // with at most kMaxUnits it still ends inside the firmware area.
  bool gone = false;
  for (std::uint32_t block = 0; block < units; block += kUnitsPerBlock) {
    if (!ReadBlock(drive, image + block * 256, block, units, &gone)) {
      Print("Fw block #%u read error\n", block);
      complete = false;
    }
    if (gone) {
      TellGone(drive, block, units, noNvram);
      break;
    }
  }

  // The sector lies behind the whole firmware, even where only its first 0x20000 bytes are kept:
  // the update writes it there.
  std::uint32_t firmwareBytes = units * 256;
  if (!noNvram && !gone &&
      !ReadNvramSector(drive, image + firmwareBytes, info.firmwareUnits + kNvramAddressGap)) {
    Print("Fw nvram read error\n");
    complete = false;
  }

  std::uint8_t any = 0;
  for (std::uint32_t i = 0; i < firmwareBytes + kNvramSectorSize; ++i) {
    any |= image[i];
  }
  std::uint32_t fileBytes = firmwareBytes + (noNvram ? 0 : kNvramSectorSize);
  if (any == 0) {
    Print("Fw empty!\n");
    TellEmpty(drive, fileBytes);
    return JobOutcome::kNotDone;
  }

  // A firmware-only dump has a name of its own: "<imageName>.bin" always ends with the sector.
  char savedName[48];
  std::snprintf(savedName, sizeof savedName, "%s%s%s", info.imageName, noNvram ? ".fw" : "",
                complete ? "" : ".partial");
  char fileName[56];
  std::snprintf(fileName, sizeof fileName, "%s.bin", savedName);
  if (!WriteHostFile(fileName, image, static_cast<std::int32_t>(fileBytes))) {
    Print("Fw save error\n");
    return JobOutcome::kNotDone;
  }
  if (noNvram) {
    Print("Fw saved to %s.bin\n", savedName);
  } else {
    Print("Fw+nvram saved to %s.bin\n", savedName);
  }
  return complete ? JobOutcome::kDone : JobOutcome::kNotDone;
}
