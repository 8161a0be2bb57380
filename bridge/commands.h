// The five commands the bridge answers, each one pass-through exchange on the working handle.
#pragma once

#include <cstdint>

#include "bridge/platform.h"

inline constexpr std::uint32_t kIdentitySize = 16;
inline constexpr std::uint32_t kDescriptorReplySize = 4;
inline constexpr std::uint32_t kNvramSectorSize = 512;
inline constexpr std::uint32_t kMaxNvramAddress = 0xFFFF;

// Fails, without a message of its own, when the reply is all zero.
bool IdentifyFirmware(DriveHandle drive, std::uint8_t* identity);
bool ReadBufferDescriptor(DriveHandle drive, std::uint8_t* reply);
// `block` is the buffer offset in 256-byte units; `length` is in bytes.
bool ReadFirmwareBlock(DriveHandle drive, std::uint8_t* destination, std::uint16_t block,
                       std::uint32_t length);
// An address above 0xFFFF cannot be carried in the command: refused, nothing sent.
bool ReadNvramSector(DriveHandle drive, std::uint8_t* sector, std::uint32_t address);
bool WriteNvramSector(DriveHandle drive, const std::uint8_t* sector, std::uint32_t address);
