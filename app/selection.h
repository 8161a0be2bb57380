// The selection: the drive number and the option letters, given as the argument or typed.
#pragma once

#include <cstdint>

struct Selection {
  std::int32_t drive;
  bool noNvram;      // N: dump the firmware without the NVRAM sector
  bool autoYes;      // Y: ask nobody, and wait for no key at the end
  bool updateNvram;  // U: write jm_nvram.bin into the NVRAM sector
};

// Reads a selection text: the drive is its leading decimal integer (after white space and a
// sign) in wrap-around 32-bit arithmetic, 0 without digits; each letter counts in either case,
// anywhere in the text.
Selection ParseSelection(const char* text);
