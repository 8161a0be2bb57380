// ReadInputLine on arbitrary standard-input bytes, with a buffer of exactly the size it is told.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/input.h"
#include "base/console.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader reader(data, size);
  // 0 to 191 bytes: covers the tool's 128-byte buffers and the empty and one-byte edge cases.
  std::size_t bufferSize = reader.Byte() % 192;
  std::vector<std::uint8_t> input = reader.Rest();
  std::vector<std::string> expected = ReferenceLines(input);

  std::FILE* in = StreamOver(input);
  std::FILE* out = std::fopen("/dev/null", "wb");
  SetConsoleStreams(out, in);

  // Exactly bufferSize bytes on the heap: one byte more written is an overflow ASan reports.
  char* buffer = new char[bufferSize];
  std::memset(buffer, 0xA5, bufferSize);
  // One spare byte keeps data() valid (and the copies defined) for a zero-size buffer.
  std::vector<char> before(bufferSize + 1);
  for (std::size_t line = 0;; ++line) {
    if (bufferSize > 0) {
      std::memcpy(before.data(), buffer, bufferSize);
    }
    bool got = ReadInputLine(buffer, bufferSize);
    if (line >= expected.size()) {
      FUZZ_CHECK(!got, "line %zu read after the input ended", line);
      FUZZ_CHECK(bufferSize == 0 || std::memcmp(before.data(), buffer, bufferSize) == 0,
                 "buffer changed by a read that found no line");
      // The end is final: a later read finds nothing either.
      FUZZ_CHECK(!ReadInputLine(buffer, bufferSize), "input came back after its end");
      break;
    }
    FUZZ_CHECK(got, "line %zu of %zu not read", line, expected.size());
    if (bufferSize == 0) {
      continue;
    }
    std::size_t keep =
        expected[line].size() < bufferSize - 1 ? expected[line].size() : bufferSize - 1;
    FUZZ_CHECK(std::memcmp(buffer, expected[line].data(), keep) == 0, "line %zu differs", line);
    FUZZ_CHECK(buffer[keep] == '\0', "line %zu not terminated at %zu", line, keep);
  }

  delete[] buffer;
  SetConsoleStreams(nullptr, nullptr);
  std::fclose(in);
  std::fclose(out);
  return 0;
}
