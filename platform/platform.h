// The operating-system primitives the tool needs, and nothing else.
//
// Exactly one implementation is linked into a program: platform/win32/ (Windows), platform/linux/
// (Linux), or sim/platform_sim.cpp (the simulated drives and bridge used by the tests and by
// jmreader-sim). Everything above this header is portable.
#pragma once

#include <cstdint>

// A drive opened by PlatformOpenDrive. On Windows it is the HANDLE; elsewhere an opaque value.
using DriveHandle = std::intptr_t;
inline constexpr DriveHandle kInvalidDriveHandle = -1;

// What went wrong with a drive call. Each system sorts its own error codes into these; the hint
// the tool adds to the system's text follows from the kind.
enum class DriveFault : std::uint8_t {
  kNone,      // nothing went wrong
  kNoDrive,   // there is no such drive
  kNoRights,  // refused for want of the rights that kPlatformRightsHint names
  kBusy,      // another program holds the drive
  kFailed,    // the drive is there but cannot be opened or asked
};
struct DriveError {
  DriveFault fault;
  char device[256];  // what the system refused: "/dev/sdb", "\\.\PhysicalDrive1", a sysfs path
  char text[256];    // the system's text for it
};
// The hint told after a kNoRights failure: " (run as root)".
extern const char kPlatformRightsHint[];

// Opens physical drive `number`. A shared open serves the identity query only and leaves the
// drive to others (probing); an exclusive open is the working open, fit for pass-through, and
// fails while another process holds the drive.
struct DriveOpening {
  DriveHandle drive;  // kInvalidDriveHandle when it fails
  DriveError error;
};
DriveOpening PlatformOpenDrive(std::int32_t number, bool exclusive);
void PlatformCloseDrive(DriveHandle drive);

// What a device path names: the whole disk it is, a partition of one, or no drive. For a disk or
// a partition, `number` is the drive number and `text` the whole disk's own name (links
// followed); otherwise `text` says why the path names no drive.
enum class PathDrive { kDrive, kPartition, kNoDrive };
PathDrive PlatformDriveOfPath(const char* path, std::int32_t* number, char* text,
                              std::uint32_t size);

// Bus types as Windows numbers them (STORAGE_BUS_TYPE); the other systems use the same numbers.
inline constexpr std::uint8_t kBusTypeScsi = 1;
inline constexpr std::uint8_t kBusTypeUsb = 7;
inline constexpr std::uint8_t kBusTypeSata = 11;

// Room for a drive's texts: any that a Windows storage descriptor (4096 bytes) can hold.
inline constexpr std::uint32_t kIdentityTextSize = 4096;
// What a drive says it is: vendor and product as the device reports them (trailing blanks
// included), and the bus it hangs on.
struct DriveIdentity {
  char vendor[kIdentityTextSize];
  char product[kIdentityTextSize];
  std::uint8_t bus;
};
// Fills `identity` (all zero when the query fails) with what drive `drive` says it is.
DriveError PlatformQueryDrive(DriveHandle drive, DriveIdentity* identity);

// The device that `drive` works on, as the user names it ("/dev/sdb", "\\.\PhysicalDrive1"),
// in `text` (cut to fit).
void PlatformDriveName(DriveHandle drive, char* text, std::uint32_t size);

enum class DataDirection : std::uint8_t { kOut, kIn };

inline constexpr std::uint32_t kMaxCdbLength = 16;
inline constexpr std::uint32_t kSenseSize = 24;

// One SCSI command with its data.
struct PassThroughRequest {
  std::uint8_t cdb[kMaxCdbLength];
  std::uint8_t cdbLength;
  DataDirection direction;
  std::uint8_t* data;  // `length` bytes: the data sent, or zeros where the data received lands
  std::uint32_t length;
  std::uint32_t timeOutSeconds;
};
// What came of it: either the system could not carry it (`sent` false, with the system's error),
// or the device answered with a status, sense data and the count of data bytes moved.
struct PassThroughResult {
  bool sent;
  std::uint32_t error;  // the system's code
  bool timedOut;        // the error is the device's time-out running out
  char errorText[256];  // the system's text for the code
  std::uint8_t status;  // SCSI status
  std::uint8_t sense[kSenseSize];
  std::uint32_t moved;
};
// Hands one command to the device and waits for its answer.
PassThroughResult PlatformPassThrough(DriveHandle drive, const PassThroughRequest& request);

