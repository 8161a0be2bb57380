// Linux implementation of the platform seam: whole disks /dev/sdX, sysfs for the device
// descriptor, SG_IO for pass-through, the controlling terminal for keys.
#include "bridge/platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/byteorder.h"
#include "bridge/passthrough.h"
#include "bridge/platform.h"

namespace linuxplatform {

namespace {

constexpr char kSysfsRoot[] = "/sys";

bool Format(char* out, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

bool Format(char* out, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out, size, format, args);
  va_end(args);
  return n >= 0 && static_cast<std::size_t>(n) < size;
}

// Reads a sysfs attribute into `text` without its trailing newline. False when it cannot be read.
bool ReadAttribute(const char* path, char* text, std::size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  std::size_t n = 0;
  bool ok = true;
  while (n + 1 < size) {
    ssize_t got = read(fd, text + n, size - 1 - n);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      ok = false;
    }
    if (got <= 0) {
      break;
    }
    n += static_cast<std::size_t>(got);
  }
  close(fd);
  if (n > 0 && text[n - 1] == '\n') {
    --n;
  }
  text[n] = '\0';
  return ok;
}

constexpr std::size_t kAttributeMax = 1024;  // INQUIRY texts are 8 and 16 bytes; room to spare

}  // namespace

bool DiskNodeName(std::int32_t number, char* out, std::size_t size) {
  if (number < 0) {
    return false;
  }
  // Bijective base 26: a..z, aa..zz, aaa..; at most 7 letters for a 31-bit number.
  char letters[8];
  int count = 0;
  std::uint32_t n = static_cast<std::uint32_t>(number) + 1;
  while (n > 0) {
    --n;
    letters[count++] = static_cast<char>('a' + n % 26);
    n /= 26;
  }
  char reversed[8];
  for (int i = 0; i < count; ++i) {
    reversed[i] = letters[count - 1 - i];
  }
  reversed[count] = '\0';
  return Format(out, size, "/dev/sd%s", reversed);
}

bool FindGenericNode(const char* sysfsRoot, const char* devRoot, unsigned major, unsigned minor,
                     char* out, std::size_t size) {
  char path[PATH_MAX];
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u/device/scsi_generic", sysfsRoot, major,
              minor)) {
    return false;
  }
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return false;
  }
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "sg", 2) == 0) {
      found = Format(out, size, "%s/%s", devRoot, entry->d_name);
      break;
    }
  }
  closedir(dir);
  return found;
}

bool ReadSysfsDescriptor(const char* sysfsRoot, unsigned major, unsigned minor, std::uint8_t* area,
                         std::uint32_t* returned) {
  char path[PATH_MAX];
  char vendor[kAttributeMax];
  char model[kAttributeMax];
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u/device/vendor", sysfsRoot, major, minor) ||
      !ReadAttribute(path, vendor, sizeof vendor)) {
    return false;
  }
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u/device/model", sysfsRoot, major, minor) ||
      !ReadAttribute(path, model, sizeof model)) {
    return false;
  }

  // The bus shows in the device's place in the tree; only the part below the root counts.
  char root[PATH_MAX];
  char device[PATH_MAX];
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u", sysfsRoot, major, minor) ||
      realpath(sysfsRoot, root) == nullptr || realpath(path, device) == nullptr) {
    return false;
  }
  std::size_t rootLength = std::strlen(root);
  const char* below = std::strncmp(device, root, rootLength) == 0 ? device + rootLength : device;
  std::uint32_t bus = kBusTypeScsi;
  if (std::strstr(below, "/usb") != nullptr) {
    bus = kBusTypeUsb;
  } else if (std::strstr(below, "/ata") != nullptr) {
    bus = kBusTypeSata;
  }

  std::uint32_t vendorAt = kDescriptorHeaderSize;
  std::uint32_t modelAt = vendorAt + static_cast<std::uint32_t>(std::strlen(vendor)) + 1;
  std::uint32_t used = modelAt + static_cast<std::uint32_t>(std::strlen(model)) + 1;
  static_assert(kDescriptorHeaderSize + 2 * kAttributeMax <= kDescriptorAreaSize);
  std::memcpy(area + vendorAt, vendor, modelAt - vendorAt);
  std::memcpy(area + modelAt, model, used - modelAt);
  PutLe(area + 0, used, 4);  // Version
  PutLe(area + 4, used, 4);  // Size
  PutLe(area + kVendorIdOffsetField, vendorAt, 4);
  PutLe(area + kProductIdOffsetField, modelAt, 4);
  PutLe(area + kBusTypeField, bus, 4);
  *returned = used;
  return true;
}

