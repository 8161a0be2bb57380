// Finding the attached drives, learning their bus and opening them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr int kListedDrives = 99;  // numbers 0 to 98 are listed

// The drive failure told last on the error stream, kept by the caller across the calls below: the
// bus query and the working open of one drive mostly fail alike, and the user needs to read a
// reason once. Starts empty.
struct ToldFailure {
  char text[512];
};

// "<device>: <system's text>" and a hint at the likely cause that the failure's kind names, in
// `text` (cut to fit): "/dev/sdb: Permission denied (run as root)".
void DescribeDriveError(const DriveError& error, char* text, std::size_t size);

// The working open; when it fails, the system's reason goes to the error stream.
DriveHandle OpenDriveExclusive(std::int32_t number, ToldFailure* told);
void CloseDrive(DriveHandle drive);

// Prints "%2u: %s%s\n" with vendor and product text for every drive that opens and answers, and
// on the error stream the reason why the first drive that is there but fails could not be listed.
// Returns the number of drives that are there, listed or not.
int ListDrives(ToldFailure* told);

// The list of --list (drive_list.cpp): "%2d  name  bus  ids  serial  vendor product\n" for every
// drive that opens and answers, "-" for a field the system does not tell; on the error stream the
// reason for each drive that is there but fails; "No disk found" when there is none.
void ListDriveLines();

// The bus type of drive `number`, the very drive the working open takes; 0 when the drive cannot
// be opened or asked, and then the reason goes to the error stream.
std::uint8_t QueryBusType(std::int32_t number, ToldFailure* told);

// Prints on the error stream the system's name for the open `drive` followed by the formatted
// text, so that every reason about a device names it alike: PrintDriveError(drive, ": %s", why).
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void PrintDriveError(DriveHandle drive, const char* format, ...);

// Writes "<system's name for the drive>, <vendor><product>" into `text` (`size` bytes), the texts
// the open `drive` reports, trailing blanks dropped; the name alone when it cannot be asked.
void DescribeDrive(DriveHandle drive, char* text, std::size_t size);

void QueryOsVersion(OsVersion* version);
