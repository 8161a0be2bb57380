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

// O_NONBLOCK lets a bridge without a medium open, and makes an sg node held with O_EXCL fail at
// once. Never O_EXCL on the disk: it fails while any partition is mounted.
int OpenNode(const char* path, int access) {
  return open(path, access | O_NONBLOCK | O_CLOEXEC);
}

DriveError OpenPassNode(const char* diskPath, const char* sysfsRoot, const char* devRoot,
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
    return FailureOf(path, errno, node);
  }
  // Vendor commands go only to the device that sysfs named: an sg node must be a character
  // device, and the disk must still be the one that is locked.
  struct stat st;
  bool same = fstat(fd, &st) == 0 &&
              (generic ? S_ISCHR(st.st_mode) : S_ISBLK(st.st_mode) && st.st_rdev == disk.st_rdev);
  if (!same) {
    close(fd);
    return FailureOf(path, ENODEV, node);
  }
  *passFd = fd;
  return {};
}

}  // namespace

DriveError OpenWorkingDisk(const char* diskPath, const char* sysfsRoot, const char* devRoot,
                           WorkingDisk* disk) {
  // Read-only is enough for the lock, and closing a read-only disk leaves udev quiet.
  int diskFd = OpenNode(diskPath, O_RDONLY);
  if (diskFd < 0) {
    return FailureOf(diskPath, errno, FailedNode::kDisk);
  }
  // The whole-disk flock is the convention udev and other disk tools respect.
  struct stat st;
  int code = fstat(diskFd, &st) != 0                 ? errno
             : !S_ISBLK(st.st_mode)                  ? ENOTBLK
             : flock(diskFd, LOCK_EX | LOCK_NB) != 0 ? errno
                                                     : 0;
  if (code != 0) {
    close(diskFd);
    return FailureOf(diskPath, code, FailedNode::kDisk);
  }
  int passFd = -1;
  DriveError error = OpenPassNode(diskPath, sysfsRoot, devRoot, st, &passFd);
  if (error.fault != DriveFault::kNone) {
    close(diskFd);
    return error;
  }
  *disk = {diskFd, passFd, major(st.st_rdev), minor(st.st_rdev)};
  return {};
}

DriveError FailureOf(const char* path, int code, FailedNode node) {
  code = code != 0 ? code : EIO;
  DriveError error = {DriveFault::kFailed, {}, {}};
  if (node == FailedNode::kDisk && (code == ENOENT || code == ENXIO)) {
    error.fault = DriveFault::kNoDrive;
  } else if (code == EACCES || code == EPERM) {
    error.fault = DriveFault::kNoRights;
  } else if (code == EWOULDBLOCK || code == EBUSY) {
    error.fault = DriveFault::kBusy;
  }
  Format(error.device, sizeof error.device, "%s", path);
  Format(error.text, sizeof error.text, "%s", std::strerror(code));
  return error;
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

const char kPlatformRightsHint[] = " (run as root)";

DriveOpening PlatformOpenDrive(std::int32_t number, bool exclusive) {
  int slot = 0;
  while (slot < kDriveSlots && g_drives[slot].used) {
    ++slot;
  }
  char path[32];
  if (!DiskNodeName(number, path, sizeof path)) {
    Format(path, sizeof path, "drive %d", static_cast<int>(number));
    // No node has a negative number.
    return {kInvalidDriveHandle, FailureOf(path, ENXIO, FailedNode::kDisk)};
  }
  if (slot == kDriveSlots) {
    return {kInvalidDriveHandle, FailureOf(path, EMFILE, FailedNode::kDisk)};
  }
  WorkingDisk disk = {-1, -1, 0, 0};
  if (exclusive) {
    DriveError error = OpenWorkingDisk(path, kSysfsRoot, "/dev", &disk);
    if (error.fault != DriveFault::kNone) {
      return {kInvalidDriveHandle, error};
    }
  } else {
    // A probe needs only the device number for sysfs: opening each disk would wake it, and
    // probing them all read-write would make udev probe them all again.
    struct stat st;
    int code = stat(path, &st) != 0 ? errno : !S_ISBLK(st.st_mode) ? ENOTBLK : 0;
    if (code != 0) {
      return {kInvalidDriveHandle, FailureOf(path, code, FailedNode::kDisk)};
    }
    disk.major = major(st.st_rdev);
    disk.minor = minor(st.st_rdev);
  }
  g_drives[slot] = {true, disk, number};
  return {slot, {}};
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

DriveError PlatformQueryDrive(DriveHandle drive, DriveIdentity* identity) {
  std::memset(identity, 0, sizeof *identity);
  DriveSlot* slot = SlotOf(drive);
  char path[64];
  if (slot == nullptr) {
    Format(path, sizeof path, "drive handle %ld", static_cast<long>(drive));
    return FailureOf(path, EBADF, FailedNode::kSysfs);
  }
  errno = 0;
  if (!ReadSysfsIdentity(kSysfsRoot, slot->disk.major, slot->disk.minor, identity)) {
    int code = errno;
    std::memset(identity, 0, sizeof *identity);
    Format(path, sizeof path, "%s/dev/block/%u:%u", kSysfsRoot, slot->disk.major, slot->disk.minor);
    return FailureOf(path, code, FailedNode::kSysfs);
  }
  return {};
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