namespace {

constexpr std::uint32_t kMaxCdbLength = 16;

// Transport results of sg_io_hdr (the kernel's host and driver bytes).
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverMask = 0x0F;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

// True when [offset, offset + size) lies inside the block behind the header.
bool AreaFits(std::uint32_t offset, std::uint32_t size, std::uint32_t headerSize,
              std::uint32_t length) {
  return offset >= headerSize && offset <= length && size <= length - offset;
}

// Builds the sg_io_hdr for a request block; false when the block contradicts itself.
bool DecodeRequest(std::uint8_t* block, std::uint32_t length, sg_io_hdr_t* io) {
  const PassThroughLayout& layout = kPassThroughLayout32;
  if (block == nullptr || length < layout.headerSize ||
      GetLe(block + kLengthAt, 2) != layout.headerSize) {
    return false;
  }
  std::uint32_t cdbLength = block[kCdbLengthAt];
  std::uint32_t senseLength = block[kSenseInfoLengthAt];
  std::uint8_t dataIn = block[kDataInAt];
  std::uint32_t dataLength = GetLe(block + kDataTransferLengthAt, 4);
  std::uint32_t timeOut = GetLe(block + kTimeOutValueAt, 4);
  std::uint32_t dataAt = GetLe(block + layout.dataBufferOffsetAt, layout.dataBufferOffsetWidth);
  std::uint32_t senseAt = GetLe(block + layout.senseInfoOffsetAt, 4);
  if (cdbLength == 0 || cdbLength > kMaxCdbLength || dataIn > 1 ||
      !AreaFits(senseAt, senseLength, layout.headerSize, length) ||
      !AreaFits(dataAt, dataLength, layout.headerSize, length)) {
    return false;
  }
  std::memset(io, 0, sizeof *io);
  io->interface_id = 'S';
  io->cmdp = block + layout.cdbAt;
  io->cmd_len = static_cast<unsigned char>(cdbLength);
  if (dataLength == 0) {
    io->dxfer_direction = SG_DXFER_NONE;
  } else {
    io->dxfer_direction = dataIn == 1 ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    io->dxferp = block + dataAt;
  }
  io->dxfer_len = dataLength;
  io->sbp = block + senseAt;
  io->mx_sb_len = static_cast<unsigned char>(senseLength);
  io->timeout = timeOut > UINT_MAX / 1000 ? UINT_MAX : timeOut * 1000;
  return true;
}

}  // namespace

bool PassThroughOnFd(int fd, std::uint8_t* block, std::uint32_t length, std::uint32_t* error) {
  sg_io_hdr_t io;
  if (!DecodeRequest(block, length, &io)) {
    *error = EINVAL;
    return false;
  }
  if (ioctl(fd, SG_IO, &io) < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return false;
  }
  unsigned driver = io.driver_status & kDriverMask;
  if (io.host_status == kDidTimeOut || driver == kDriverTimeout) {
    *error = ETIMEDOUT;
    return false;
  }
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    *error = EIO;
    return false;
  }
  // On a short transfer the sg driver still copies its whole buffer back, stale bytes of earlier
  // commands included: what did not move reads as zero (the request arrives zero-filled, as on
  // Windows), and the count moved is reported as Windows does.
  if (io.resid > 0 && static_cast<unsigned>(io.resid) <= io.dxfer_len) {
    std::uint32_t moved = io.dxfer_len - static_cast<std::uint32_t>(io.resid);
    if (io.dxfer_direction == SG_DXFER_FROM_DEV) {
      std::memset(static_cast<std::uint8_t*>(io.dxferp) + moved, 0, io.dxfer_len - moved);
    }
    PutLe(block + kDataTransferLengthAt, moved, 4);
  }
  // The device's verdict (GOOD, CHECK CONDITION, ...) is for the caller to judge.
  block[kScsiStatusAt] = io.status;
  return true;
}

