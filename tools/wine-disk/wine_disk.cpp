// winedisk.sys: test equipment for the end-to-end VM, never shipped. A kernel driver for Wine's
// winedevice.exe that gives \\.\PhysicalDrive0..7 the face of Windows disks over Linux SCSI
// generic nodes, so that jmreader.exe meets under Wine the answers Windows gives:
//  - drive N exists when the service key has a value BusTypeN (7 USB, 11 SATA, ...); opening it
//    opens \??\winediskN, which the test links as <prefix>/dosdevices/winediskN to a /dev/sgX node;
//  - IOCTL_STORAGE_QUERY_PROPERTY, which Wine 8 fails with error 50: the device descriptor made
//    from an INQUIRY, its texts as the device sent them (space-padded), and that bus type; the
//    serial number is the service key's value SerialN when there is one (Windows' USB storage
//    driver reports the device's USB serial string there);
//  - IOCTL_SCSI_PASS_THROUGH in the caller's layout (44 bytes from a 32-bit process, 56 from a
//    64-bit one). Wine carries it to SG_IO but drops SG_IO's host status, so a time-out or a
//    transport error comes back as a GOOD command that moved nothing. Such a command fails here
//    the way Windows' USB storage stack fails it: ERROR_SEM_TIMEOUT (121) when it took its whole
//    TimeOutValue, else ERROR_IO_DEVICE (1117). A device that truly answers a data command with
//    GOOD and no data is misreported; the bridge's commands always move data;
//  - the service key's value ReturnedN, when a test sets it, caps the bytes a pass-through on
//    drive N gives back, like a driver or filter that returns fewer than it moved.
// Only the header, the sense bytes and the data that came are copied back, as on Windows: past a
// short transfer SG_IO leaves stale bytes of its own buffer.
// The driver kit's wdm.h defines these two itself; in C++ the compiler's intrinsic definitions
// would clash with them.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

namespace {

constexpr ULONG kDrives = 8;
constexpr ULONG kQueryProperty = 0x2D1400;  // IOCTL_STORAGE_QUERY_PROPERTY
constexpr ULONG kPassThrough = 0x4D004;     // IOCTL_SCSI_PASS_THROUGH
constexpr ULONG kStorageDeviceProperty = 0;
constexpr ULONG kStandardQuery = 0;
constexpr ULONG kExistsQuery = 1;
constexpr ULONG kPoolTag = 0x6B736457;  // "Wdsk" in a pool dump

// SCSI_PASS_THROUGH, whose DataBufferOffset is pointer-wide: of a 64-bit and of a 32-bit process.
template <typename Offset>
struct Block {
  USHORT length;
  UCHAR scsiStatus, pathId, targetId, lun, cdbLength, senseInfoLength, dataIn;
  ULONG dataTransferLength, timeOutValue;
  Offset dataBufferOffset;
  ULONG senseInfoOffset;
  UCHAR cdb[16];
};
using Block64 = Block<ULONG64>;
using Block32 = Block<ULONG>;
static_assert(sizeof(Block64) == 56 && __builtin_offsetof(Block64, cdb) == 36);
static_assert(sizeof(Block32) == 44 && __builtin_offsetof(Block32, cdb) == 28);

// STORAGE_DEVICE_DESCRIPTOR with room for the three INQUIRY texts.
struct Descriptor {
  ULONG version, size;
  UCHAR deviceType, deviceTypeModifier, removableMedia, commandQueueing;
  ULONG vendorIdOffset, productIdOffset, productRevisionOffset, serialNumberOffset;
  ULONG busType, rawPropertiesLength;
  UCHAR rawDeviceProperties[4];
  char vendor[9], product[17], revision[5], serial[33];
};
static_assert(__builtin_offsetof(Descriptor, busType) == 28 &&
              __builtin_offsetof(Descriptor, vendor) == 40);

ULONG g_busType[kDrives];    // 0: no such drive
char g_serial[kDrives][33];  // "": none
DEVICE_OBJECT* g_devices[kDrives];
WCHAR g_serviceKeyText[256];  // the service's registry key, read again for every pass-through
UNICODE_STRING g_serviceKey;

struct DriveExtension {
  ULONG number;
  UNICODE_STRING link;
  WCHAR linkText[32];
};

void NumberedName(WCHAR* out, const WCHAR* stem, ULONG number) {
  ULONG i = 0;
  for (; stem[i] != 0; ++i) {
    out[i] = stem[i];
  }
  out[i++] = static_cast<WCHAR>(L'0' + number);
  out[i] = 0;
}

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

ULONG Larger(ULONG a, ULONG b) {
  return a > b ? a : b;
}

bool Within(ULONG offset, ULONG size, ULONG length) {
  return offset <= length && size <= length - offset;
}

// Sends one native block of `length` bytes (header, sense area, data area) to the target node.
NTSTATUS Forward(HANDLE target, Block64* block, ULONG length) {
  const ULONG asked = block->dataTransferLength;
  LARGE_INTEGER frequency;
  const LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
  IO_STATUS_BLOCK io;
  NTSTATUS status = ZwDeviceIoControlFile(target, nullptr, nullptr, nullptr, &io, kPassThrough,
                                          block, length, block, length);
  const LONGLONG took = KeQueryPerformanceCounter(nullptr).QuadPart - start;
  if (NT_SUCCESS(status) && asked > 0 && block->dataTransferLength == 0 && block->scsiStatus == 0) {
    const bool timedOut = took >= static_cast<LONGLONG>(block->timeOutValue) * frequency.QuadPart;
    status = timedOut ? STATUS_IO_TIMEOUT : STATUS_IO_DEVICE_ERROR;
  }
  return status;
}

bool QueryDword(HANDLE key, const WCHAR* name, ULONG* value) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 4];
  } reply;
  ULONG got = 0;
  if (!NT_SUCCESS(
          ZwQueryValueKey(key, &text, KeyValuePartialInformation, &reply, sizeof reply, &got)) ||
      reply.info.Type != REG_DWORD || reply.info.DataLength != 4) {
    return false;
  }
  RtlCopyMemory(value, reply.info.Data, 4);
  return true;
}

