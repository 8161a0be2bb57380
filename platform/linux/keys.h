// The terminal key decoder of the Linux backend, exposed for its tests and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linuxplatform {

// One key decoded from the front of the terminal's input bytes.
struct DecodedKey {
  int consumed;  // bytes taken; 0 when the bytes are the start of a sequence not yet complete
  int first;     // the key's code, or the prefix of a special key (0 or 0xE0)
  int second;    // a special key's own code, else -1
};
// Decodes the key at the front of `bytes`. `complete` says that no more bytes will follow (the
// short wait after an ESC has passed): an unfinished sequence is then taken as it stands.
DecodedKey DecodeKey(const std::uint8_t* bytes, std::size_t count, bool complete);

}  // namespace linuxplatform