// The OS version record printed at start-up. All zero (and an empty text) when unknown.
struct OsVersion {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t build;
  char text[128];  // zero-terminated: the service-pack text on Windows, the system name elsewhere
};
void PlatformQueryOsVersion(OsVersion* version);

// Console key input: the console itself, not standard input.
enum class KeyPoll {
  kNone,       // nothing waiting after `waitMs`
  kWaiting,    // a key press (or the second code of a special key) is waiting
  kNoConsole,  // there is no console to read keys from
};
// Tests for a waiting key, pausing up to `waitMs` milliseconds for one (0: test only). Removes
// nothing that TakeKey would hand out.
KeyPoll PlatformPollKey(int waitMs);
// Takes one key code (0 to 255), waiting for a key when none is pending; a special key yields
// two codes over two calls. -1 when the console cannot be read.
int PlatformTakeKey();
// Puts the console back into the mode it had before the first key operation.
void PlatformRestoreConsole();

// Host files (the dump and "jm_nvram.bin"): one implementation per host system, shared by the
// real and the simulated platform.

// Reads up to `length` bytes from the start of `name`. Only a regular file that this user may
// also write is ever opened (through a link only where PlatformReadsThroughLinks), and nothing
// else (a FIFO, a device) is opened at all. The count read (0 for an empty file or a failed
// read), or -1 when it cannot be opened.
std::int32_t PlatformReadFile(const char* name, std::uint8_t* buffer, std::uint32_t length);

// Whether PlatformReadFile reads a regular file through a link to it (Linux), or refuses every
// link (Windows, where a link's target could be a disk or a device).
bool PlatformReadsThroughLinks();

// Why the latest PlatformReadFile or PlatformSaveFile failed, with the system's error text (or
// the tool's own, where the system has none) in `text`, cut to fit.
enum class FileFailure {
  kNone,        // nothing failed
  kMissing,     // no such file, or no such folder
  kNotRegular,  // a folder, FIFO, device or other object that is no regular file
  kNoAccess,    // permission refused, or a read-only file or file system
  kEmpty,       // the file to read holds no byte
  kOther,
};
FileFailure PlatformFileFailure(char* text, std::uint32_t size);

// The full path of the file that the latest PlatformReadFile or PlatformSaveFile opened (for a
// save: the final name in the folder the file went to), as the system names it; when nothing was
// opened, the name made absolute. With `beside`, a name beside that file instead (a save's
// `SaveReport::backup` or `kept`): its full path in the same folder, or "" when no file was
// opened. Empty before any file operation, and when the path does not fit.
void PlatformFilePath(char* text, std::uint32_t size, const char* beside = nullptr);

// A warning when files would go where the user does not look: on Windows, a current folder
// inside the Windows folder (where an elevated console starts). False when there is none.
bool PlatformFolderWarning(char* text, std::uint32_t size);

enum class SaveOutcome {
  kSaved,
  kCreateFailed,  // nothing written, nothing left behind
  kWriteFailed,   // the new file could not be completed; nothing left behind, `name` untouched
  kKept,          // complete, but it could not take `name`: it stays under `SaveReport::kept`
};
inline constexpr std::uint32_t kSaveNameSize = 512;
struct SaveReport {
  char backup[kSaveNameSize];  // the earlier file's numbered name, or "" when none is left
  char kept[kSaveNameSize];    // kKept: the name the complete new file stays under
};
// Saves `length` bytes as `name`: writes a new file of its own beside it (created exclusively,
// never through a link), syncs it and renames it over `name`, so a link or file at `name` is
// replaced, never written through, and an earlier file survives any failure. An earlier regular
// file whose content differs is kept under the first free name "<name>.~N~" (N = 1, 2, ...),
// linked there before the rename, so that there is no moment without it. A complete new file
// is never deleted: when it cannot take `name`, it stays under its temporary name.
SaveOutcome PlatformSaveFile(const char* name, const std::uint8_t* data, std::uint32_t length,
                             SaveReport* report);
