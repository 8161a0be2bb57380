// Console text: every message and prompt goes through Print, every typed line through the input
// stream, the system's reasons behind a failure through PrintError. Tests point the streams at
// files.
#pragma once

#include <cstdio>

// Standard output and standard input unless a test has replaced them.
std::FILE* ConsoleOut();
std::FILE* ConsoleIn();
void SetConsoleStreams(std::FILE* out, std::FILE* in);
// Standard error unless replaced; nullptr puts standard error back.
std::FILE* ConsoleErr();
void SetConsoleErrorStream(std::FILE* err);

// A program that runs the tool under another name sets it once at start, before anything prints.
void SetProgramName(const char* name);

// Set once Ctrl+Z (0x1A) has ended the input: later reads see the end as well.
bool ConsoleInputEnded();
void EndConsoleInput();

// Formatted print to the console output, flushed at once so a prompt is visible before input is
// awaited. Returns the number of characters printed.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
int Print(const char* format, ...);

// Prints the program's name ("jmreader: ") and the formatted text to the error stream, apart from
// the transcript on the console output.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void PrintError(const char* format, ...);
