// Finding the attached drives, learning their bus and opening them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint8_t kBusTypeUsb = 7;
inline constexpr int kListedDrives = 99;  // numbers 0 to 98 are listed

DriveHandle OpenDriveShared(std::int32_t number);
// The working open; when it fails, the system's reason goes to the error stream.
DriveHandle OpenDriveExclusive(std::int32_t number);
void CloseDrive(DriveHandle drive);

// Prints "%2u: %s%s\n" with vendor and product text for every drive that opens and answers, and
// on the error stream the reason why the first drive that is there but fails could not be listed.
void ListDrives();

// The bus type of drive `number`, the very drive the working open takes; 0 when the drive cannot
// be opened or asked, and then the reason goes to the error stream. A reason just told is not
// told again.
std::uint8_t QueryBusType(std::int32_t number);

// Writes "<system's name for the drive>, <vendor><product>" into `text` (`size` bytes), the texts
// from the descriptor of the open `drive`, trailing blanks dropped; the name alone when the
// descriptor cannot be read.
void DescribeDrive(DriveHandle drive, char* text, std::size_t size);

void QueryOsVersion(OsVersion* version);

// Copies into `text` (`size` bytes) the zero-terminated descriptor text whose offset stands at
// byte `offsetField` of `area`. Only bytes inside both the `returned` count and the area are
// read: an offset of 0 or outside them gives an empty text, and a text with no terminator inside
// them is cut there.
void ReadDescriptorText(const std::uint8_t* area, std::uint32_t returned, std::uint32_t offsetField,
                        char* text, std::size_t size);
