// Helpers shared by the fuzz targets: an input reader that never runs dry, reference versions of
// the tool's input rules written independently of it, and a stop that every sanitizer sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

// A broken invariant is reported like a sanitizer finding: message, then abort.
#define FUZZ_CHECK(cond, ...)                                                       \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                            \
      std::fputc('\n', stderr);                                                     \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Reads fields from the front of the fuzz input; past its end every field is zero, so any input
// is a valid one.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Little-endian; the reads are sequenced, since operands of | are evaluated in no set order.
  std::uint16_t U16() {
    std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::uint32_t U32() {
    std::uint32_t low = U16();
    return low | (std::uint32_t{U16()} << 16);
  }
  std::vector<std::uint8_t> Take(std::size_t n) {
    std::vector<std::uint8_t> out(n, 0);
    for (std::size_t i = 0; i < n && at_ < size_; ++i) {
      out[i] = data_[at_++];
    }
    return out;
  }
  std::vector<std::uint8_t> Rest() {
    std::vector<std::uint8_t> out(data_ + at_, data_ + size_);
    at_ = size_;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The lines a user typed, as the console rules define them: CR LF counts as LF, a lone CR is an
// ordinary character, Ctrl+Z (0x1A) or the end of the bytes ends the input, and a last line
// without a line end still counts.
inline std::vector<std::string> ReferenceLines(const std::vector<std::uint8_t>& input) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;
  std::size_t i = 0;
  while (i < input.size()) {
    std::uint8_t b = input[i];
    if (b == 0x1A) {
      break;
    }
    if (b == '\n' || (b == '\r' && i + 1 < input.size() && input[i + 1] == '\n')) {
      lines.push_back(line);
      line.clear();
      open = false;
      i += b == '\n' ? 1 : 2;
      continue;
    }
    line += static_cast<char>(b);
    open = true;
    ++i;
  }
  if (open) {
    lines.push_back(line);
  }
  return lines;
}

// A read-only stream over `bytes` (fmemopen refuses an empty buffer, so that one is /dev/null).
inline std::FILE* StreamOver(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) {
    return std::fopen("/dev/null", "rb");
  }
  return fmemopen(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), "rb");
}

// Everything written to a captured console stream so far.
inline std::string ReadAll(std::FILE* f) {
  std::string s;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) {
    s += static_cast<char>(c);
  }
  return s;
}

// Whole-buffer reads and copies: the harness's own byte loops would slow every run down.
inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return bytes;
  }
  std::fseek(f, 0, SEEK_END);
  bytes.resize(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  return bytes;
}

// The text after `label` up to the line end; false when the output has no such line.
inline bool LineAfter(const std::string& output, const std::string& label, std::string* value) {
  std::size_t at = output.find(label);
  if (at == std::string::npos) {
    return false;
  }
  at += label.size();
  *value = output.substr(at, output.find('\n', at) - at);
  return true;
}

// Files land in the working directory: the runs get one of their own, `/tmp/<prefix>XXXXXX`,
// removed at a normal exit (after a finding it stays for a look).
inline void EnterScratchFolder(const char* prefix) {
  static char folder[64];
  std::snprintf(folder, sizeof folder, "/tmp/%sXXXXXX", prefix);
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
    std::abort();
  }
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(folder, ignored);
  });
}
