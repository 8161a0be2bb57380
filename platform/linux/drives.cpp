// Linux drives: whole disks (named in names.cpp), the working open with its lock and sg node, and
// the slots that hold them. sysfs is read in sysfs.cpp, SG_IO is in passthrough.cpp, the OS
// version in version.cpp, the terminal keys in keys.cpp, host files in files.cpp.
#include "platform/linux/backend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace linuxplatform {

namespace {

constexpr char kSysfsRoot[] = "/sys";

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

using namespace linuxplatform;

namespace {

// The tool holds at most a probing handle and the working handle at a time.
struct DriveSlot {
  bool used;
  WorkingDisk disk;  // descriptors -1 for a probing handle, which holds no descriptor
  std::int32_t number;
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
    Format(path, sizeof path, "drive %d", static_cast<int>(number));
    Fail(path, ENXIO, FailedNode::kDisk);  // no node has a negative number
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
  g_drives[slot] = {true, disk, number};
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

void PlatformDriveName(DriveHandle drive, char* text, std::uint32_t size) {
  DriveSlot* slot = SlotOf(drive);
  if ((slot == nullptr || !DiskNodeName(slot->number, text, size)) && size > 0) {
    Format(text, size, "drive handle %ld", static_cast<long>(drive));
  }
}

int linuxplatform::PassFdOf(DriveHandle drive) {
  DriveSlot* slot = SlotOf(drive);
  return slot != nullptr ? slot->disk.passFd : -1;
}
