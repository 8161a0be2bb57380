// Linux drive names: drive N is the whole disk /dev/sd + letters (0 /dev/sda, 26 /dev/sdaa), and
// back from a device path to its drive.
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"

namespace linuxplatform {

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
  int written = std::snprintf(out, size, "/dev/sd%s", reversed);
  return written >= 0 && static_cast<std::size_t>(written) < size;
}

PathDrive DriveOfDevicePath(const char* path, const char* devRoot, std::int32_t* number, char* text,
                            std::size_t size) {
  // Links (/dev/disk/by-id/...) lead to the node itself; its name then says which disk it is.
  char real[PATH_MAX];
  struct stat st;
  if (realpath(path, real) == nullptr || stat(real, &st) != 0) {
    std::snprintf(text, size, "%s", std::strerror(errno));
    return PathDrive::kNoDrive;
  }
  std::size_t rootLength = std::strlen(devRoot);
  bool named = S_ISBLK(st.st_mode) && std::strncmp(real, devRoot, rootLength) == 0 &&
               std::strncmp(real + rootLength, "/sd", 3) == 0;
  const char* p = named ? real + rootLength + 3 : real;
  // Bijective base 26 back: "a" is 1, "z" 26, "aa" 27; the drive number is one less.
  std::int64_t value = 0;
  int letters = 0;
  for (; named && *p >= 'a' && *p <= 'z' && letters < 7; ++p, ++letters) {
    value = value * 26 + (*p - 'a' + 1);
  }
  const char* digits = p;
  while (*p >= '0' && *p <= '9') {
    ++p;
  }
  if (!named || letters == 0 || *p != '\0' || value - 1 > INT32_MAX) {
    std::snprintf(text, size, "not a disk /dev/sdX");
    return PathDrive::kNoDrive;
  }
  *number = static_cast<std::int32_t>(value - 1);
  std::snprintf(text, size, "%.*s", static_cast<int>(digits - real), real);
  return p == digits ? PathDrive::kDrive : PathDrive::kPartition;
}

}  // namespace linuxplatform

PathDrive PlatformDriveOfPath(const char* path, std::int32_t* number, char* text,
                              std::uint32_t size) {
  return linuxplatform::DriveOfDevicePath(path, "/dev", number, text, size);
}
