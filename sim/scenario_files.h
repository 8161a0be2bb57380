// The reading that scenario and state files share: lines, words, numbers and files, each bounded so
// that no input can make the simulator hang or grow without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A text as it is shown in a message: at most `width` characters, a longer one cut with "...".
std::string Shown(const std::string& text, std::size_t width = 80);

// The line of `text` that starts at `*at`, without its end (LF, CR or CRLF); moves `*at` past it.
std::string NextLine(const std::string& text, std::size_t* at);

// Splits a line into words, up to a "#"; "double quotes" keep blanks inside a word. False for a
// quote left open.
bool SplitWords(const std::string& line, std::vector<std::string>* words);
// A byte given as one or two hex digits.
bool HexByte(const std::string& word, std::uint8_t* byte);

// A number in decimal or in hex after "0x" (a leading 0 is still decimal), at most `max`; false
// for anything else, a sign, a blank or a value past `max` included.
bool ParseNumber(const std::string& word, unsigned long long max, unsigned long long* value);

// Reads the regular file `path` into `bytes` when it holds at most `limit` bytes. Anything else
// (a folder, a device, a FIFO, a bigger file) is refused without reading it: returns what is
// wrong, naming the file; "" when read.
std::string ReadRegularFile(const std::string& path, std::size_t limit, std::string* bytes);
// Whether anything is at `path`, so that a missing file can be told from an unreadable one.
bool FileExists(const std::string& path);
