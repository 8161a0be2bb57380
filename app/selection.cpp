#include "app/selection.h"

#include <cstring>

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';  // a full-width or other non-ASCII digit is none
}

// Adds `c` to the ignored characters unless it is there already. The bytes of a character
// outside ASCII are each kept, so that it shows whole; a control character shows as '?'. False
// once there is no room: nothing after is added, so no character is shown in part.
bool Ignore(char c, char (&ignored)[sizeof Selection::ignored]) {
  const std::uint8_t b = static_cast<std::uint8_t>(c);
  const char shown = b < 0x20 || b == 0x7F ? '?' : c;
  const std::size_t n = std::strlen(ignored);
  const bool continuation = b >= 0x80 && b < 0xC0;
  // A new character needs room for up to 4 bytes of UTF-8, so that none is cut, and the end.
  if (n + (continuation ? 1 : 4) + 1 > sizeof ignored) {
    return false;
  }
  if (b >= 0x80 || std::strchr(ignored, shown) == nullptr) {
    ignored[n] = shown;
    ignored[n + 1] = '\0';
  }
  return true;
}

}  // namespace

Selection ParseSelection(const char* text) {
  Selection s = {};
  const char* p = text;
  while (IsSpace(*p)) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  const bool numbered = IsDigit(*p);
  std::uint64_t value = 0;
  for (; IsDigit(*p); ++p) {
    value = value * 10u + static_cast<std::uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFu) {
      s.fault = SelectionFault::kNumberTooLarge;
      value = 0xFFFFFFFFu + 1ull;  // kept from growing on
    }
  }
  const std::uint32_t low = static_cast<std::uint32_t>(value);
  s.drive = static_cast<std::int32_t>(negative ? 0u - low : low);
  // Without digits the sign was no number's: it is read as a letter, as the rest is.
  bool room = true;
  for (const char* q = numbered ? p : text; *q != '\0'; ++q) {
    const char upper = *q >= 'a' && *q <= 'z' ? static_cast<char>(*q - 'a' + 'A') : *q;
    s.noNvram |= upper == 'N';
    s.autoYes |= upper == 'Y';
    s.updateNvram |= upper == 'U';
    if (room && !IsSpace(*q) && upper != 'N' && upper != 'Y' && upper != 'U') {
      room = Ignore(*q, s.ignored);
    }
  }
  if (s.updateNvram && !numbered && s.fault == SelectionFault::kNone) {
    s.fault = SelectionFault::kUpdateWithoutNumber;
  }
  return s;
}

const char* SelectionFaultText(SelectionFault fault) {
  return fault == SelectionFault::kUpdateWithoutNumber
             ? "an update needs the drive number first, e.g. 2uy"
         : fault == SelectionFault::kNumberTooLarge ? "the drive number is too large"
                                                    : "";
}
