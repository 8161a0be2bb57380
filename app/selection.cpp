#include "app/selection.h"

namespace {

std::int32_t ParseLeadingInt(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  std::uint32_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(*p - '0');
    ++p;
  }
  if (negative) {
    value = 0u - value;
  }
  return static_cast<std::int32_t>(value);
}

bool ContainsLetter(const char* text, char upper) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == upper || *p == upper - 'A' + 'a') {
      return true;
    }
  }
  return false;
}

}  // namespace

Selection ParseSelection(const char* text) {
  return {ParseLeadingInt(text), ContainsLetter(text, 'N'), ContainsLetter(text, 'Y'),
          ContainsLetter(text, 'U')};
}
