// The selection text (argument or typed line): drive number and option letters.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/selection.h"
#include "fuzz/fuzz_support.h"

namespace {

// C's leading-integer rule (space, sign, ASCII digits); the value taken modulo 2^32 once the
// digits' value fits in 32 bits. `numbered`: there were digits; `tooLarge`: they did not fit.
std::int32_t ReferenceInt(const std::string& text, bool* numbered, bool* tooLarge,
                          std::size_t* end) {
  std::size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  *numbered = i < text.size() && text[i] >= '0' && text[i] <= '9';
  *tooLarge = false;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    *tooLarge |= value >= (std::uint64_t{1} << 32);
    value %= std::uint64_t{1} << 32;
  }
  *end = *numbered ? i : 0;
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
  bool numbered = false, tooLarge = false;
  std::size_t end = 0;
  const std::int32_t expected = ReferenceInt(text, &numbered, &tooLarge, &end);
  auto has = [&](char c) { return text.find(c) != std::string::npos; };
  const bool update = has('U') || has('u');
  const SelectionFault fault = tooLarge              ? SelectionFault::kNumberTooLarge
                               : update && !numbered ? SelectionFault::kUpdateWithoutNumber
                                                     : SelectionFault::kNone;
  FUZZ_CHECK(selection.fault == fault, "\"%s\": fault %d, expected %d", text.c_str(),
             static_cast<int>(selection.fault), static_cast<int>(fault));
  const std::int32_t parsed = selection.drive;
  if (fault == SelectionFault::kNone) {
    FUZZ_CHECK(parsed == expected, "\"%s\": %d, expected %d", text.c_str(), parsed, expected);
  }
  if (fault == SelectionFault::kNone && FitsStrtol(text)) {
    long c = std::strtol(copy, nullptr, 10);
    FUZZ_CHECK(parsed == c, "\"%s\": %d, strtol %ld", text.c_str(), parsed, c);
  }

  FUZZ_CHECK(selection.noNvram == (has('N') || has('n')), "\"%s\": N", text.c_str());
  FUZZ_CHECK(selection.autoYes == (has('Y') || has('y')), "\"%s\": Y", text.c_str());
  FUZZ_CHECK(selection.updateNvram == update, "\"%s\": U", text.c_str());

  // Past the number, every printable ASCII character but blanks and N, U, Y is named once, while
  // there is room; what is named comes from the text (a control character as '?').
  const std::string ignored = selection.ignored;
  FUZZ_CHECK(ignored.size() < sizeof selection.ignored, "\"%s\": ignored unterminated",
             text.c_str());
  for (std::size_t i = end; i < text.size(); ++i) {
    const char c = text[i];
    const bool meaningless = c > ' ' && c < 0x7F && std::strchr("NUYnuy", c) == nullptr;
    const std::size_t named = std::count(ignored.begin(), ignored.end(), c);
    FUZZ_CHECK(
        !meaningless || named == 1 || (named == 0 && ignored.size() + 5 > sizeof selection.ignored),
        "\"%s\": '%c' named %zu times", text.c_str(), c, named);
  }
  for (char c : ignored) {
    FUZZ_CHECK(c == '?' || text.find(c, end) != std::string::npos, "\"%s\": '%c' named",
               text.c_str(), c);
  }

  delete[] copy;
  return 0;
}
