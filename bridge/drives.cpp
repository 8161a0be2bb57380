#include "bridge/drives.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/console.h"

namespace {

// One identity serves every query: the tool runs them one at a time, and it is too big for the
// stack.
DriveIdentity g_identity;

// Asks the open `drive` what it is, into g_identity. The texts come from the device, and not
// every system cleans them: a control character (a carriage return, an escape) could make the
// line show another name, so each byte outside printable ASCII becomes '?'.
void Clean(char* text) {
  for (char* c = text; *c != '\0'; ++c) {
    *c = *c < ' ' || *c > '~' ? '?' : *c;
  }
}

DriveError Query(DriveHandle drive) {
  DriveError error = PlatformQueryDrive(drive, &g_identity);
  Clean(g_identity.vendor);
  Clean(g_identity.product);
  return error;
}

// Asks drive `number` through a shared open what it is, into g_identity.
DriveError Identify(std::int32_t number) {
  DriveOpening opening = PlatformOpenDrive(number, false);
  if (opening.drive == kInvalidDriveHandle) {
    return opening.error;
  }
  DriveError error = Query(opening.drive);
  PlatformCloseDrive(opening.drive);
  return error;
}

// Tells why a drive call failed, unless that very reason was told just before.
void Tell(const DriveError& error, ToldFailure* told) {
  char reason[sizeof told->text];
  DescribeDriveError(error, reason, sizeof reason);
  if (std::strcmp(reason, told->text) != 0) {
    std::memcpy(told->text, reason, sizeof told->text);
    PrintError("%s\n", reason);
  }
}

}  // namespace

void DescribeDriveError(const DriveError& error, char* text, std::size_t size) {
  // By DriveFault.
  const char* const hints[] = {"", " (no such drive)", kPlatformRightsHint,
                               " (another program holds the drive)", ""};
  // Cut to fit, as any reason is.
  if (size > 0 && std::snprintf(text, size, "%s: %s%s", error.device, error.text,
                                hints[static_cast<int>(error.fault)]) < 0) {
    text[0] = '\0';
  }
}

DriveHandle OpenDriveExclusive(std::int32_t number, ToldFailure* told) {
  DriveOpening opening = PlatformOpenDrive(number, true);
  if (opening.drive == kInvalidDriveHandle) {
    Tell(opening.error, told);
  }
  return opening.drive;
}

void CloseDrive(DriveHandle drive) {
  PlatformCloseDrive(drive);
}

int ListDrives(ToldFailure* told) {
  // Most numbers name no drive, and that goes unsaid. Drives that are there but unusable mostly
  // fail for one cause (no root rights): the first of them tells it for all.
  bool toldOne = false;
  int found = 0;
  for (int number = 0; number < kListedDrives; ++number) {
    DriveError error = Identify(number);
    found += error.fault != DriveFault::kNoDrive ? 1 : 0;
    if (error.fault == DriveFault::kNone) {
      Print("%2u: %s%s\n", static_cast<unsigned>(number), g_identity.vendor, g_identity.product);
    } else if (!toldOne && error.fault != DriveFault::kNoDrive) {
      Tell(error, told);
      toldOne = true;
    }
  }
  return found;
}

std::uint8_t QueryBusType(std::int32_t number, ToldFailure* told) {
  DriveError error = Identify(number);
  if (error.fault != DriveFault::kNone) {
    Tell(error, told);
    return 0;
  }
  return g_identity.bus;
}

void PrintDriveError(DriveHandle drive, const char* format, ...) {
  char device[256], text[1024];
  PlatformDriveName(drive, device, sizeof device);
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  PrintError("%s%s", device, text);
}

void DescribeDrive(DriveHandle drive, char* text, std::size_t size) {
  char name[64];
  PlatformDriveName(drive, name, sizeof name);
  if (Query(drive).fault != DriveFault::kNone) {
    std::snprintf(text, size, "%s", name);
    return;
  }
  std::snprintf(text, size, "%s, %s%s", name, g_identity.vendor, g_identity.product);
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
