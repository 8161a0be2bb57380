// Linux pass-through: the request block as an sg_io_hdr for SG_IO, and the kernel's outcome back
// in the block as Windows would report it.
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/byteorder.h"
#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace linuxplatform {

namespace {

constexpr std::uint32_t kMaxCdbLength = 16;

// Transport results of sg_io_hdr (the kernel's host and driver bytes).
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverMask = 0x0F;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

// True when [offset, offset + size) lies inside the block behind the header.
bool AreaFits(std::uint32_t offset, std::uint32_t size, std::uint32_t headerSize,
              std::uint32_t length) {
  return offset >= headerSize && offset <= length && size <= length - offset;
}

// Builds the sg_io_hdr for a request block; false when the block contradicts itself.
bool DecodeRequest(std::uint8_t* block, std::uint32_t length, sg_io_hdr_t* io) {
  const PassThroughLayout& layout = kPassThroughLayout32;
  if (block == nullptr || length < layout.headerSize ||
      GetLe(block + kLengthAt, 2) != layout.headerSize) {
    return false;
  }
  std::uint32_t cdbLength = block[kCdbLengthAt];
  std::uint32_t senseLength = block[kSenseInfoLengthAt];
  std::uint8_t dataIn = block[kDataInAt];
  std::uint32_t dataLength = GetLe(block + kDataTransferLengthAt, 4);
  std::uint32_t timeOut = GetLe(block + kTimeOutValueAt, 4);
  std::uint32_t dataAt = GetLe(block + layout.dataBufferOffsetAt, layout.dataBufferOffsetWidth);
  std::uint32_t senseAt = GetLe(block + layout.senseInfoOffsetAt, 4);
  if (cdbLength == 0 || cdbLength > kMaxCdbLength || dataIn > 1 ||
      !AreaFits(senseAt, senseLength, layout.headerSize, length) ||
      !AreaFits(dataAt, dataLength, layout.headerSize, length)) {
    return false;
  }
  std::memset(io, 0, sizeof *io);
  io->interface_id = 'S';
  io->cmdp = block + layout.cdbAt;
  io->cmd_len = static_cast<unsigned char>(cdbLength);
  if (dataLength == 0) {
    io->dxfer_direction = SG_DXFER_NONE;
  } else {
    io->dxfer_direction = dataIn == 1 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io->dxferp = block + dataAt;
  }
  io->dxfer_len = dataLength;
  io->sbp = block + senseAt;
  io->mx_sb_len = static_cast<unsigned char>(senseLength);
  io->timeout = timeOut > UINT_MAX / 1000 ? UINT_MAX : timeOut * 1000;
  return true;
}

}  // namespace

bool PassThroughOnFd(int fd, std::uint8_t* block, std::uint32_t length, std::uint32_t* error) {
  sg_io_hdr_t io;
  if (!DecodeRequest(block, length, &io)) {
    *error = EINVAL;
    return false;
  }
  if (ioctl(fd, SG_IO, &io) < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return false;
  }
  unsigned driver = io.driver_status & kDriverMask;
  if (io.host_status == kDidTimeOut || driver == kDriverTimeout) {
    *error = ETIMEDOUT;
    return false;
  }
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    *error = EIO;
    return false;
  }
  // A residue below zero or past the length asked means more moved than asked (an overflow) or
  // a count that cannot be trusted: the transfer failed, whatever the status says.
  if (io.resid < 0 || static_cast<unsigned>(io.resid) > io.dxfer_len) {
    *error = EIO;
    return false;
  }
  // On a short transfer the sg driver still copies its whole buffer back, stale bytes of earlier
  // commands included: what did not move reads as zero (the request arrives zero-filled, as on
  // Windows), and the count moved is reported as Windows does. The residue alone never makes a
  // failure: a device that failed can report none (uas after CHECK CONDITION), so the caller
  // judges the status first.
  if (io.resid > 0) {
    std::uint32_t moved = io.dxfer_len - static_cast<std::uint32_t>(io.resid);
    if (io.dxfer_direction == SG_DXFER_FROM_DEV) {
      std::memset(static_cast<std::uint8_t*>(io.dxferp) + moved, 0, io.dxfer_len - moved);
    }
    PutLe(block + kDataTransferLengthAt, moved, 4);
  }
  // The device's verdict (GOOD, CHECK CONDITION, ...) is for the caller to judge.
  block[kScsiStatusAt] = io.status;
  return true;
}

}  // namespace linuxplatform

bool PlatformPassThroughError(std::uint32_t error, char* text, std::uint32_t size) {
  if (size > 0) {
    std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error)));
  }
  return error == ETIMEDOUT;
}

const PassThroughLayout& PlatformPassThroughLayout() {
  return kPassThroughLayout32;
}

bool PlatformPassThrough(DriveHandle drive, std::uint8_t* block, std::uint32_t length,
                         std::uint32_t* error) {
  int fd = linuxplatform::PassFdOf(drive);
  if (fd < 0) {
    *error = EBADF;
    return false;
  }
  return linuxplatform::PassThroughOnFd(fd, block, length, error);
}