void ParseKernelRelease(const char* release, std::uint32_t* major, std::uint32_t* minor,
                        std::uint32_t* build) {
  std::uint32_t* fields[3] = {major, minor, build};
  for (std::uint32_t* field : fields) {
    *field = 0;
  }
  const char* p = release;
  for (std::uint32_t* field : fields) {
    if (*p < '0' || *p > '9') {
      break;
    }
    std::uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(*p - '0');
      ++p;
    }
    *field = value;
    if (*p != '.') {
      break;
    }
    ++p;
  }
}

namespace {

// Codes of the special keys, as the PC console reports them behind their prefix.
constexpr int kPrefixExtended = 0xE0;
constexpr int kPrefixFunction = 0;
constexpr int kEscape = 0x1B;
constexpr std::size_t kMaxSequence = 16;  // longer runs are not keys a terminal sends

DecodedKey Special(int prefix, int code, std::size_t consumed) {
  return {static_cast<int>(consumed), prefix, code};
}

// The key for a CSI or SS3 sequence with final byte `final` and first parameter `param`.
DecodedKey MapSequence(char final, int param, std::size_t consumed) {
  switch (final) {
    case 'A':
      return Special(kPrefixExtended, 72, consumed);
    case 'B':
      return Special(kPrefixExtended, 80, consumed);
    case 'C':
      return Special(kPrefixExtended, 77, consumed);
    case 'D':
      return Special(kPrefixExtended, 75, consumed);
    case 'H':
      return Special(kPrefixExtended, 71, consumed);
    case 'F':
      return Special(kPrefixExtended, 79, consumed);
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return Special(kPrefixFunction, 59 + (final - 'P'), consumed);
    case '~':
      switch (param) {
        case 1:
        case 7:
          return Special(kPrefixExtended, 71, consumed);
        case 2:
          return Special(kPrefixExtended, 82, consumed);
        case 3:
          return Special(kPrefixExtended, 83, consumed);
        case 4:
        case 8:
          return Special(kPrefixExtended, 79, consumed);
        case 5:
          return Special(kPrefixExtended, 73, consumed);
        case 6:
          return Special(kPrefixExtended, 81, consumed);
        case 23:
          return Special(kPrefixExtended, 133, consumed);
        case 24:
          return Special(kPrefixExtended, 134, consumed);
        default:
          if (param >= 11 && param <= 15) {
            return Special(kPrefixFunction, 59 + (param - 11), consumed);
          }
          if (param >= 17 && param <= 21) {
            return Special(kPrefixFunction, 64 + (param - 17), consumed);
          }
          break;
      }
      break;
    default:
      break;
  }
  return Special(kPrefixExtended, 0, consumed);
}

}  // namespace

