// The drive list of --list: one line a drive, with what the system tells of it, for people and
// for scripts. No bridge command is sent.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/console.h"
#include "bridge/drives.h"

namespace {

// One identity serves every query: it is too big for the stack.
DriveIdentity g_identity;

// By STORAGE_BUS_TYPE.
const char* const kBusNames[] = {"unknown", "scsi", "atapi",  "ata",  "1394", "ssa", "fibre",
                                 "usb",     "raid", "iscsi",  "sas",  "sata", "sd",  "mmc",
                                 "virtual", "file", "spaces", "nvme", "scm",  "ufs"};

// A field that scripts split on blanks: one word, "-" when empty.
void Word(const char* text, char* out, std::size_t size) {
  std::size_t n = 0;
  for (; text[n] != '\0' && n + 1 < size; ++n) {
    const unsigned char c = static_cast<unsigned char>(text[n]);
    out[n] = c <= 0x20 || c == 0x7F ? '_' : static_cast<char>(c);
  }
  out[n] = '\0';
  if (n == 0 && size > 1) {
    std::snprintf(out, size, "-");
  }
}

// Appends `text` without its leading and trailing blanks, control characters shown as '?', after
// a blank when `out` holds something already.
void AppendTrimmed(const char* text, char* out, std::size_t size) {
  std::size_t begin = 0;
  std::size_t end = std::strlen(text);
  while (begin < end && text[begin] == ' ') {
    ++begin;
  }
  while (end > begin && text[end - 1] == ' ') {
    --end;
  }
  std::size_t n = std::strlen(out);
  if (begin < end && n > 0 && n + 1 < size) {
    out[n++] = ' ';
  }
  for (; begin < end && n + 1 < size; ++begin) {
    const unsigned char c = static_cast<unsigned char>(text[begin]);
    out[n++] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
  }
  out[n] = '\0';
}

void PrintDriveLine(std::int32_t number, const char* name, const DriveIdentity& identity) {
  char bus[16];
  if (identity.bus < std::size(kBusNames)) {
    std::snprintf(bus, sizeof bus, "%s", kBusNames[identity.bus]);
  } else {
    std::snprintf(bus, sizeof bus, "bus%u", static_cast<unsigned>(identity.bus));
  }
  char ids[16] = "-";
  if (identity.usbIdsKnown) {
    std::snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(identity.usbVendor),
                  static_cast<unsigned>(identity.usbProduct));
  }
  char serial[256];
  Word(identity.serial, serial, sizeof serial);
  char text[512] = "";
  AppendTrimmed(identity.vendor, text, sizeof text);
  AppendTrimmed(identity.product, text, sizeof text);
  Print("%2d  %s  %-4s  %-9s  %s  %s\n", static_cast<int>(number), name, bus, ids, serial,
        text[0] != '\0' ? text : "-");
}

// A drive that is there but cannot be listed says why on the error stream.
void TellReason(const DriveError& error) {
  char reason[512];
  DescribeDriveError(error, reason, sizeof reason);
  PrintError("%s\n", reason);
}

}  // namespace

void ListDriveLines() {
  int found = 0;
  for (int number = 0; number < kListedDrives; ++number) {
    DriveOpening opening = PlatformOpenDrive(number, false);
    if (opening.drive == kInvalidDriveHandle) {
      if (opening.error.fault != DriveFault::kNoDrive) {
        TellReason(opening.error);
        ++found;
      }
      continue;
    }
    ++found;
    char name[64];
    PlatformDriveName(opening.drive, name, sizeof name);
    DriveError error = PlatformQueryDrive(opening.drive, &g_identity);
    PlatformCloseDrive(opening.drive);
    if (error.fault != DriveFault::kNone) {
      TellReason(error);
      continue;
    }
    PrintDriveLine(number, name, g_identity);
  }
  if (found == 0) {
    Print("No disk found\n");
  }
}
