// Windows pass-through: the request laid out as a SCSI_PASS_THROUGH block of the exe's own width
// (scsi_layout.cpp), sent with IOCTL_SCSI_PASS_THROUGH.
// winioctl.h needs windows.h first.
#include "platform/win32/win32.h"

#include <winioctl.h>
// ntddscsi.h needs windows.h and winioctl.h first.
#include <ntddscsi.h>

#include <cstddef>

#include "platform/platform.h"
#include "platform/win32/scsi_layout.h"

namespace {

// The block is built by offset; these are the layouts it assumes, checked against the system
// headers of the build.
constexpr const PassThroughLayout& kNativeLayout =
    sizeof(void*) == 8 ? kPassThroughLayout64 : kPassThroughLayout32;

static_assert(sizeof(SCSI_PASS_THROUGH) == kNativeLayout.headerSize);
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == kScsiStatusAt);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == kCdbLengthAt);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == kSenseInfoLengthAt);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == kDataInAt);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == kDataTransferLengthAt);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == kTimeOutValueAt);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kNativeLayout.dataBufferOffsetAt);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == kNativeLayout.dataBufferOffsetWidth);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == kNativeLayout.senseInfoOffsetAt);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kNativeLayout.cdbAt);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == 16);
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(ERROR_INVALID_DATA == kErrorInvalidData);
static_assert(ERROR_INVALID_PARAMETER == kErrorInvalidParameter);

// The block of one exchange at a time; kept static so the 64 KiB data area is not on the stack.
std::uint8_t g_block[kMaxBlockSize];

// ERROR_NO_SUCH_DEVICE, which mingw-w64's winerror.h lacks.
constexpr DWORD kErrorNoSuchDevice = 433;

PassThroughResult Unsent(DWORD code) {
  PassThroughResult result = {};
  result.error = code;
  // USB pass-through reports a device time-out as ERROR_SEM_TIMEOUT.
  result.timedOut = code == ERROR_SEM_TIMEOUT || code == ERROR_TIMEOUT;
  // A handle whose device was unplugged or removed fails with one of these.
  result.deviceGone = code == ERROR_DEVICE_NOT_CONNECTED || code == kErrorNoSuchDevice ||
                      code == ERROR_DEV_NOT_EXIST;
  SystemErrorText(code, result.errorText, sizeof result.errorText);
  return result;
}

}  // namespace

PassThroughResult PlatformPassThrough(DriveHandle drive, const PassThroughRequest& request) {
  const std::uint32_t length = BuildPassThroughBlock(kNativeLayout, request, g_block);
  if (length == 0) {
    return Unsent(ERROR_INVALID_PARAMETER);
  }
  DWORD got = 0;
  if (!DeviceIoControl(AsHandle(drive), IOCTL_SCSI_PASS_THROUGH, g_block, length, g_block, length,
                       &got, nullptr)) {
    return Unsent(GetLastError());
  }
  PassThroughResult result = ReadPassThroughReply(kNativeLayout, g_block, length, got, request);
  return result.sent ? result : Unsent(result.error);
}