DecodedKey DecodeKey(const std::uint8_t* bytes, std::size_t count, bool complete) {
  constexpr DecodedKey kIncomplete = {0, -1, -1};
  if (count == 0) {
    return kIncomplete;
  }
  if (bytes[0] != kEscape) {
    return {1, bytes[0], -1};
  }
  if (count == 1) {
    return complete ? DecodedKey{1, kEscape, -1} : kIncomplete;
  }
  if (bytes[1] != '[' && bytes[1] != 'O') {
    return {1, kEscape, -1};  // ESC, then an ordinary key
  }
  // The Linux console sends F1-F5 as ESC [ [ A-E.
  if (bytes[1] == '[' && count >= 3 && bytes[2] == '[') {
    if (count == 3) {
      return complete ? Special(kPrefixExtended, 0, 3) : kIncomplete;
    }
    if (bytes[3] >= 'A' && bytes[3] <= 'E') {
      return Special(kPrefixFunction, 59 + (bytes[3] - 'A'), 4);
    }
    return Special(kPrefixExtended, 0, 4);
  }
  // CSI / SS3: parameter bytes 0x30-0x3F, intermediates 0x20-0x2F, a final byte 0x40-0x7E.
  int param = 0;
  bool inFirstParam = true;
  for (std::size_t i = 2; i < count; ++i) {
    std::uint8_t b = bytes[i];
    if (i >= kMaxSequence) {
      return Special(kPrefixExtended, 0, i);
    }
    if (b >= '0' && b <= '9') {
      if (inFirstParam && param < 1000) {
        param = param * 10 + (b - '0');
      }
    } else if (b >= 0x20 && b <= 0x3F) {
      inFirstParam = false;
    } else if (b >= 0x40 && b <= 0x7E) {
      return MapSequence(static_cast<char>(b), param, i + 1);
    } else {
      return Special(kPrefixExtended, 0, i);  // a control byte cuts the sequence short
    }
  }
  return complete ? Special(kPrefixExtended, 0, count) : kIncomplete;
}

}  // namespace linuxplatform

using namespace linuxplatform;

// ---- Drives -------------------------------------------------------------------------------------

namespace linuxplatform {

namespace {

// The latest failure of a drive open or query, told by PlatformDriveFailure.
struct Failure {
  bool known;
  FailedNode node;
  int code;
  char path[PATH_MAX];
};
Failure g_failure = {};

bool Fail(const char* path, int code, FailedNode node) {
  g_failure.known = true;
  g_failure.node = node;
  g_failure.code = code != 0 ? code : EIO;
  Format(g_failure.path, sizeof g_failure.path, "%s", path);
  return false;
}

// O_NONBLOCK lets a bridge without a medium open, and makes an sg node held with O_EXCL fail at
// once. Never O_EXCL on the disk: it fails while any partition is mounted.
int OpenNode(const char* path, int access) {
  return open(path, access | O_NONBLOCK | O_CLOEXEC);
}

bool OpenPassNode(const char* diskPath, const char* sysfsRoot, const char* devRoot,
                  const struct stat& disk, int* passFd) {
  // SG_IO on the disk raises short time-outs to the block layer's minimum; the sg node keeps
  // the 2 s the bridge commands ask for.
  char sgPath[PATH_MAX];
  bool generic = FindGenericNode(sysfsRoot, devRoot, major(disk.st_rdev), minor(disk.st_rdev),
                                 sgPath, sizeof sgPath);
  // Without an sg node SG_IO goes to the disk itself, which takes some commands only on a
  // writable descriptor. Only here is a disk opened for writing, as closing it makes udev probe
  // the whole disk again.
  const char* path = generic ? sgPath : diskPath;
  FailedNode node = generic ? FailedNode::kGeneric : FailedNode::kDisk;
  int fd = OpenNode(path, O_RDWR);
  if (fd < 0) {
    return Fail(path, errno, node);
  }
  // Vendor commands go only to the device that sysfs named: an sg node must be a character
  // device, and the disk must still be the one that is locked.
  struct stat st;
  bool same = fstat(fd, &st) == 0 &&
              (generic ? S_ISCHR(st.st_mode) : S_ISBLK(st.st_mode) && st.st_rdev == disk.st_rdev);
  if (!same) {
    close(fd);
    return Fail(path, ENODEV, node);
  }
  *passFd = fd;
  return true;
}

}  // namespace

bool OpenWorkingDisk(const char* diskPath, const char* sysfsRoot, const char* devRoot,
                     WorkingDisk* disk) {
  // Read-only is enough for the lock, and closing a read-only disk leaves udev quiet.
  int diskFd = OpenNode(diskPath, O_RDONLY);
  if (diskFd < 0) {
    return Fail(diskPath, errno, FailedNode::kDisk);
  }
  // The whole-disk flock is the convention udev and other disk tools respect.
  struct stat st;
  int code = fstat(diskFd, &st) != 0                 ? errno
             : !S_ISBLK(st.st_mode)                  ? ENOTBLK
             : flock(diskFd, LOCK_EX | LOCK_NB) != 0 ? errno
                                                     : 0;
  if (code != 0) {
    close(diskFd);
    return Fail(diskPath, code, FailedNode::kDisk);
  }
  int passFd = -1;
  if (!OpenPassNode(diskPath, sysfsRoot, devRoot, st, &passFd)) {
    close(diskFd);
    return false;
  }
  *disk = {diskFd, passFd, major(st.st_rdev), minor(st.st_rdev)};
  return true;
}

DriveFailure DescribeFailure(const char* path, int code, FailedNode node, char* text,
                             std::size_t size) {
  bool absent = node == FailedNode::kDisk && (code == ENOENT || code == ENXIO);
  const char* hint = "";
  if (absent) {
    hint = " (no such drive)";
  } else if (code == EACCES || code == EPERM) {
    hint = " (run as root)";
  } else if (code == EWOULDBLOCK || code == EBUSY) {
    hint = " (another program holds the drive)";
  }
  if (size > 0) {
    std::snprintf(text, size, "%s: %s%s", path, std::strerror(code), hint);
  }
  return absent ? DriveFailure::kNoDrive : DriveFailure::kFailed;
}

}  // namespace linuxplatform

