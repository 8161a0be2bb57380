// The Linux backend's internals, exposed so that they can be tested without a disk or a bridge:
// naming, the sysfs reading, the working open, the failure kinds, the SG_IO exchange on a given
// descriptor and the kernel release parsing. The tool itself only uses platform/platform.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace linuxplatform {

// snprintf into `out`; false when the text does not fit.
bool Format(char* out, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the whole-disk node of drive `number` ("/dev/sda" for 0, "/dev/sdaa" for 26) into `out`.
// False for a negative number or when `size` is too small.
bool DiskNodeName(std::int32_t number, char* out, std::size_t size);

// What device path `path` names, as PlatformDriveOfPath, with the disks under `devRoot`
// (normally "/dev").
PathDrive DriveOfDevicePath(const char* path, const char* devRoot, std::int32_t* number, char* text,
                            std::size_t size);

// Writes "<devRoot>/sgN" for the SCSI generic node of block device MAJ:MIN, found under
// `sysfsRoot` (normally "/sys" and "/dev"). False when the device has none.
bool FindGenericNode(const char* sysfsRoot, const char* devRoot, unsigned major, unsigned minor,
                     char* out, std::size_t size);

// A disk opened for work.
struct WorkingDisk {
  int diskFd;  // read-only: it holds the lock
  int passFd;  // read-write, where pass-through goes: the sg node, or else the disk once more
  unsigned major;
  unsigned minor;
};
// The working open of whole-disk node `diskPath`, its sg node looked up under `sysfsRoot` and
// `devRoot`. On failure `disk` is untouched and nothing is left open.
DriveError OpenWorkingDisk(const char* diskPath, const char* sysfsRoot, const char* devRoot,
                           WorkingDisk* disk);

// Which node a failure concerns: only a missing disk node means that there is no such drive.
enum class FailedNode { kDisk, kGeneric, kSysfs };
// The failure of error `code` (0: EIO) on `path`, sorted by kind.
DriveError FailureOf(const char* path, int code, FailedNode node);

// Fills `identity` with what block device MAJ:MIN says it is, as read from the sysfs tree at
// `sysfsRoot`. False when sysfs cannot tell.
bool ReadSysfsIdentity(const char* sysfsRoot, unsigned major, unsigned minor,
                       DriveIdentity* identity);

// The descriptor that pass-through goes to on `drive`, or -1 when it holds none.
int PassFdOf(DriveHandle drive);

// Sends the request with SG_IO on `fd`; the rest is as PlatformPassThrough.
PassThroughResult PassThroughOnFd(int fd, const PassThroughRequest& request);

// The first three dotted numbers of a kernel release ("6.1.0-13-amd64" gives 6, 1, 0); missing
// ones are 0.
void ParseKernelRelease(const char* release, std::uint32_t* major, std::uint32_t* minor,
                        std::uint32_t* build);

}  // namespace linuxplatform
