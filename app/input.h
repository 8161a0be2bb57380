// Console input: lines of standard input and key presses.
#pragma once

#include <cstddef>

// Reads one line of standard input into `buffer` (`size` bytes), without its line end. A line
// that does not fit keeps its first size - 1 characters; the rest up to the line end is dropped.
// False at the end of input before any character, with `buffer` untouched.
bool ReadInputLine(char* buffer, std::size_t size);

// True when a key press is waiting on the console; never waits.
bool KeyWaiting();
// Takes one key code, waiting for one if none is pending; -1 when the console cannot be read.
int TakeKey();
