// The Windows structures the backend exchanges with the storage drivers, encoded and decoded by
// offset: the SCSI_PASS_THROUGH request block (32- and 64-bit callers) and the
// STORAGE_DEVICE_DESCRIPTOR. Needs no <windows.h>, so the tests and the fuzz targets build it
// anywhere; passthrough.cpp and drives.cpp check the offsets against the system headers.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Shape of SCSI_PASS_THROUGH. Every field up to TimeOutValue sits at the same offset in both;
// DataBufferOffset is pointer-wide on 64-bit Windows, which moves the fields behind it.
struct PassThroughLayout {
  std::uint16_t headerSize;  // also the value of the Length field
  std::uint8_t dataBufferOffsetAt;
  std::uint8_t dataBufferOffsetWidth;  // 4 or 8 bytes
  std::uint8_t senseInfoOffsetAt;
  std::uint8_t cdbAt;
};
inline constexpr PassThroughLayout kPassThroughLayout32 = {44, 20, 4, 24, 28};
inline constexpr PassThroughLayout kPassThroughLayout64 = {56, 24, 8, 32, 36};

// Header field offsets that are the same in both layouts.
inline constexpr std::uint32_t kScsiStatusAt = 2;
inline constexpr std::uint32_t kCdbLengthAt = 6;
inline constexpr std::uint32_t kSenseInfoLengthAt = 7;
inline constexpr std::uint32_t kDataInAt = 8;
inline constexpr std::uint32_t kDataTransferLengthAt = 12;
inline constexpr std::uint32_t kTimeOutValueAt = 16;

// The most data one block carries, and the room a block needs for it.
inline constexpr std::uint32_t kMaxBlockData = 0x10000;
inline constexpr std::uint32_t kMaxBlockSize = 56 + kSenseSize + kMaxBlockData;

// ERROR_INVALID_DATA and ERROR_INVALID_PARAMETER.
inline constexpr std::uint32_t kErrorInvalidData = 13;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;

// Lays out `request` in `block` (room for kMaxBlockSize bytes): header, sense area, data area
// (the data copied in when it goes out), and returns the block's length; 0 when the request
// cannot be laid out. Only the bytes of the block are written; all the layout gives no value
// are zero.
std::uint32_t BuildPassThroughBlock(const PassThroughLayout& layout,
                                    const PassThroughRequest& request, std::uint8_t* block);

// Reads the device's answer out of `block` (`length` bytes, of which the driver returned
// `returned`): status, sense, the count moved and inbound data into `request.data`. Fewer bytes
// than the header are no answer at all (ERROR_INVALID_DATA); inbound data counts only as far as
// it came back; outbound, the drivers return the header and sense alone and the header's count is
// the device's word.
PassThroughResult ReadPassThroughReply(const PassThroughLayout& layout, const std::uint8_t* block,
                                       std::uint32_t length, std::uint32_t returned,
                                       const PassThroughRequest& request);

// STORAGE_DEVICE_DESCRIPTOR: the area it is read into, its fields and its size before the texts.
inline constexpr std::uint32_t kDescriptorAreaSize = 4096;
inline constexpr std::uint32_t kVendorIdOffsetField = 12;
inline constexpr std::uint32_t kProductIdOffsetField = 16;
inline constexpr std::uint32_t kSerialNumberOffsetField = 24;
inline constexpr std::uint32_t kBusTypeField = 28;
inline constexpr std::uint32_t kDescriptorHeaderSize = 40;

// Fills `identity` (vendor, product, serial, bus; no USB IDs) from a descriptor `area`
// (kDescriptorAreaSize bytes) of which the system returned `returned`. A text is read only inside
// both the count and the area: an offset of 0 or outside them gives an empty text, and a text with
// no terminator inside them is cut there.
void ParseStorageDescriptor(const std::uint8_t* area, std::uint32_t returned,
                            DriveIdentity* identity);
