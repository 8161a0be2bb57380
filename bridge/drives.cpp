#include "bridge/drives.h"

#include <cstring>

#include "app/console.h"
#include "bridge/byteorder.h"

namespace {

// One reply area serves every query: the tool runs them one at a time.
std::uint8_t g_replyArea[kDescriptorAreaSize];

}  // namespace

DriveHandle OpenDriveShared(std::uint8_t number) {
  return PlatformOpenDrive(number, false);
}

DriveHandle OpenDriveExclusive(std::int32_t number) {
  return PlatformOpenDrive(number, true);
}

void CloseDrive(DriveHandle drive) {
  PlatformCloseDrive(drive);
}

void ReadDescriptorText(const std::uint8_t* area, std::uint32_t returned, std::uint32_t offsetField,
                        char* text, std::size_t size) {
  if (size == 0) {
    return;
  }
  text[0] = '\0';
  std::uint32_t limit = returned < kDescriptorAreaSize ? returned : kDescriptorAreaSize;
  if (offsetField + 4 > limit) {
    return;
  }
  std::uint32_t offset = GetLe(area + offsetField, 4);
  if (offset == 0 || offset >= limit) {
    return;
  }
  std::size_t n = 0;
  for (std::uint32_t at = offset; at < limit && area[at] != 0 && n + 1 < size; ++at) {
    text[n++] = static_cast<char>(area[at]);
  }
  text[n] = '\0';
}

void ListDrives() {
  static char vendor[kDescriptorAreaSize];
  static char product[kDescriptorAreaSize];
  for (int number = 0; number < kListedDrives; ++number) {
    DriveHandle drive = OpenDriveShared(static_cast<std::uint8_t>(number));
    if (drive == kInvalidDriveHandle) {
      continue;
    }
    // Fresh for every drive, so no text of the drive before can show under this one.
    std::memset(g_replyArea, 0, sizeof g_replyArea);
    std::uint32_t returned = 0;
    if (PlatformQueryDescriptor(drive, g_replyArea, &returned)) {
      ReadDescriptorText(g_replyArea, returned, kVendorIdOffsetField, vendor, sizeof vendor);
      ReadDescriptorText(g_replyArea, returned, kProductIdOffsetField, product, sizeof product);
      Print("%2u: %s%s\n", static_cast<unsigned>(number), vendor, product);
    }
    CloseDrive(drive);
  }
}

std::uint8_t QueryBusType(std::int32_t number) {
  std::memset(g_replyArea, 0, sizeof g_replyArea);
  DriveHandle drive = OpenDriveShared(static_cast<std::uint8_t>(number & 0xFF));
  if (drive == kInvalidDriveHandle) {
    return 0;
  }
  std::uint32_t returned = 0;
  std::uint8_t bus = 0;
  if (PlatformQueryDescriptor(drive, g_replyArea, &returned)) {
    bus = g_replyArea[kBusTypeField];
  }
  CloseDrive(drive);
  return bus;
}

void QueryOsVersion(OsVersion* version) {
  std::memset(version, 0, sizeof *version);
  PlatformQueryOsVersion(version);
  version->text[sizeof version->text - 1] = '\0';
}
