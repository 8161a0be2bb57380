// The five commands the bridge answers, each one pass-through exchange on the working handle.
#pragma once

#include <cstdint>

#include "bridge/passthrough.h"
#include "platform/platform.h"

inline constexpr std::uint32_t kIdentitySize = 16;
inline constexpr std::uint32_t kDescriptorReplySize = 4;
inline constexpr std::uint32_t kNvramSectorSize = 512;
inline constexpr std::uint32_t kMaxNvramAddress = 0xFFFF;

// Fails, without a message of its own, when the reply is all zero or not all of it arrived. When
// it fails, `answer` (when given) receives what came back: the request's failure, "15 of 16
// bytes" or "16 zero bytes".
bool IdentifyFirmware(DriveHandle drive, std::uint8_t* identity, FailedAnswer* answer = nullptr);
// `moved`, when given, receives the number of reply bytes the device delivered.
bool ReadBufferDescriptor(DriveHandle drive, std::uint8_t* reply, std::uint32_t* moved = nullptr);
// `block` is the buffer offset in 256-byte units; `length` is in bytes. `moved`, when given,
// receives the number of bytes the device delivered; `answer`, when given, what came back for a
// failed request.
bool ReadFirmwareBlock(DriveHandle drive, std::uint8_t* destination, std::uint16_t block,
                       std::uint32_t length, std::uint32_t* moved = nullptr,
                       FailedAnswer* answer = nullptr);

// Whether `address` can be carried in an NVRAM command; prints the refusal when it cannot.
bool NvramAddressFits(std::uint32_t address);
// An address above 0xFFFF is refused, nothing sent. A sector that does not move whole fails, with
// a line of its own, and the read leaves `sector` untouched. The write, and the read right after
// it, take kWriteTimeOutSeconds.
bool ReadNvramSector(DriveHandle drive, std::uint8_t* sector, std::uint32_t address,
                     std::uint32_t timeOutSeconds = kReadTimeOutSeconds);
bool WriteNvramSector(DriveHandle drive, const std::uint8_t* sector, std::uint32_t address);
