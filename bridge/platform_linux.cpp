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

bool FindGenericNode(const char* sysfsRoot, unsigned major, unsigned minor, char* out,
                     std::size_t size) {
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
      found = Format(out, size, "/dev/%s", entry->d_name);
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

namespace {

// The tool holds at most a probing handle and the working handle at a time.
struct DriveSlot {
  int diskFd;  // -1: slot free
  int passFd;  // where pass-through goes: the sg node, or the disk itself
};
constexpr int kDriveSlots = 4;
DriveSlot g_drives[kDriveSlots] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};

DriveSlot* SlotOf(DriveHandle drive) {
  if (drive < 0 || drive >= kDriveSlots || g_drives[drive].diskFd < 0) {
    return nullptr;
  }
  return &g_drives[drive];
}

// O_NONBLOCK lets a bridge without a medium open. Never O_EXCL: it fails while any partition is
// mounted.
int OpenDevice(const char* path) {
  return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

DriveHandle PlatformOpenDrive(std::int32_t number, bool exclusive) {
  int slot = 0;
  while (slot < kDriveSlots && g_drives[slot].diskFd >= 0) {
    ++slot;
  }
  char path[32];
  if (slot == kDriveSlots || !DiskNodeName(number, path, sizeof path)) {
    return kInvalidDriveHandle;
  }
  int diskFd = OpenDevice(path);
  if (diskFd < 0) {
    return kInvalidDriveHandle;
  }
  int passFd = diskFd;
  if (exclusive) {
    // The whole-disk flock is the convention udev and other disk tools respect.
    struct stat st;
    if (flock(diskFd, LOCK_EX | LOCK_NB) != 0 || fstat(diskFd, &st) != 0 || !S_ISBLK(st.st_mode)) {
      close(diskFd);
      return kInvalidDriveHandle;
    }
    // SG_IO on the disk raises short time-outs to the block layer's minimum; the sg node keeps
    // the 2 s the bridge commands ask for.
    char sgPath[64];
    if (FindGenericNode(kSysfsRoot, major(st.st_rdev), minor(st.st_rdev), sgPath, sizeof sgPath)) {
      passFd = OpenDevice(sgPath);
      if (passFd < 0) {
        close(diskFd);
        return kInvalidDriveHandle;
      }
    }
  }
  g_drives[slot] = {diskFd, passFd};
  return slot;
}

void PlatformCloseDrive(DriveHandle drive) {
  DriveSlot* slot = SlotOf(drive);
  if (slot == nullptr) {
    return;
  }
  if (slot->passFd != slot->diskFd) {
    close(slot->passFd);
  }
  close(slot->diskFd);  // also drops the flock
  *slot = {-1, -1};
}

bool PlatformQueryDescriptor(DriveHandle drive, std::uint8_t* area, std::uint32_t* returned) {
  DriveSlot* slot = SlotOf(drive);
  struct stat st;
  if (slot == nullptr || fstat(slot->diskFd, &st) != 0 || !S_ISBLK(st.st_mode)) {
    return false;
  }
  return ReadSysfsDescriptor(kSysfsRoot, major(st.st_rdev), minor(st.st_rdev), area, returned);
}

const PassThroughLayout& PlatformPassThroughLayout() {
  return kPassThroughLayout32;
}

bool PlatformPassThrough(DriveHandle drive, std::uint8_t* block, std::uint32_t length,
                         std::uint32_t* error) {
  DriveSlot* slot = SlotOf(drive);
  if (slot == nullptr) {
    *error = EBADF;
    return false;
  }
  return PassThroughOnFd(slot->passFd, block, length, error);
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

bool PlatformReplaceFile(const char* from, const char* to) {
  // The new file's data must be on disk before its name replaces the old one, or a power cut
  // could leave neither dump.
  int fd = open(from, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced && rename(from, to) == 0;
}

// ---- Keys ---------------------------------------------------------------------------------------

namespace {

constexpr int kEscapeWaitMs = 30;  // a lone ESC: nothing more arrives within this time
constexpr std::size_t kQueueSize = 32;
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kHandledSignals / sizeof kHandledSignals[0];

// Read by the signal handler, so only set while the handler cannot run or atomically.
int g_ttyFd = -1;
bool g_ttyTried = false;
termios g_savedMode;
volatile sig_atomic_t g_rawActive = 0;
struct sigaction g_oldActions[kSignalCount];
bool g_handlerSet[kSignalCount];

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
  g_rawActive = 1;
  if (tcsetattr(g_ttyFd, TCSANOW, &mode) != 0) {
    g_rawActive = 0;
    return false;
  }
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction action = {};
    action.sa_handler = RestoreOnSignal;
    sigemptyset(&action.sa_mask);
    g_handlerSet[i] = sigaction(kHandledSignals[i], nullptr, &g_oldActions[i]) == 0 &&
                      g_oldActions[i].sa_handler != SIG_IGN &&
                      sigaction(kHandledSignals[i], &action, nullptr) == 0;
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
  for (int i = 0; i < kSignalCount; ++i) {
    if (g_handlerSet[i]) {
      sigaction(kHandledSignals[i], &g_oldActions[i], nullptr);
      g_handlerSet[i] = false;
    }
  }
}