namespace {

// The tool holds at most a probing handle and the working handle at a time.
struct DriveSlot {
  bool used;
  WorkingDisk disk;  // descriptors -1 for a probing handle, which holds no descriptor
};
constexpr int kDriveSlots = 4;
DriveSlot g_drives[kDriveSlots] = {};

DriveSlot* SlotOf(DriveHandle drive) {
  if (drive < 0 || drive >= kDriveSlots || !g_drives[drive].used) {
    return nullptr;
  }
  return &g_drives[drive];
}

}  // namespace

DriveHandle PlatformOpenDrive(std::int32_t number, bool exclusive) {
  g_failure.known = false;
  int slot = 0;
  while (slot < kDriveSlots && g_drives[slot].used) {
    ++slot;
  }
  char path[32];
  if (!DiskNodeName(number, path, sizeof path)) {
    return kInvalidDriveHandle;
  }
  if (slot == kDriveSlots) {
    Fail(path, EMFILE, FailedNode::kDisk);
    return kInvalidDriveHandle;
  }
  WorkingDisk disk = {-1, -1, 0, 0};
  if (exclusive) {
    if (!OpenWorkingDisk(path, kSysfsRoot, "/dev", &disk)) {
      return kInvalidDriveHandle;
    }
  } else {
    // A probe needs only the device number for sysfs: opening each disk would wake it, and
    // probing them all read-write would make udev probe them all again.
    struct stat st;
    int code = stat(path, &st) != 0 ? errno : !S_ISBLK(st.st_mode) ? ENOTBLK : 0;
    if (code != 0) {
      Fail(path, code, FailedNode::kDisk);
      return kInvalidDriveHandle;
    }
    disk.major = major(st.st_rdev);
    disk.minor = minor(st.st_rdev);
  }
  g_drives[slot] = {true, disk};
  return slot;
}

void PlatformCloseDrive(DriveHandle drive) {
  DriveSlot* slot = SlotOf(drive);
  if (slot == nullptr) {
    return;
  }
  if (slot->disk.passFd >= 0) {
    close(slot->disk.passFd);
  }
  if (slot->disk.diskFd >= 0) {
    close(slot->disk.diskFd);  // also drops the flock
  }
  *slot = {};
}

