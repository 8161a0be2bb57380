// Windows pass-through: the request block goes to the drive as it is, with IOCTL_SCSI_PASS_THROUGH.
// winioctl.h needs windows.h first.
#include "platform/win32/win32.h"

#include <winioctl.h>
// ntddscsi.h needs windows.h and winioctl.h first.
#include <ntddscsi.h>

#include <cstddef>

#include "base/byteorder.h"
#include "platform/platform.h"
#include "platform/win32/backend.h"

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

bool TakeReturnedCount(const PassThroughLayout& layout, std::uint8_t* block, std::uint32_t length,
                       std::uint32_t returned, std::uint32_t* error) {
  // Without the whole header the status and the count read are the tool's own prefilled values.
  if (returned < layout.headerSize || returned > length) {
    *error = ERROR_INVALID_DATA;
    return false;
  }
  // Inbound data counts only as far as it came back. Outbound, the port drivers return the header
  // and sense alone, and the header's count is the device's word.
  if (block[kDataInAt] == SCSI_IOCTL_DATA_IN) {
    const std::uint32_t dataAt =
        GetLe(block + layout.dataBufferOffsetAt, layout.dataBufferOffsetWidth);
    const std::uint32_t came = returned > dataAt ? returned - dataAt : 0;
    if (GetLe(block + kDataTransferLengthAt, 4) > came) {
      PutLe(block + kDataTransferLengthAt, came, 4);
    }
  }
  return true;
}

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
  return TakeReturnedCount(kNativeLayout, block, length, got, error);
}
