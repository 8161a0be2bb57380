// Linux drive names: drive N is the whole disk /dev/sd + letters (0 /dev/sda, 26 /dev/sdaa).
#include <cstdio>

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

}  // namespace linuxplatform
