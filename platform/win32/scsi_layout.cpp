#include "platform/win32/scsi_layout.h"

#include <cstring>

#include "base/byteorder.h"

namespace {

// Copies the zero-terminated text whose offset stands at byte `offsetField` of `area` into
// `text` (kIdentityTextSize bytes), reading only below `limit`.
void ReadDescriptorText(const std::uint8_t* area, std::uint32_t limit, std::uint32_t offsetField,
                        char* text) {
  text[0] = '\0';
  if (offsetField + 4 > limit) {
    return;
  }
  std::uint32_t offset = GetLe(area + offsetField, 4);
  if (offset == 0 || offset >= limit) {
    return;
  }
  std::size_t n = 0;
  for (std::uint32_t at = offset; at < limit && area[at] != 0 && n + 1 < kIdentityTextSize; ++at) {
    text[n++] = static_cast<char>(area[at]);
  }
  text[n] = '\0';
}

}  // namespace

std::uint32_t BuildPassThroughBlock(const PassThroughLayout& layout,
                                    const PassThroughRequest& request, std::uint8_t* block) {
  if (request.length > kMaxBlockData || request.cdbLength > kMaxCdbLength ||
      (request.length > 0 && request.data == nullptr)) {
    return 0;
  }
  const std::uint32_t senseAt = layout.headerSize;
  const std::uint32_t dataAt = layout.headerSize + kSenseSize;
  const std::uint32_t length = dataAt + request.length;
  std::memset(block, 0, length);
  if (request.direction == DataDirection::kOut && request.length > 0) {
    std::memcpy(block + dataAt, request.data, request.length);
  }
  PutLe(block, layout.headerSize, 2);
  block[kCdbLengthAt] = request.cdbLength;
  block[kSenseInfoLengthAt] = kSenseSize;
  block[kDataInAt] = request.direction == DataDirection::kIn ? 1 : 0;
  PutLe(block + kDataTransferLengthAt, request.length, 4);
  PutLe(block + kTimeOutValueAt, request.timeOutSeconds, 4);
  PutLe(block + layout.dataBufferOffsetAt, dataAt, layout.dataBufferOffsetWidth);
  PutLe(block + layout.senseInfoOffsetAt, senseAt, 4);
  std::memcpy(block + layout.cdbAt, request.cdb, request.cdbLength);
  return length;
}

PassThroughResult ReadPassThroughReply(const PassThroughLayout& layout, const std::uint8_t* block,
                                       std::uint32_t length, std::uint32_t returned,
                                       const PassThroughRequest& request) {
  PassThroughResult result = {};
  // Without the whole header the status and the count read are the tool's own prefilled values.
  if (returned < layout.headerSize || returned > length) {
    result.error = kErrorInvalidData;
    return result;
  }
  const std::uint32_t dataAt = layout.headerSize + kSenseSize;
  result.sent = true;
  result.status = block[kScsiStatusAt];
  std::memcpy(result.sense, block + layout.headerSize, kSenseSize);
  result.moved = GetLe(block + kDataTransferLengthAt, 4);
  if (request.direction == DataDirection::kIn) {
    const std::uint32_t came = returned > dataAt ? returned - dataAt : 0;
    result.moved = result.moved < came ? result.moved : came;
    if (request.length > 0) {
      std::memcpy(request.data, block + dataAt, request.length);
    }
  }
  return result;
}

void ParseStorageDescriptor(const std::uint8_t* area, std::uint32_t returned,
                            DriveIdentity* identity) {
  const std::uint32_t limit = returned < kDescriptorAreaSize ? returned : kDescriptorAreaSize;
  ReadDescriptorText(area, limit, kVendorIdOffsetField, identity->vendor);
  ReadDescriptorText(area, limit, kProductIdOffsetField, identity->product);
  // Some drivers give an offset of -1 for no serial: it lies outside the area, so no text.
  ReadDescriptorText(area, limit, kSerialNumberOffsetField, identity->serial);
  identity->usbIdsKnown = false;
  identity->bus = area[kBusTypeField];
}
