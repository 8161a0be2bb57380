// Linux pass-through: the request as an sg_io_hdr for SG_IO, and the kernel's outcome sorted into
// the result.
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace linuxplatform {

namespace {

// Transport results of sg_io_hdr (the kernel's host and driver bytes).
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverMask = 0x0F;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

PassThroughResult Unsent(int code) {
  PassThroughResult result = {};
  result.error = static_cast<std::uint32_t>(code);
  result.timedOut = code == ETIMEDOUT;
  // sg and sd answer ENODEV or ENXIO once the device has been detached; a descriptor that went
  // bad is no device either.
  result.deviceGone = code == ENODEV || code == ENXIO || code == EBADF;
  std::snprintf(result.errorText, sizeof result.errorText, "%s", std::strerror(code));
  return result;
}

}  // namespace

PassThroughResult PassThroughOnFd(int fd, const PassThroughRequest& request) {
  if (request.cdbLength == 0 || request.cdbLength > kMaxCdbLength ||
      (request.length > 0 && request.data == nullptr)) {
    return Unsent(EINVAL);
  }
  PassThroughResult result = {};
  std::uint8_t cdb[kMaxCdbLength];
  std::memcpy(cdb, request.cdb, sizeof cdb);
  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmdp = cdb;
  io.cmd_len = request.cdbLength;
  if (request.length == 0) {
    io.dxfer_direction = SG_DXFER_NONE;
  } else {
    io.dxfer_direction =
        request.direction == DataDirection::kIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io.dxferp = request.data;
  }
  io.dxfer_len = request.length;
  io.sbp = result.sense;
  io.mx_sb_len = sizeof result.sense;
  std::uint32_t timeOut = request.timeOutSeconds;
  io.timeout = timeOut > UINT_MAX / 1000 ? UINT_MAX : timeOut * 1000;
  if (ioctl(fd, SG_IO, &io) < 0) {
    return Unsent(errno);
  }
  unsigned driver = io.driver_status & kDriverMask;
  if (io.host_status == kDidTimeOut || driver == kDriverTimeout) {
    return Unsent(ETIMEDOUT);
  }
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    return Unsent(EIO);
  }
  // A residue below zero or past the length asked means more moved than asked (an overflow) or
  // a count that cannot be trusted: the transfer failed, whatever the status says.
  if (io.resid < 0 || static_cast<unsigned>(io.resid) > io.dxfer_len) {
    return Unsent(EIO);
  }
  // On a short transfer the sg driver still copies its whole buffer back, stale bytes of earlier
  // commands included: what did not move reads as zero (the data arrives zero-filled, as on
  // Windows). The residue alone never makes a failure: a device that failed can report none (uas
  // after CHECK CONDITION), so the caller judges the status first.
  result.moved = io.dxfer_len - static_cast<std::uint32_t>(io.resid);
  if (io.dxfer_direction == SG_DXFER_FROM_DEV) {
    std::memset(request.data + result.moved, 0, io.dxfer_len - result.moved);
  }
  // The device's verdict (GOOD, CHECK CONDITION, ...) is for the caller to judge.
  result.sent = true;
  result.status = io.status;
  return result;
}

}  // namespace linuxplatform

PassThroughResult PlatformPassThrough(DriveHandle drive, const PassThroughRequest& request) {
  int fd = linuxplatform::PassFdOf(drive);
  return fd < 0 ? linuxplatform::Unsent(EBADF) : linuxplatform::PassThroughOnFd(fd, request);
}
