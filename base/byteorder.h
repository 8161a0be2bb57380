// Little-endian fields of the platform's own records (pass-through header, device descriptor),
// and big-endian ones of SCSI commands and their data.
#pragma once

#include <cstdint>

inline std::uint32_t GetLe(const std::uint8_t* p, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | p[i];
  }
  return value;
}

inline void PutLe(std::uint8_t* p, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) {
    p[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

inline std::uint32_t GetBe(const std::uint8_t* p, int width) {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    value = (value << 8) | p[i];
  }
  return value;
}
