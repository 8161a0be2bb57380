// The selection: the drive number and the option letters, given as the argument or typed.
#pragma once

#include <cstdint>

// Why a selection is refused; nothing is opened for it.
enum class SelectionFault {
  kNone,
  kUpdateWithoutNumber,  // U, and the text does not begin with the drive number
  kNumberTooLarge,       // the drive number does not fit in 32 bits
};

struct Selection {
  std::int32_t drive;
  bool noNvram;      // N: dump the firmware without the NVRAM sector
  bool autoYes;      // Y: ask nobody, and wait for no key at the end
  bool updateNvram;  // U: write jm_nvram.bin into the NVRAM sector
  SelectionFault fault;
  // The characters that mean nothing, each once, in the order met ("" for none): any but white
  // space, the leading number and the letters N, U and Y. A control character shows as '?'.
  char ignored[24];
};

// Reads a selection text: the drive is its leading ASCII decimal number (after white space and a
// sign), 0 without digits; a "-" counts in 32-bit arithmetic (-1 is 4294967295). Each letter
// counts in either case, anywhere in the text. An update must begin with its drive number, and
// no drive number may be 4294967296 or more: `fault` says which rule a refused text breaks.
Selection ParseSelection(const char* text);

// The message of a refused selection: "an update needs the drive number first, e.g. 2uy".
const char* SelectionFaultText(SelectionFault fault);
