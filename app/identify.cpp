#include <cstdio>
#include <cstring>

#include "app/jobs.h"
#include "base/console.h"
#include "bridge/commands.h"
#include "bridge/drives.h"

namespace {

char SafeNameChar(std::uint8_t b) {
  if (b < 0x20 || b >= 0x7F) {
    return '_';
  }
  return std::strchr("/\\:*?\"<>|", b) != nullptr ? '_' : static_cast<char>(b);
}

}  // namespace

void FormatImageName(const std::uint8_t* identity, char* name, std::uint32_t size) {
  // The name ends at the first zero letter, as the formatted text did.
  char letters[3] = {};
  for (int i = 0; i < 3 && identity[8 + i] != 0; ++i) {
    letters[i] = SafeNameChar(identity[8 + i]);
  }
  std::snprintf(name, size, "jm%c%c%c_%02X_%02X_%02X_%02X", letters[0], letters[1], letters[2],
                identity[12], identity[13], identity[14], identity[15]);
}

bool IdentifyBridge(DriveHandle drive, BridgeInfo* info) {
  std::uint8_t identity[kIdentitySize] = {};
  FailedAnswer answer = {};
  if (!IdentifyFirmware(drive, identity, &answer)) {
    Print("Get fw version error!\n");
    // Any USB disk is offered: most that fail here are simply some other bridge.
    PrintDriveError(drive,
                    " is probably not a JMicron bridge of this family: the identify command came "
                    "back with %s\n",
                    answer.text);
    return false;
  }
  if ((identity[12] | identity[13] | identity[14] | identity[15]) == 0) {
    Print("Used firmware from ROM\n");
  }
  FormatImageName(identity, info->imageName, sizeof info->imageName);
  Print("Ctrl/Fw version : %s\n", info->imageName);

  // A failed or short descriptor read gives no length: the job then runs with no firmware, and
  // no address is made of bytes that did not arrive.
  std::uint8_t reply[kDescriptorReplySize] = {};
  std::uint32_t moved = 0;
  info->lengthKnown = ReadBufferDescriptor(drive, reply, &moved);
  if (info->lengthKnown && moved < kDescriptorReplySize) {
    Print("Fw size short read: %u of %u bytes\n", moved, kDescriptorReplySize);
    PrintDriveError(drive,
                    ": the bridge sent %u of the firmware length's %u bytes: no firmware is "
                    "read, no NVRAM address known\n",
                    moved, kDescriptorReplySize);
    info->lengthKnown = false;
  }
  info->firmwareUnits =
      info->lengthKnown ? static_cast<std::uint16_t>(reply[1] * 256 + reply[2]) : 0;
  Print("Fw size: %u\n", static_cast<unsigned>(info->firmwareUnits) * 256u);
  return true;
}
