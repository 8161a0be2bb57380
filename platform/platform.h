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
// included), and the bus it hangs on. The serial number and, for a USB drive, the USB vendor and
// product IDs only where the system tells them (Linux: a USB drive's device in sysfs; Windows:
// the serial of the storage descriptor, and no IDs).
struct DriveIdentity {
  char vendor[kIdentityTextSize];
  char product[kIdentityTextSize];
  std::uint8_t bus;
  char serial[kIdentityTextSize];  // "" when unknown
  bool usbIdsKnown;
  std::uint16_t usbVendor;
  std::uint16_t usbProduct;
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
  bool deviceGone;      // the error says the device is no longer there (unplugged, reset away)
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
// Whether the console was made for this run alone (a double click, or elevation into a new
// window): it closes with the tool, so the end waits for a key even with Y.
bool PlatformConsoleOwnedByRun();

// Host files (the dump and "jm_nvram.bin"): one implementation per host system, shared by the
// real and the simulated platform. These are the system's small steps; what is opened and how a
// file is saved is decided once, above them (app/file_policy.cpp).

// What went wrong with a file step: its kind, and the system's error code (errno, GetLastError)
// where the system gave one.
enum class FileFailure {
  kNone,        // nothing failed
  kMissing,     // no such file, or no such folder
  kNotRegular,  // a folder, FIFO, device, link or other object that is no regular file
  kNoAccess,    // permission refused, or a read-only file or file system
  kEmpty,       // the file to read holds no byte
  kExists,      // the name is taken
  kNoHardLink,  // the file system, or the file, takes no hard link
  kTooLong,     // the name does not fit
  kNoBackups,   // every numbered name for a backup is taken
  kOther,
};
struct FileError {
  FileFailure failure = FileFailure::kNone;
  std::uint32_t code = 0;
};
// The system's text for a failure that came from the system (for kTooLong, its words for a name
// too long), in `text` (cut to fit).
void PlatformFileErrorText(FileError error, char* text, std::uint32_t size);

// An open file: the descriptor on Linux, the HANDLE on Windows.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Whether `name` itself is a regular file (a link to one is not).
bool PlatformIsRegularFile(const char* name);

enum class FileOpen {
  // The user's file, to read: opened for reading and writing, so that a read-only one is
  // refused; through a link to a regular file only where kReadsThroughLinks.
  kRead,
  // An earlier file, to compare: for reading only, never through a link.
  kCompare,
};
// Opens the regular file `name`. Nothing else (a FIFO, a device) is opened at all: kNotRegular.
FileError PlatformOpenRegular(const char* name, FileOpen how, FileHandle* file);

// Creates `name` for writing, exclusively: what is already there, a link included, is never
// opened (kExists). On Windows, a console closed during PlatformHoldInterruptions removes it,
// open or not.
FileError PlatformCreateFile(const char* name, FileHandle* file);
// Reads up to `length` bytes on from where `file` stands; `got` falls short only at the end of
// the file or on a failure.
FileError PlatformReadFile(FileHandle file, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t* got);
// The size of the open file in bytes, as the file system tells it; 0 when it cannot tell.
std::uint64_t PlatformFileSize(FileHandle file);
// Writes all `length` bytes and flushes them to the disk.
FileError PlatformWriteFile(FileHandle file, const std::uint8_t* data, std::uint32_t length);
FileError PlatformCloseFile(FileHandle file);

// A hard link `link` to the file `name` (kNoHardLink where there can be none).
FileError PlatformLinkFile(const char* name, const char* link);
// Moves `from` to `to`; `replace`: over a file there (a move that another program holds is
// retried for a moment where the system has such holds), else kExists when `to` is taken.
FileError PlatformRenameFile(const char* from, const char* to, bool replace);
FileError PlatformRemoveFile(const char* name);
// Makes the latest renames in `folder` (a full path) durable, where the system needs it.
void PlatformSyncFolder(const char* folder);

// The full path of the open `file` as the system names it (a link's target; a 32-bit Windows
// program's System32 is SysWOW64), and of `name` made absolute. False when it does not fit.
bool PlatformFullPath(FileHandle file, char* text, std::uint32_t size);
bool PlatformFullName(const char* name, char* text, std::uint32_t size);
// The characters that end a folder in a name, the system's own first; and whether kRead opens a
// regular file through a link to it (Linux), or refuses every link (Windows, where a link's
// target could be a disk or a device).
#if defined(_WIN32)
inline constexpr char kFolderSeparators[] = "\\/:";
inline constexpr bool kReadsThroughLinks = false;
#else
inline constexpr char kFolderSeparators[] = "/";
inline constexpr bool kReadsThroughLinks = true;
#endif

// Fills `bytes` with `size` bytes that nobody can guess ahead of time.
void PlatformRandom(void* bytes, std::uint32_t size);

// Runs `work(context)` with the interruptions that would end the tool held back: a signal on
// Linux, Ctrl+C on Windows, ends it only once `work` is done. Closing a Windows console waits a
// few seconds for it, then removes the file at `temporary` (a name that stays valid meanwhile).
// Within PlatformKeepInterruptions the interruptions are that one's.
void PlatformHoldInterruptions(const char* temporary, void (*work)(void*), void* context);

// The stretch PlatformKeepInterruptions runs, as its work sees it; valid during the call only.
struct KeptInterruptions;
// Whether an interruption came since the stretch began.
bool PlatformInterruptionCame(const KeptInterruptions& kept);
// Runs `work(context, kept)` so that nothing but the end of the process cuts it short: the
// interruptions that would end the tool (SIGINT, SIGTERM, SIGHUP and SIGQUIT on Linux, Ctrl+C and
// Ctrl+Break on Windows) are taken and end nothing, meanwhile or after; the work asks whether one
// came, and so does the result. Other signals wait for the end of `work`. The system does not
// sleep meanwhile. Closing a Windows console still ends the tool a few seconds later. Not nested.
bool PlatformKeepInterruptions(void (*work)(void*, const KeptInterruptions&), void* context);

// A warning when files would go where the user does not look: on Windows, a current folder
// inside the Windows folder (where an elevated console starts). False when there is none.
bool PlatformFolderWarning(char* text, std::uint32_t size);
