// Windows pass-through: the request block goes to the drive as it is, with IOCTL_SCSI_PASS_THROUGH.
// winioctl.h needs windows.h first.
#include "platform/win32/win32.h"

#include <winioctl.h>
// ntddscsi.h needs windows.h and winioctl.h first.
#include <ntddscsi.h>

#include <cstddef>

#include "platform/platform.h"

namespace {

// The portable code builds the request block by offset; these are the layouts it assumes, checked
// against the system headers of the build.
constexpr const PassThroughLayout& kNativeLayout =
    sizeof(void*) == 8 ? kPassThroughLayout64 : kPassThroughLayout32;

static_assert(sizeof(SCSI_PASS_THROUGH) == kNativeLayout.headerSize);
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kNativeLayout.dataBufferOffsetAt);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == kNativeLayout.dataBufferOffsetWidth);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == kNativeLayout.senseInfoOffsetAt);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kNativeLayout.cdbAt);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == 16);
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);

}  // namespace

const PassThroughLayout& PlatformPassThroughLayout() {
  return kNativeLayout;
}

bool PlatformPassThroughError(std::uint32_t error, char* text, std::uint32_t size) {
  SystemErrorText(error, text, size);
  // USB pass-through reports a device time-out as ERROR_SEM_TIMEOUT.
  return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT;
}

bool PlatformPassThrough(DriveHandle drive, std::uint8_t* block, std::uint32_t length,
                         std::uint32_t* error) {
  DWORD got = 0;
  if (!DeviceIoControl(AsHandle(drive), IOCTL_SCSI_PASS_THROUGH, block, length, block, length, &got,
                       nullptr)) {
    *error = GetLastError();
    return false;
  }
  return true;
}