DriveFailure PlatformDriveFailure(char* text, std::uint32_t size) {
  if (!g_failure.known) {
    if (size > 0) {
      text[0] = '\0';
    }
    return DriveFailure::kUnknown;
  }
  return DescribeFailure(g_failure.path, g_failure.code, g_failure.node, text, size);
}

bool PlatformQueryDescriptor(DriveHandle drive, std::uint8_t* area, std::uint32_t* returned) {
  g_failure.known = false;
  DriveSlot* slot = SlotOf(drive);
  if (slot == nullptr) {
    return false;
  }
  errno = 0;
  if (!ReadSysfsDescriptor(kSysfsRoot, slot->disk.major, slot->disk.minor, area, returned)) {
    char path[64];
    Format(path, sizeof path, "%s/dev/block/%u:%u", kSysfsRoot, slot->disk.major, slot->disk.minor);
    return Fail(path, errno, FailedNode::kSysfs);
  }
  return true;
}

const PassThroughLayout& PlatformPassThroughLayout() {
  return kPassThroughLayout32;
}

bool PlatformPassThrough(DriveHandle drive, std::uint8_t* block, std::uint32_t length,
                         std::uint32_t* error) {
  DriveSlot* slot = SlotOf(drive);
  if (slot == nullptr || slot->disk.passFd < 0) {
    *error = EBADF;
    return false;
  }
  return PassThroughOnFd(slot->disk.passFd, block, length, error);
}

void PlatformQueryOsVersion(OsVersion* version) {
  std::memset(version, 0, sizeof *version);
  utsname name;
  if (uname(&name) != 0) {
    return;
  }
  ParseKernelRelease(name.release, &version->major, &version->minor, &version->build);
  Format(version->text, sizeof version->text, "%s", name.sysname);
}

// ---- Keys ---------------------------------------------------------------------------------------

namespace {

constexpr int kEscapeWaitMs = 30;  // a lone ESC: nothing more arrives within this time
constexpr std::size_t kQueueSize = 32;

// Key mode is held for the key wait at the end only, so holding it for less would close no gap.
// Instead every catchable signal that would end the tool puts the terminal back first, the
// core-dumping ones included: a Ctrl+\ must not leave the shell without echo. Stop signals keep
// their default: taking them would mean entering key mode again on SIGCONT.
bool EndsTheTool(int number) {
  switch (number) {
    case SIGKILL:
    case SIGSTOP:  // cannot be caught
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:  // ignored by default
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
      return false;
    default:
      return true;
  }
}

// Read by the signal handler, so only set while the handler cannot run or atomically.
int g_ttyFd = -1;
bool g_ttyTried = false;
termios g_savedMode;
volatile sig_atomic_t g_rawActive = 0;
struct sigaction g_oldActions[NSIG];  // by signal number
bool g_handlerSet[NSIG];

std::uint8_t g_queue[kQueueSize];  // bytes read ahead of TakeKey
std::size_t g_queued = 0;
int g_pendingCode = -1;  // the second code of a special key

void RestoreOnSignal(int number) {
  if (g_rawActive) {
    tcsetattr(g_ttyFd, TCSANOW, &g_savedMode);
  }
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  raise(number);  // delivered with the default action once this handler returns
}

// Only default actions are replaced: an ignored signal ends nothing, and a handler someone set
// is theirs. Numbers the C library keeps for itself refuse the change.
void CatchEndingSignals() {
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction action = {};
    action.sa_handler = RestoreOnSignal;
    sigemptyset(&action.sa_mask);
    g_handlerSet[number] =
        EndsTheTool(number) && sigaction(number, nullptr, &g_oldActions[number]) == 0 &&
        (g_oldActions[number].sa_flags & SA_SIGINFO) == 0 &&
        g_oldActions[number].sa_handler == SIG_DFL && sigaction(number, &action, nullptr) == 0;
  }
}

