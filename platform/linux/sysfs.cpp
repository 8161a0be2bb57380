// Linux sysfs: the attributes behind a block device, its SCSI generic node, and what it says it
// is.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace linuxplatform {

bool Format(char* out, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out, size, format, args);
  va_end(args);
  return n >= 0 && static_cast<std::size_t>(n) < size;
}

namespace {

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

// A USB ID attribute: four hex digits.
bool ReadUsbId(const char* folder, const char* name, std::uint16_t* id) {
  char path[PATH_MAX];
  char text[16];
  char* end = nullptr;
  if (!Format(path, sizeof path, "%s/%s", folder, name) ||
      !ReadAttribute(path, text, sizeof text)) {
    return false;
  }
  unsigned long value = std::strtoul(text, &end, 16);
  *id = static_cast<std::uint16_t>(value);
  return end != text && *end == '\0' && value <= 0xFFFF;
}

// The USB device that `device` (a real path below `root`) hangs on is the nearest folder above it
// with idVendor and idProduct; its serial, when it has one, is beside them.
void ReadUsbDevice(const char* root, char* device, DriveIdentity* identity) {
  std::size_t rootLength = std::strlen(root);
  for (char* slash = std::strrchr(device, '/');
       slash != nullptr && static_cast<std::size_t>(slash - device) > rootLength;
       slash = std::strrchr(device, '/')) {
    *slash = '\0';
    if (ReadUsbId(device, "idVendor", &identity->usbVendor) &&
        ReadUsbId(device, "idProduct", &identity->usbProduct)) {
      identity->usbIdsKnown = true;
      char path[PATH_MAX];
      if (!Format(path, sizeof path, "%s/serial", device) ||
          !ReadAttribute(path, identity->serial, kAttributeMax)) {
        identity->serial[0] = '\0';
      }
      return;
    }
  }
  identity->usbVendor = identity->usbProduct = 0;
}

}  // namespace

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

bool ReadSysfsIdentity(const char* sysfsRoot, unsigned major, unsigned minor,
                       DriveIdentity* identity) {
  char path[PATH_MAX];
  static_assert(kAttributeMax <= kIdentityTextSize);
  identity->serial[0] = '\0';
  identity->usbIdsKnown = false;
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u/device/vendor", sysfsRoot, major, minor) ||
      !ReadAttribute(path, identity->vendor, kAttributeMax)) {
    return false;
  }
  if (!Format(path, sizeof path, "%s/dev/block/%u:%u/device/model", sysfsRoot, major, minor) ||
      !ReadAttribute(path, identity->product, kAttributeMax)) {
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
  identity->bus = kBusTypeScsi;
  if (std::strstr(below, "/usb") != nullptr) {
    identity->bus = kBusTypeUsb;
    static_assert(kAttributeMax <= sizeof identity->serial);
    ReadUsbDevice(root, device, identity);
  } else if (std::strstr(below, "/ata") != nullptr) {
    identity->bus = kBusTypeSata;
  }
  return true;
}

}  // namespace linuxplatform
