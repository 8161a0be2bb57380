#include <cstring>

#include "app/hostio.h"
#include "app/jobs.h"
#include "base/console.h"
#include "bridge/commands.h"

void UpdateNvram(DriveHandle drive, const BridgeInfo& info, bool autoYes) {
  std::uint8_t sector[kNvramSectorSize] = {};
  if (!ReadHostFile("jm_nvram.bin", sector, kNvramSectorSize)) {
    Print("Nvram file read error\n");
    return;
  }

  // The sector's address rests on the firmware length: without it the write would land at 12,
  // inside whatever lies there.
  if (!info.lengthKnown) {
    Print("Fw size unknown, no nvram ofs!\nFw nvram update error\n");
    return;
  }
  std::uint32_t address = info.firmwareUnits + kNvramAddressGap;
  Print("Nvram ofs: %x\n", address);
  // Nobody is asked to confirm a write that cannot be sent.
  if (!NvramAddressFits(address)) {
    Print("Fw nvram update error\n");
    return;
  }

  if (!autoYes) {
    Print("Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel ");
    // No answer at all (end of input) cancels, like any answer not starting with Y.
    char answer[128] = {};
    bool answered = ReadInputLine(answer, sizeof answer);
    if (!answered || (answer[0] != 'Y' && answer[0] != 'y')) {
      Print("Not sure - Exit!\n");
      return;
    }
  }

  if (!WriteNvramSector(drive, sector, address)) {
    Print("Fw nvram update error\n");
  }
}