void ReleaseSignals() {
  for (int number = 1; number < NSIG; ++number) {
    if (g_handlerSet[number]) {
      sigaction(number, &g_oldActions[number], nullptr);
      g_handlerSet[number] = false;
    }
  }
}

// Opens the terminal and puts it into key mode; false when there is no terminal.
bool EnterKeyMode() {
  if (!g_ttyTried) {
    g_ttyTried = true;
    g_ttyFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  if (g_ttyFd < 0) {
    return false;
  }
  if (g_rawActive) {
    return true;
  }
  if (tcgetattr(g_ttyFd, &g_savedMode) != 0) {
    return false;
  }
  // Bytes as they come, no echo; ISIG stays so Ctrl+C still ends the tool. VMIN/VTIME 0 make
  // read() return at once: the waiting is done by poll().
  termios mode = g_savedMode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  // The handlers come first, so that no signal finds the mode changed without them.
  g_rawActive = 1;
  CatchEndingSignals();
  if (tcsetattr(g_ttyFd, TCSANOW, &mode) != 0) {
    g_rawActive = 0;
    ReleaseSignals();
    return false;
  }
  return true;
}

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

enum class Fill { kRead, kTimedOut, kFailed };

// Waits up to `waitMs` (-1: without limit) for terminal input and appends it to the queue.
Fill FillQueue(int waitMs) {
  long long deadline = waitMs < 0 ? 0 : NowMs() + waitMs;
  for (;;) {
    if (g_queued == kQueueSize) {
      return Fill::kRead;
    }
    int remaining = -1;
    if (waitMs >= 0) {
      long long left = deadline - NowMs();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd entry = {g_ttyFd, POLLIN, 0};
    int ready = poll(&entry, 1, remaining);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return Fill::kFailed;
    }
    if (ready == 0) {
      return Fill::kTimedOut;
    }
    ssize_t got = read(g_ttyFd, g_queue + g_queued, kQueueSize - g_queued);
    if (got > 0) {
      g_queued += static_cast<std::size_t>(got);
      return Fill::kRead;
    }
    if (got < 0 && errno != EINTR && errno != EAGAIN) {
      return Fill::kFailed;
    }
    if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return Fill::kFailed;  // the terminal is gone
    }
  }
}

}  // namespace

KeyPoll PlatformPollKey(int waitMs) {
  if (g_pendingCode >= 0) {
    return KeyPoll::kWaiting;
  }
  if (!EnterKeyMode()) {
    return KeyPoll::kNoConsole;
  }
  if (g_queued > 0) {
    return KeyPoll::kWaiting;
  }
  switch (FillQueue(waitMs < 0 ? 0 : waitMs)) {
    case Fill::kRead:
      return KeyPoll::kWaiting;
    case Fill::kTimedOut:
      return KeyPoll::kNone;
    case Fill::kFailed:
      break;
  }
  return KeyPoll::kNoConsole;
}

int PlatformTakeKey() {
  if (g_pendingCode >= 0) {
    int code = g_pendingCode;
    g_pendingCode = -1;
    return code;
  }
  if (!EnterKeyMode()) {
    return -1;
  }
  for (;;) {
    if (g_queued == 0 && FillQueue(-1) != Fill::kRead) {
      return -1;
    }
    DecodedKey key = DecodeKey(g_queue, g_queued, false);
    if (key.consumed == 0) {
      // The start of a sequence: the rest follows at once, or it was a lone ESC.
      if (FillQueue(kEscapeWaitMs) == Fill::kRead) {
        continue;
      }
      key = DecodeKey(g_queue, g_queued, true);
    }
    std::size_t used = static_cast<std::size_t>(key.consumed);
    std::memmove(g_queue, g_queue + used, g_queued - used);
    g_queued -= used;
    g_pendingCode = key.second;
    return key.first;
  }
}

void PlatformRestoreConsole() {
  if (!g_rawActive) {
    return;
  }
  tcsetattr(g_ttyFd, TCSANOW, &g_savedMode);
  g_rawActive = 0;
  ReleaseSignals();
}