// A REG_SZ value of ASCII characters, cut to fit `size` bytes with its zero.
void QueryText(HANDLE key, const WCHAR* name, char* out, ULONG size) {
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64 * sizeof(WCHAR)];
  } reply;
  ULONG got = 0;
  if (!NT_SUCCESS(
          ZwQueryValueKey(key, &text, KeyValuePartialInformation, &reply, sizeof reply, &got)) ||
      reply.info.Type != REG_SZ) {
    return;
  }
  const auto* wide = reinterpret_cast<const WCHAR*>(reply.info.Data);
  const ULONG length = reply.info.DataLength / sizeof(WCHAR);
  ULONG n = 0;
  for (; n + 1 < size && n < length && wide[n] != 0; ++n) {
    out[n] = static_cast<char>(wide[n]);
  }
  out[n] = 0;
}

HANDLE OpenServiceKey() {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &g_serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  return NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)) ? key : nullptr;
}

// The most bytes a pass-through on drive `number` gives back: the value ReturnedN of the service
// key when the test has set it (a driver or filter that returns too few), else no limit.
ULONG ReturnedLimit(ULONG number) {
  ULONG limit = ~0u;
  HANDLE key = OpenServiceKey();
  if (key != nullptr) {
    WCHAR name[16];
    NumberedName(name, L"Returned", number);
    QueryDword(key, name, &limit);
    ZwClose(key);
  }
  return limit;
}

