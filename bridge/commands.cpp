#include "bridge/commands.h"

#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "bridge/drives.h"
#include "bridge/passthrough.h"

namespace {

void NvramCdb(std::uint8_t* cdb, bool write, std::uint32_t address) {
  const std::uint8_t bytes[12] = {0xDF,
                                  static_cast<std::uint8_t>(write ? 0x01 : 0x10),
                                  0x00,
                                  0x02,
                                  0x00,
                                  0x00,
                                  0x00,
                                  0x00,
                                  static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address),
                                  0x00,
                                  static_cast<std::uint8_t>(write ? 0xFB : 0xFA)};
  std::memcpy(cdb, bytes, sizeof bytes);
}

// Half a sector in NVRAM is a corrupt sector, and half a sector read is no backup of it.
bool WholeSector(DriveHandle drive, std::uint32_t moved, bool write) {
  if (moved < kNvramSectorSize) {
    Print("Nvram short %s: %u of %u bytes!\n", write ? "write" : "read", moved, kNvramSectorSize);
    PrintDriveError(drive,
                    write ? ": the bridge took %u of the sector's %u bytes: the sector may now "
                            "hold part of the new one\n"
                          : ": the bridge sent %u of the sector's %u bytes: a part is no sector\n",
                    moved, kNvramSectorSize);
    return false;
  }
  return true;
}

}  // namespace

bool NvramAddressFits(std::uint32_t address) {
  // Cutting the address to 16 bits would send the sector to the wrong place.
  if (address > kMaxNvramAddress) {
    Print("Nvram ofs %x out of range!\n", address);
    PrintError(
        "the NVRAM address 0x%x (firmware units + 12) is past 0x%x, the highest an NVRAM command "
        "carries: the firmware length the bridge reports is likely wrong; nothing was sent\n",
        address, kMaxNvramAddress);
    return false;
  }
  return true;
}

bool IdentifyFirmware(DriveHandle drive, std::uint8_t* identity, FailedAnswer* answer) {
  const std::uint8_t cdb[12] = {0xE0, 0xF4, 0xE7};
  std::uint8_t reply[kIdentitySize] = {};
  std::uint32_t moved = 0;
  FailedAnswer own = {};
  answer = answer != nullptr ? answer : &own;
  if (!SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kIn, sizeof reply, reply,
                              &moved, answer)) {
    return false;
  }
  // Missing bytes would otherwise name the file and claim a ROM.
  if (moved < sizeof reply) {
    std::snprintf(answer->text, sizeof answer->text, "%u of %u bytes", moved, kIdentitySize);
    return false;
  }
  std::uint8_t any = 0;
  for (std::uint8_t b : reply) {
    any |= b;
  }
  if (any == 0) {
    std::snprintf(answer->text, sizeof answer->text, "%u zero bytes", kIdentitySize);
    return false;
  }
  std::memcpy(identity, reply, sizeof reply);
  return true;
}

bool ReadBufferDescriptor(DriveHandle drive, std::uint8_t* reply, std::uint32_t* moved) {
  const std::uint8_t cdb[10] = {0x3C, 0x03, 0x01, 0, 0, 0, 0, 0, kDescriptorReplySize, 0};
  return SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kIn, kDescriptorReplySize,
                                reply, moved);
}

bool ReadFirmwareBlock(DriveHandle drive, std::uint8_t* destination, std::uint16_t block,
                       std::uint32_t length, std::uint32_t* moved, FailedAnswer* answer) {
  const std::uint8_t cdb[10] = {0x3C,
                                0x01,
                                0x01,
                                static_cast<std::uint8_t>(block >> 8),
                                static_cast<std::uint8_t>(block),
                                0x00,
                                static_cast<std::uint8_t>(length >> 16),
                                static_cast<std::uint8_t>(length >> 8),
                                static_cast<std::uint8_t>(length),
                                0x00};
  return SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kIn, length, destination,
                                moved, answer);
}

bool ReadNvramSector(DriveHandle drive, std::uint8_t* sector, std::uint32_t address,
                     std::uint32_t timeOutSeconds) {
  if (!NvramAddressFits(address)) {
    return false;
  }
  std::uint8_t cdb[12];
  NvramCdb(cdb, false, address);
  std::uint8_t reply[kNvramSectorSize];
  std::uint32_t moved = 0;
  if (!SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kIn, kNvramSectorSize, reply,
                              &moved, nullptr, timeOutSeconds) ||
      !WholeSector(drive, moved, false)) {
    return false;
  }
  std::memcpy(sector, reply, sizeof reply);
  return true;
}

bool WriteNvramSector(DriveHandle drive, const std::uint8_t* sector, std::uint32_t address) {
  if (!NvramAddressFits(address)) {
    return false;
  }
  std::uint8_t cdb[12];
  NvramCdb(cdb, true, address);
  // An outbound exchange only reads the data, but the exchange takes one pointer for both ways.
  std::uint32_t moved = 0;
  return SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kOut, kNvramSectorSize,
                                const_cast<std::uint8_t*>(sector), &moved, nullptr,
                                kWriteTimeOutSeconds) &&
         WholeSector(drive, moved, true);
}
