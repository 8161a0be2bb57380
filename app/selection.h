// Reading the selection text: the drive number and the option letters.
#pragma once

#include <cstdint>

// The leading decimal integer of `text` in wrap-around 32-bit arithmetic; 0 without digits.
std::int32_t ParseLeadingInt(const char* text);

bool ContainsChar(const char* text, char c);