// The caller's block, either layout, and what it sends, run as a native block of its own.
template <typename Caller>
NTSTATUS PassThroughAs(HANDLE target, UCHAR* buffer, ULONG inLength, ULONG outLength,
                       ULONG_PTR* information) {
  const ULONG area = Larger(inLength, outLength);
  if (inLength < sizeof(Caller)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* caller = reinterpret_cast<Caller*>(buffer);
  const ULONG dataAt = static_cast<ULONG>(caller->dataBufferOffset);
  const ULONG dataLength = caller->dataTransferLength;
  const ULONG senseLength = caller->senseInfoLength;
  if (caller->length != sizeof(Caller) || caller->cdbLength > 16 ||
      caller->dataBufferOffset != dataAt || (dataLength > 0 && !Within(dataAt, dataLength, area)) ||
      (senseLength > 0 && !Within(caller->senseInfoOffset, senseLength, outLength))) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG total = sizeof(Block64) + senseLength + dataLength;
  auto* native = static_cast<Block64*>(ExAllocatePoolWithTag(NonPagedPool, total, kPoolTag));
  if (native == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(native, total);
  auto* bytes = reinterpret_cast<UCHAR*>(native);
  native->length = sizeof(Block64);
  native->cdbLength = caller->cdbLength;
  native->senseInfoLength = caller->senseInfoLength;
  native->dataIn = caller->dataIn;
  native->dataTransferLength = dataLength;
  native->timeOutValue = caller->timeOutValue;
  native->senseInfoOffset = sizeof(Block64);
  native->dataBufferOffset = sizeof(Block64) + senseLength;
  RtlCopyMemory(native->cdb, caller->cdb, sizeof native->cdb);
  if (caller->dataIn == 0 && dataLength > 0) {
    RtlCopyMemory(bytes + native->dataBufferOffset, buffer + dataAt, dataLength);
  }
  NTSTATUS status = Forward(target, native, total);
  if (NT_SUCCESS(status)) {
    caller->scsiStatus = native->scsiStatus;
    caller->senseInfoLength = native->senseInfoLength;
    caller->dataTransferLength = native->dataTransferLength;
    ULONG end = sizeof(Caller);
    if (native->senseInfoLength > 0) {
      RtlCopyMemory(buffer + caller->senseInfoOffset, bytes + native->senseInfoOffset,
                    native->senseInfoLength);
      end = Larger(end, caller->senseInfoOffset + native->senseInfoLength);
    }
    if (caller->dataIn == 1 && native->dataTransferLength > 0) {
      RtlCopyMemory(buffer + dataAt, bytes + native->dataBufferOffset, native->dataTransferLength);
      end = Larger(end, dataAt + native->dataTransferLength);
    }
    *information = end < outLength ? end : outLength;
  }
  ExFreePoolWithTag(native, kPoolTag);
  return status;
}

// An INQUIRY text field as the device sent it, ended by a zero.
void CopyText(char* out, const UCHAR* field, ULONG size) {
  RtlCopyMemory(out, field, size);
  out[size] = 0;
}

NTSTATUS QueryProperty(ULONG number, HANDLE target, UCHAR* buffer, ULONG inLength, ULONG outLength,
                       ULONG_PTR* information) {
  if (inLength < 12) {
    return STATUS_INVALID_PARAMETER;
  }
  const auto* query = reinterpret_cast<const ULONG*>(buffer);
  if (query[0] != kStorageDeviceProperty ||
      (query[1] != kStandardQuery && query[1] != kExistsQuery)) {
    return STATUS_NOT_SUPPORTED;
  }
  if (query[1] == kExistsQuery) {
    return STATUS_SUCCESS;
  }
  if (outLength < 8) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  struct {
    Block64 header;
    UCHAR sense[32];
    UCHAR data[36];
  } inquiry = {};
  inquiry.header.length = sizeof(Block64);
  inquiry.header.cdbLength = 6;
  inquiry.header.senseInfoLength = sizeof inquiry.sense;
  inquiry.header.dataIn = 1;
  inquiry.header.dataTransferLength = sizeof inquiry.data;
  inquiry.header.timeOutValue = 2;
  inquiry.header.senseInfoOffset = __builtin_offsetof(decltype(inquiry), sense);
  inquiry.header.dataBufferOffset = __builtin_offsetof(decltype(inquiry), data);
  inquiry.header.cdb[0] = 0x12;
  inquiry.header.cdb[4] = sizeof inquiry.data;
  NTSTATUS status = Forward(target, &inquiry.header, sizeof inquiry);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (inquiry.header.scsiStatus != 0 || inquiry.header.dataTransferLength < 36) {
    return STATUS_IO_DEVICE_ERROR;
  }
  Descriptor d = {};
  d.version = 40;
  d.size = sizeof d;
  d.deviceType = inquiry.data[0] & 0x1F;
  d.deviceTypeModifier = inquiry.data[1] & 0x7F;
  d.removableMedia = (inquiry.data[1] & 0x80) != 0;
  d.vendorIdOffset = __builtin_offsetof(Descriptor, vendor);
  d.productIdOffset = __builtin_offsetof(Descriptor, product);
  d.productRevisionOffset = __builtin_offsetof(Descriptor, revision);
  d.busType = g_busType[number];
  if (g_serial[number][0] != 0) {
    d.serialNumberOffset = __builtin_offsetof(Descriptor, serial);
    RtlCopyMemory(d.serial, g_serial[number], sizeof d.serial);
  }
  CopyText(d.vendor, inquiry.data + 8, 8);
  CopyText(d.product, inquiry.data + 16, 16);
  CopyText(d.revision, inquiry.data + 32, 4);
  const ULONG n = outLength < sizeof d ? outLength : sizeof d;
  RtlCopyMemory(buffer, &d, n);
  *information = n;
  return STATUS_SUCCESS;
}

NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  const auto* drive = static_cast<const DriveExtension*>(device->DeviceExtension);
  WCHAR name[32];
  NumberedName(name, L"\\??\\winedisk", drive->number);
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE target = nullptr;
  IO_STATUS_BLOCK io;
  NTSTATUS status =
      ZwCreateFile(&target, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr,
                   0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  if (NT_SUCCESS(status)) {
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = target;
  }
  return Complete(irp, status, 0);
}

NTSTATUS DispatchClose(DEVICE_OBJECT*, IRP* irp) {
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (file != nullptr && file->FsContext != nullptr) {
    ZwClose(file->FsContext);
    file->FsContext = nullptr;
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
  const auto* drive = static_cast<const DriveExtension*>(device->DeviceExtension);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  HANDLE target = stack->FileObject != nullptr ? stack->FileObject->FsContext : nullptr;
  auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG_PTR information = 0;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  if (target == nullptr || buffer == nullptr) {
    status = STATUS_INVALID_PARAMETER;
  } else if (stack->Parameters.DeviceIoControl.IoControlCode == kQueryProperty) {
    status = QueryProperty(drive->number, target, buffer, inLength, outLength, &information);
  } else if (stack->Parameters.DeviceIoControl.IoControlCode == kPassThrough) {
    status = IoIs32bitProcess(irp)
                 ? PassThroughAs<Block32>(target, buffer, inLength, outLength, &information)
                 : PassThroughAs<Block64>(target, buffer, inLength, outLength, &information);
    const ULONG limit = ReturnedLimit(drive->number);
    if (information > limit) {
      information = limit;
    }
  }
  return Complete(irp, status, information);
}

void ReadBusTypes() {
  HANDLE key = OpenServiceKey();
  if (key == nullptr) {
    return;
  }
  for (ULONG n = 0; n < kDrives; ++n) {
    WCHAR name[16];
    NumberedName(name, L"BusType", n);
    QueryDword(key, name, &g_busType[n]);
    NumberedName(name, L"Serial", n);
    QueryText(key, name, g_serial[n], sizeof g_serial[n]);
  }
  ZwClose(key);
}

void Unload(DRIVER_OBJECT*) {
  for (DEVICE_OBJECT*& device : g_devices) {
    if (device != nullptr) {
      IoDeleteSymbolicLink(&static_cast<DriveExtension*>(device->DeviceExtension)->link);
      IoDeleteDevice(device);
      device = nullptr;
    }
  }
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  g_serviceKey.Buffer = g_serviceKeyText;
  g_serviceKey.MaximumLength = sizeof g_serviceKeyText;
  RtlCopyUnicodeString(&g_serviceKey, registryPath);
  ReadBusTypes();
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = Unload;
  for (ULONG n = 0; n < kDrives; ++n) {
    if (g_busType[n] == 0) {
      continue;
    }
    WCHAR name[32];
    NumberedName(name, L"\\Device\\WineDisk", n);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    DEVICE_OBJECT* device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(DriveExtension), &deviceName, FILE_DEVICE_DISK, 0,
                                   FALSE, &device))) {
      return STATUS_UNSUCCESSFUL;
    }
    g_devices[n] = device;
    auto* drive = static_cast<DriveExtension*>(device->DeviceExtension);
    drive->number = n;
    NumberedName(drive->linkText, L"\\??\\PhysicalDrive", n);
    RtlInitUnicodeString(&drive->link, drive->linkText);
    // Wine's mount manager names a disk of its own PhysicalDrive0, and Wine keeps an existing
    // link when asked to make it anew: the test's drives replace it.
    IoDeleteSymbolicLink(&drive->link);
    IoCreateSymbolicLink(&drive->link, &deviceName);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return STATUS_SUCCESS;
}
