// Windows backend of the platform seam: physical drives through DeviceIoControl, key presses
// from the console input device, and the version query. Builds with MinGW-w64 and MSVC, 32 and
// 64 bits.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
// ntddscsi.h needs windows.h and winioctl.h first.
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "bridge/platform.h"

namespace {

HANDLE AsHandle(DriveHandle drive) {
  return reinterpret_cast<HANDLE>(drive);
}

// The portable code builds the request block and reads the descriptor by offset; these are the
// layouts it assumes, checked against the system headers of the build.
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

static_assert(IOCTL_STORAGE_QUERY_PROPERTY == 0x2D1400);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == kVendorIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == kProductIdOffsetField);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == kBusTypeField);
static_assert(BusTypeUsb == 7);

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

// The latest failure of a drive open or query, told by PlatformDriveFailure.
struct Failure {
  bool known;
  bool opening;
  std::int32_t number;
  DWORD code;
};
Failure g_failure = {};

}  // namespace

DriveHandle PlatformOpenDrive(std::int32_t number, bool exclusive) {
  g_failure.known = false;
  char path[kDrivePathSize];
  DrivePath(number, path);
  const DWORD share = exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD flags = exclusive ? FILE_ATTRIBUTE_NORMAL : 0;
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                              flags, nullptr);
  // INVALID_HANDLE_VALUE is -1, the same value as kInvalidDriveHandle.
  DriveHandle drive = reinterpret_cast<DriveHandle>(handle);
  if (drive == kInvalidDriveHandle) {
    g_failure = {true, true, number, GetLastError()};
    return drive;
  }
  for (OpenDrive& open : g_open) {
    if (open.handle == kInvalidDriveHandle) {
      open = {drive, number};
      break;
    }
  }
  return drive;
}

void PlatformCloseDrive(DriveHandle drive) {
  for (OpenDrive& open : g_open) {
    if (open.handle == drive) {
      open.handle = kInvalidDriveHandle;
    }
  }
  CloseHandle(AsHandle(drive));
}

DriveFailure PlatformDriveFailure(char* text, std::uint32_t size) {
  if (size > 0) {
    text[0] = '\0';
  }
  if (!g_failure.known) {
    return DriveFailure::kUnknown;
  }
  const DWORD code = g_failure.code;
  const bool absent =
      g_failure.opening && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND);
  const char* hint = "";
  if (absent) {
    hint = " (no such drive)";
  } else if (code == ERROR_ACCESS_DENIED) {
    hint = " (run as administrator)";
  } else if (code == ERROR_SHARING_VIOLATION) {
    hint = " (another program holds the drive)";
  }
  char system[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_MAX_WIDTH_MASK,
                     nullptr, code, 0, system, sizeof system, nullptr) == 0) {
    std::snprintf(system, sizeof system, "error %lu", static_cast<unsigned long>(code));
  }
  // The system's sentence ends in a full stop and a space; the hint follows it instead.
  std::size_t length = std::strlen(system);
  while (length > 0 && std::strchr(" .\r\n", system[length - 1]) != nullptr) {
    system[--length] = '\0';
  }
  char path[kDrivePathSize];
  DrivePath(g_failure.number, path);
  if (size > 0) {
    std::snprintf(text, size, "%s: %s%s", path, system, hint);
  }
  return absent ? DriveFailure::kNoDrive : DriveFailure::kFailed;
}

bool PlatformQueryDescriptor(DriveHandle drive, std::uint8_t* area, std::uint32_t* returned) {
  g_failure.known = false;
  STORAGE_PROPERTY_QUERY query;
  std::memset(&query, 0, sizeof query);
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  DWORD got = 0;
  const BOOL ok = DeviceIoControl(AsHandle(drive), IOCTL_STORAGE_QUERY_PROPERTY, &query,
                                  sizeof query, area, kDescriptorAreaSize, &got, nullptr);
  *returned = got;
  if (!ok) {
    const DWORD code = GetLastError();
    for (const OpenDrive& open : g_open) {
      if (open.handle == drive) {
        g_failure = {true, false, open.number, code};
      }
    }
  }
  return ok != 0;
}

