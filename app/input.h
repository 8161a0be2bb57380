// Console input: lines of standard input and key presses.
#pragma once

#include <cstddef>

// Reads one line of standard input into `buffer` (`size` bytes), without its line end. A line
// that does not fit keeps its first size - 1 characters; the rest up to the line end is dropped.
// False at the end of input before any character, with `buffer` untouched.
bool ReadInputLine(char* buffer, std::size_t size);

// Waits for a key, then takes every key that is waiting. Without a console there is nothing to
// wait for, and it returns at once.
void WaitForKey();
