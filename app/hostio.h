// Host files and console input.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to `length` bytes from the start of an existing file (opened for reading and writing,
// so a read-only file is refused). True when at least one byte was read; the rest of `buffer`
// keeps what it held. `got`, when given, receives the number of bytes read.
bool ReadHostFile(const char* name, std::uint8_t* buffer, std::int32_t length,
                  std::int32_t* got = nullptr);

// Saves `length` bytes as file `name`, replacing an existing file only once the new one is
// completely written: an earlier file survives any failure, and one whose content differs is
// kept under a numbered name, printed. A complete file that cannot take `name` stays under the
// name printed. False (after a message) on failure.
bool WriteHostFile(const char* name, const std::uint8_t* data, std::int32_t length);

// Reads one line of standard input into `buffer` (`size` bytes), without its line end. A line
// that does not fit keeps its first size - 1 characters; the rest up to the line end is dropped.
// False at the end of input before any character, with `buffer` untouched.
bool ReadInputLine(char* buffer, std::size_t size);

// The leading decimal integer of `text` in wrap-around 32-bit arithmetic; 0 without digits.
std::int32_t ParseLeadingInt(const char* text);

bool ContainsChar(const char* text, char c);

// True when a key press is waiting on the console; never waits.
bool KeyWaiting();
// Takes one key code, waiting for one if none is pending; -1 when the console cannot be read.
int TakeKey();
