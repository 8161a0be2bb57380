#include "app/selection.h"

#include <cstring>

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
  return static_cast<std::int32_t>(negative ? 0u - value : value);
}

}  // namespace

Selection ParseSelection(const char* text) {
  auto has = [text](char upper) {
    return std::strchr(text, upper) != nullptr || std::strchr(text, upper - 'A' + 'a') != nullptr;
  };
  return {ParseLeadingInt(text), has('N'), has('Y'), has('U')};
}
