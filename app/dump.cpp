#include <cstdio>

#include "app/console.h"
#include "app/hostio.h"
#include "app/jobs.h"
#include "bridge/commands.h"

namespace {
constexpr std::uint32_t kBlockBytes = 1024;
constexpr std::uint32_t kUnitsPerBlock = kBlockBytes / 256;
constexpr std::uint32_t kMaxUnits = kFirmwareAreaSize / 256;
}  // namespace

void DumpFirmware(DriveHandle drive, const BridgeInfo& info, std::uint8_t* imageBuffer,
                  bool noNvram) {
  std::uint32_t units = info.firmwareUnits;
  if (units > kMaxUnits) {
    Print("Fw len too long, trunkated to %u\n", kMaxUnits);
    units = kMaxUnits;
  }

  // The last read of a length that is not a multiple of 4 units runs on over the NVRAM region;
  // with at most kMaxUnits it still ends inside the firmware area.
  for (std::uint32_t block = 0; block < units; block += kUnitsPerBlock) {
    if (!ReadFirmwareBlock(drive, imageBuffer + block * 256, static_cast<std::uint16_t>(block),
                           kBlockBytes)) {
      Print("Fw block #%u read error\n", block);
    }
  }

  std::uint32_t firmwareBytes = units * 256;
  if (!noNvram && !ReadNvramSector(drive, imageBuffer + firmwareBytes, units + kNvramAddressGap)) {
    Print("Fw nvram read error\n");
  }

  std::uint8_t any = 0;
  for (std::uint32_t i = 0; i < firmwareBytes + kNvramSectorSize; ++i) {
    any |= imageBuffer[i];
  }
  if (any == 0) {
    Print("Fw empty!\n");
    return;
  }

  char fileName[48];
  std::snprintf(fileName, sizeof fileName, "%s.bin", info.imageName);
  std::uint32_t fileBytes = firmwareBytes + (noNvram ? 0 : kNvramSectorSize);
  if (!WriteHostFile(fileName, imageBuffer, static_cast<std::int32_t>(fileBytes))) {
    Print("Fw save error\n");
    return;
  }
  if (noNvram) {
    Print("Fw saved to %s.bin\n", info.imageName);
  } else {
    Print("Fw+nvram saved to %s.bin\n", info.imageName);
  }
}
