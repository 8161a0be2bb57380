#include "bridge/drives.h"

#include <cstdio>
#include <cstring>

#include "base/byteorder.h"
#include "base/console.h"

namespace {

// One reply area serves every query: the tool runs them one at a time.
std::uint8_t g_replyArea[kDescriptorAreaSize];

// Why the latest drive open or query failed, and the reason last told.
char g_reason[512];
char g_reported[sizeof g_reason];

DriveFailure FetchReason() {
  return PlatformDriveFailure(g_reason, sizeof g_reason);
}

// Tells the fetched reason on the error stream; the bus query and the working open of one drive
// mostly fail alike, and the user needs to read it once.
void ReportReason() {
  if (std::strcmp(g_reason, g_reported) != 0) {
    std::memcpy(g_reported, g_reason, sizeof g_reported);
    PrintError("%s\n", g_reason);
  }
}

}  // namespace

DriveHandle OpenDriveShared(std::int32_t number) {
  return PlatformOpenDrive(number, false);
}

DriveHandle OpenDriveExclusive(std::int32_t number) {
  DriveHandle drive = PlatformOpenDrive(number, true);
  if (drive == kInvalidDriveHandle && FetchReason() != DriveFailure::kUnknown) {
    ReportReason();
  }
  return drive;
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
  // Most numbers name no drive, and that goes unsaid. Drives that are there but unusable mostly
  // fail for one cause (no root rights): the first of them tells it for all.
  bool told = false;
  for (int number = 0; number < kListedDrives; ++number) {
    DriveHandle drive = OpenDriveShared(number);
    bool listed = false;
    if (drive != kInvalidDriveHandle) {
      // Fresh for every drive, so no text of the drive before can show under this one.
      std::memset(g_replyArea, 0, sizeof g_replyArea);
      std::uint32_t returned = 0;
      listed = PlatformQueryDescriptor(drive, g_replyArea, &returned);
      if (listed) {
        ReadDescriptorText(g_replyArea, returned, kVendorIdOffsetField, vendor, sizeof vendor);
        ReadDescriptorText(g_replyArea, returned, kProductIdOffsetField, product, sizeof product);
        Print("%2u: %s%s\n", static_cast<unsigned>(number), vendor, product);
      }
    }
    if (!listed && !told && FetchReason() == DriveFailure::kFailed) {
      ReportReason();
      told = true;
    }
    if (drive != kInvalidDriveHandle) {
      CloseDrive(drive);
    }
  }
}

std::uint8_t QueryBusType(std::int32_t number) {
  std::memset(g_replyArea, 0, sizeof g_replyArea);
  DriveHandle drive = OpenDriveShared(number);
  std::uint32_t returned = 0;
  std::uint8_t bus = 0;
  bool asked =
      drive != kInvalidDriveHandle && PlatformQueryDescriptor(drive, g_replyArea, &returned);
  if (asked) {
    bus = g_replyArea[kBusTypeField];
  } else if (FetchReason() != DriveFailure::kUnknown) {
    ReportReason();
  }
  if (drive != kInvalidDriveHandle) {
    CloseDrive(drive);
  }
  return bus;
}

void DescribeDrive(DriveHandle drive, char* text, std::size_t size) {
  static char vendor[kDescriptorAreaSize];
  static char product[kDescriptorAreaSize];
  char name[64];
  PlatformDriveName(drive, name, sizeof name);
  std::memset(g_replyArea, 0, sizeof g_replyArea);
  std::uint32_t returned = 0;
  if (!PlatformQueryDescriptor(drive, g_replyArea, &returned)) {
    std::snprintf(text, size, "%s", name);
    return;
  }
  ReadDescriptorText(g_replyArea, returned, kVendorIdOffsetField, vendor, sizeof vendor);
  ReadDescriptorText(g_replyArea, returned, kProductIdOffsetField, product, sizeof product);
  std::snprintf(text, size, "%s, %s%s", name, vendor, product);
  std::size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') {
    text[--n] = '\0';
  }
}

void QueryOsVersion(OsVersion* version) {
  std::memset(version, 0, sizeof *version);
  PlatformQueryOsVersion(version);
  version->text[sizeof version->text - 1] = '\0';
}
