#include "base/console.h"

#include <cstdarg>

namespace {
std::FILE* g_out = nullptr;
std::FILE* g_in = nullptr;
std::FILE* g_err = nullptr;
bool g_inputEnded = false;
const char* g_name = "jmreader";
}  // namespace

std::FILE* ConsoleOut() {
  return g_out != nullptr ? g_out : stdout;
}
std::FILE* ConsoleIn() {
  return g_in != nullptr ? g_in : stdin;
}

void SetConsoleStreams(std::FILE* out, std::FILE* in) {
  g_out = out;
  g_in = in;
  g_inputEnded = false;
}

std::FILE* ConsoleErr() {
  return g_err != nullptr ? g_err : stderr;
}
void SetConsoleErrorStream(std::FILE* err) {
  g_err = err;
}

void SetProgramName(const char* name) {
  g_name = name;
}

bool ConsoleInputEnded() {
  return g_inputEnded;
}
void EndConsoleInput() {
  g_inputEnded = true;
}

int Print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  int n = std::vfprintf(ConsoleOut(), format, args);
  va_end(args);
  std::fflush(ConsoleOut());
  return n;
}

void PrintError(const char* format, ...) {
  std::fprintf(ConsoleErr(), "%s: ", g_name);
  std::va_list args;
  va_start(args, format);
  std::vfprintf(ConsoleErr(), format, args);
  va_end(args);
  std::fflush(ConsoleErr());
}
