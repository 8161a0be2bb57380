// Windows backend of the platform seam: physical drives through DeviceIoControl and the version
// query; pass-through is in passthrough.cpp, the console keys in keys.cpp, host files in files.cpp.
// Builds with MinGW-w64 and MSVC, 32 and 64 bits.
// winioctl.h needs windows.h first.
#include "platform/win32/win32.h"

#include <winioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/scsi_layout.h"

namespace {

static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == kVendorIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == kProductIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == kSerialNumberOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == kBusTypeField);
static_assert(BusTypeUsb == kBusTypeUsb && BusTypeScsi == kBusTypeScsi &&
              BusTypeSata == kBusTypeSata);

static_assert(sizeof(OSVERSIONINFOEXA) == 156 && sizeof(OSVERSIONINFOA) == 148);
static_assert(sizeof(OSVERSIONINFOEXA::szCSDVersion) == sizeof(OsVersion::text));

// "\\.\PhysicalDrive-2147483648" is the longest name.
constexpr std::size_t kDrivePathSize = 32;

void DrivePath(std::int32_t number, char* path) {
  std::snprintf(path, kDrivePathSize, "\\\\.\\PhysicalDrive%d", static_cast<int>(number));
}

// The drives open at a time, so that a failed query can name its drive.
struct OpenDrive {
  DriveHandle handle;
  std::int32_t number;
};
constexpr int kOpenDrives = 4;
OpenDrive g_open[kOpenDrives] = {{kInvalidDriveHandle, 0},
                                 {kInvalidDriveHandle, 0},
                                 {kInvalidDriveHandle, 0},
                                 {kInvalidDriveHandle, 0}};

// Whether the process runs with an administrator's full rights; then a refusal has another cause.
bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD got = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &got) != 0 &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

// The failure of error `code` on `device`, sorted by kind; only an open can find no drive.
DriveError FailureOf(const char* device, DWORD code, bool opening) {
  DriveError error = {DriveFault::kFailed, {}, {}};
  if (opening && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)) {
    error.fault = DriveFault::kNoDrive;
  } else if (code == ERROR_ACCESS_DENIED && !Elevated()) {
    error.fault = DriveFault::kNoRights;
  } else if (code == ERROR_SHARING_VIOLATION) {
    error.fault = DriveFault::kBusy;
  }
  std::snprintf(error.device, sizeof error.device, "%s", device);
  SystemErrorText(code, error.text, sizeof error.text);
  return error;
}

// One reply area serves every query: the tool runs them one at a time.
std::uint8_t g_area[kDescriptorAreaSize];

}  // namespace

const char kPlatformRightsHint[] = " (run as administrator)";

DriveOpening PlatformOpenDrive(std::int32_t number, bool exclusive) {
  char path[kDrivePathSize];
  DrivePath(number, path);
  // The descriptor query needs no access rights: a probe that asked for any would fail where a
  // policy denies writes to removable disks, and would keep another tool's exclusive open out.
  const DWORD access = exclusive ? GENERIC_READ | GENERIC_WRITE : 0;
  const DWORD share = exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD flags = exclusive ? FILE_ATTRIBUTE_NORMAL : 0;
  HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
  // INVALID_HANDLE_VALUE is -1, the same value as kInvalidDriveHandle.
  DriveHandle drive = reinterpret_cast<DriveHandle>(handle);
  if (drive == kInvalidDriveHandle) {
    return {drive, FailureOf(path, GetLastError(), true)};
  }
  for (OpenDrive& open : g_open) {
    if (open.handle == kInvalidDriveHandle) {
      open = {drive, number};
      break;
    }
  }
  return {drive, {}};
}

void PlatformCloseDrive(DriveHandle drive) {
  for (OpenDrive& open : g_open) {
    if (open.handle == drive) {
      open.handle = kInvalidDriveHandle;
    }
  }
  CloseHandle(AsHandle(drive));
}

void PlatformDriveName(DriveHandle drive, char* text, std::uint32_t size) {
  for (const OpenDrive& open : g_open) {
    if (open.handle == drive && drive != kInvalidDriveHandle) {
      char path[kDrivePathSize];
      DrivePath(open.number, path);
      std::snprintf(text, size, "%s", path);
      return;
    }
  }
  std::snprintf(text, size, "drive handle %p", AsHandle(drive));
}

PathDrive PlatformDriveOfPath(const char* path, std::int32_t* number, char* text,
                              std::uint32_t size) {
  // \\.\PhysicalDriveN, in any case, as Windows takes it; \\?\ and forward slashes as well.
  static constexpr char kName[] = "PhysicalDrive";
  const char* p = path;
  auto slash = [](char c) { return c == '\\' || c == '/'; };
  bool prefix = slash(p[0]) && slash(p[1]) && (p[2] == '.' || p[2] == '?') && slash(p[3]) &&
                _strnicmp(p + 4, kName, sizeof kName - 1) == 0;
  p += prefix ? 4 + sizeof kName - 1 : 0;
  std::int32_t n = 0;
  int digits = 0;
  for (; prefix && *p >= '0' && *p <= '9' && digits < 9; ++p, ++digits) {
    n = n * 10 + (*p - '0');
  }
  if (!prefix || digits == 0 || *p != '\0') {
    std::snprintf(text, size, "not a \\\\.\\PhysicalDriveN drive");
    return PathDrive::kNoDrive;
  }
  // An open without access rights asks nothing of the drive, yet tells whether it is there.
  HANDLE handle =
      CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SystemErrorText(GetLastError(), text, size);
    return PathDrive::kNoDrive;
  }
  CloseHandle(handle);
  *number = n;
  char own[kDrivePathSize];
  DrivePath(n, own);
  std::snprintf(text, size, "%s", own);
  return PathDrive::kDrive;
}

DriveError PlatformQueryDrive(DriveHandle drive, DriveIdentity* identity) {
  std::memset(identity, 0, sizeof *identity);
  STORAGE_PROPERTY_QUERY query;
  std::memset(&query, 0, sizeof query);
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  // Fresh for every drive, so no text of the drive before can show under this one.
  std::memset(g_area, 0, sizeof g_area);
  DWORD got = 0;
  if (!DeviceIoControl(AsHandle(drive), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, g_area,
                       sizeof g_area, &got, nullptr)) {
    const DWORD code = GetLastError();
    char name[64];
    PlatformDriveName(drive, name, sizeof name);
    return FailureOf(name, code, false);
  }
  ParseStorageDescriptor(g_area, got, identity);
  return {};
}

void PlatformQueryOsVersion(OsVersion* version) {
  OSVERSIONINFOEXA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
  // GetVersionExA is deprecated, but it is the call that reports the service-pack text; with the
  // manifest's supportedOS list it also reports the running version.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) {
    // Systems that predate the extended record take the basic one.
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info));
  }
#if defined(_MSC_VER)
#pragma warning(pop)
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  std::memcpy(version->text, info.szCSDVersion, sizeof version->text);
  version->text[sizeof version->text - 1] = '\0';
}
