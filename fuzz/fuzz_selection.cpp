// The selection text (argument or typed line): drive number and option letters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/selection.h"
#include "fuzz/fuzz_support.h"

namespace {

// C's leading-integer rule (space, sign, digits) with the value taken modulo 2^32.
std::int32_t ReferenceInt(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % (std::uint64_t{1} << 32);
  }
  if (negative) {
    value = ((std::uint64_t{1} << 32) - value) % (std::uint64_t{1} << 32);
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Up to nine digits cannot wrap: there the C library must agree exactly.
bool FitsStrtol(const std::string& text) {
  std::size_t digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    }
  }
  return digits <= 9;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The tool sees text up to the first zero byte, as argv or a typed line would give it.
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();
  // An exact-size copy, so a read past the terminator is caught.
  char* copy = new char[text.size() + 1];
  std::memcpy(copy, text.c_str(), text.size() + 1);

  const Selection selection = ParseSelection(copy);
  const std::int32_t parsed = selection.drive;
  FUZZ_CHECK(parsed == ReferenceInt(text), "\"%s\": %d, expected %d", text.c_str(), parsed,
             ReferenceInt(text));
  if (FitsStrtol(text)) {
    long expected = std::strtol(copy, nullptr, 10);
    FUZZ_CHECK(parsed == expected, "\"%s\": %d, strtol %ld", text.c_str(), parsed, expected);
  }

  auto has = [&](char c) { return text.find(c) != std::string::npos; };
  FUZZ_CHECK(selection.noNvram == (has('N') || has('n')), "\"%s\": N", text.c_str());
  FUZZ_CHECK(selection.autoYes == (has('Y') || has('y')), "\"%s\": Y", text.c_str());
  FUZZ_CHECK(selection.updateNvram == (has('U') || has('u')), "\"%s\": U", text.c_str());

  delete[] copy;
  return 0;
}
