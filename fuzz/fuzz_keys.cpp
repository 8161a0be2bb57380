// Terminal key bytes on Linux: whatever a terminal (or a user pasting into it) sends, DecodeKey
// takes a key from the front without reading past the bytes it is given.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/linux/keys.h"

using linuxplatform::DecodedKey;
using linuxplatform::DecodeKey;

namespace {

bool Same(const DecodedKey& a, const DecodedKey& b) {
  return a.consumed == b.consumed && a.first == b.first && a.second == b.second;
}

// Decodes `count` bytes from a heap copy of exactly that size.
DecodedKey DecodeExact(const std::uint8_t* data, std::size_t count, bool complete) {
  std::uint8_t* exact = new std::uint8_t[count == 0 ? 1 : count];
  if (count > 0) {
    std::memcpy(exact, data, count);
  }
  DecodedKey key = DecodeKey(exact, count, complete);
  delete[] exact;
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  while (at < size) {
    std::size_t count = size - at;
    DecodedKey open = DecodeExact(data + at, count, false);
    DecodedKey done = DecodeExact(data + at, count, true);
    FUZZ_CHECK(open.consumed >= 0 && static_cast<std::size_t>(open.consumed) <= count,
               "consumed %d of %zu", open.consumed, count);
    FUZZ_CHECK(done.consumed >= 1 && static_cast<std::size_t>(done.consumed) <= count,
               "with no more bytes to come, consumed %d of %zu", done.consumed, count);
    if (open.consumed > 0) {
      // A key already complete does not change when no more bytes can follow.
      FUZZ_CHECK(Same(open, done), "key changed at the end of input");
      // Nor when the bytes behind it are cut off and nothing more can come: what follows a
      // key may end it, but never changes it.
      FUZZ_CHECK(Same(open, DecodeExact(data + at, static_cast<std::size_t>(open.consumed), true)),
                 "key depends on bytes after it");
    } else {
      FUZZ_CHECK(data[at] == 0x1B, "a plain byte %02X waited for more", data[at]);
    }
    for (const DecodedKey& k : {open, done}) {
      if (k.consumed == 0) {
        continue;
      }
      if (k.second < 0) {
        FUZZ_CHECK(k.consumed == 1 && k.first == data[at], "plain key %d from byte %02X", k.first,
                   data[at]);
      } else {
        FUZZ_CHECK((k.first == 0 || k.first == 0xE0) && k.second <= 255, "special key %d/%d",
                   k.first, k.second);
      }
    }
    at += static_cast<std::size_t>(done.consumed);
  }
  return 0;
}
