// Host files: the dump, the sector saved before an update, and "jm_nvram.bin".
#pragma once

#include <cstdint>

// Reads up to `length` bytes from the start of an existing file (opened for reading and writing,
// so a read-only file is refused). True when at least one byte was read; the rest of `buffer`
// keeps what it held. `got`, when given, receives the number of bytes read; `size`, the file's
// whole size.
bool ReadHostFile(const char* name, std::uint8_t* buffer, std::int32_t length,
                  std::int32_t* got = nullptr, std::uint64_t* size = nullptr);

// Saves `length` bytes as file `name`, replacing an existing file only once the new one is
// completely written: an earlier file survives any failure, and one whose content differs is
// kept under a numbered name, printed. A complete file that cannot take `name` stays under the
// name printed. False (after a message) on failure.
bool WriteHostFile(const char* name, const std::uint8_t* data, std::int32_t length);
