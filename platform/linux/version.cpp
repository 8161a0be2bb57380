// Linux OS version: the kernel release as the version numbers, the system name as the text.
#include <sys/utsname.h>

#include <cstring>

#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace linuxplatform {

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

}  // namespace linuxplatform

using namespace linuxplatform;

void PlatformQueryOsVersion(OsVersion* version) {
  std::memset(version, 0, sizeof *version);
  utsname name;
  if (uname(&name) != 0) {
    return;
  }
  ParseKernelRelease(name.release, &version->major, &version->minor, &version->build);
  Format(version->text, sizeof version->text, "%s", name.sysname);
}