const PassThroughLayout& PlatformPassThroughLayout() {
  return kNativeLayout;
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

// Console keys. The codes follow the C runtime's _getch: a character key gives its character; a
// function, arrow or editing key, or Alt with a letter or digit, gives a prefix (0xE0 for the grey
// navigation keys, 0 for the rest) and then its scan code.
namespace {

HANDLE g_consoleInput = INVALID_HANDLE_VALUE;
bool g_consoleOpened = false;
int g_pendingCode = -1;  // second code of a special key not yet handed out

HANDLE ConsoleInput() {
  if (!g_consoleOpened) {
    g_consoleOpened = true;
    g_consoleInput =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  }
  return g_consoleInput;
}

bool IsModifierOrLock(WORD virtualKey) {
  switch (virtualKey) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT:
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL:
    case VK_MENU:
    case VK_LMENU:
    case VK_RMENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case 0:  // no key at all (synthesised events)
      return true;
    default:
      return false;
  }
}

bool IsGreyNavigationKey(WORD virtualKey) {
  switch (virtualKey) {
    case VK_INSERT:
    case VK_DELETE:
    case VK_HOME:
    case VK_END:
    case VK_PRIOR:
    case VK_NEXT:
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
      return true;
    default:
      return false;
  }
}

// The codes a console event yields: false for events that are no key press of their own (key
// releases, modifiers alone, mouse, focus, menu and size events). `second` is -1 for a plain
// character.
bool KeyCodes(const INPUT_RECORD& record, int* first, int* second) {
  if (record.EventType != KEY_EVENT) {
    return false;
  }
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  if (!key.bKeyDown) {
    return false;
  }
  const unsigned char character = static_cast<unsigned char>(key.uChar.AsciiChar);
  if (character != 0) {
    *first = character;
    *second = -1;
    return true;
  }
  if (IsModifierOrLock(key.wVirtualKeyCode)) {
    return false;
  }
  const bool grey =
      (key.dwControlKeyState & ENHANCED_KEY) != 0 && IsGreyNavigationKey(key.wVirtualKeyCode);
  *first = grey ? 0xE0 : 0;
  *second = key.wVirtualScanCode & 0xFF;
  return true;
}

enum class Pending { kKey, kNothing, kUnreadable };

// Looks at the pending console input. Events in front that yield no key are discarded, so that
// a wait on the handle does not wake again for them; a key press is left in place.
Pending PeekForKey(HANDLE input) {
  for (;;) {
    DWORD count = 0;
    if (!GetNumberOfConsoleInputEvents(input, &count)) {
      return Pending::kUnreadable;
    }
    if (count == 0) {
      return Pending::kNothing;
    }
    INPUT_RECORD records[32];
    DWORD got = 0;
    if (!PeekConsoleInputA(input, records, static_cast<DWORD>(sizeof records / sizeof records[0]),
                           &got)) {
      return Pending::kUnreadable;
    }
    if (got == 0) {
      return Pending::kNothing;
    }
    for (DWORD i = 0; i < got; ++i) {
      int first = 0;
      int second = 0;
      if (KeyCodes(records[i], &first, &second)) {
        return Pending::kKey;
      }
    }
    // None of the oldest `got` events is a key press; only this thread reads the input, so
    // these are exactly the events that a read of `got` removes.
    DWORD removed = 0;
    if (!ReadConsoleInputA(input, records, got, &removed)) {
      return Pending::kUnreadable;
    }
  }
}

}  // namespace

KeyPoll PlatformPollKey(int waitMs) {
  if (g_pendingCode >= 0) {
    return KeyPoll::kWaiting;
  }
  HANDLE input = ConsoleInput();
  if (input == INVALID_HANDLE_VALUE) {
    return KeyPoll::kNoConsole;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    switch (PeekForKey(input)) {
      case Pending::kKey:
        return KeyPoll::kWaiting;
      case Pending::kUnreadable:
        return KeyPoll::kNoConsole;
      case Pending::kNothing:
        break;
    }
    const DWORD elapsed = GetTickCount() - start;
    if (waitMs <= 0 || elapsed >= static_cast<DWORD>(waitMs)) {
      return KeyPoll::kNone;
    }
    // The handle is signalled when input arrives. Waiting on it (rather than sleeping) is also
    // what makes Wine's console deliver pending terminal input.
    WaitForSingleObject(input, static_cast<DWORD>(waitMs) - elapsed);
  }
}

int PlatformTakeKey() {
  if (g_pendingCode >= 0) {
    const int code = g_pendingCode;
    g_pendingCode = -1;
    return code;
  }
  HANDLE input = ConsoleInput();
  DWORD savedMode = 0;
  if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &savedMode)) {
    return -1;
  }
  SetConsoleMode(input, savedMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                        ENABLE_PROCESSED_INPUT));
  int code = -1;
  for (;;) {
    INPUT_RECORD record;
    DWORD got = 0;
    if (!ReadConsoleInputA(input, &record, 1, &got)) {
      break;
    }
    int second = -1;
    if (got == 1 && KeyCodes(record, &code, &second)) {
      g_pendingCode = second;
      break;
    }
  }
  SetConsoleMode(input, savedMode);
  return code;
}

// TakeKey puts the previous console mode back before it returns, so nothing is left changed.
void PlatformRestoreConsole() {}
