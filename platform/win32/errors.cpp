// The system's texts for error codes, as the tool's reasons show them.
#include <cstdio>
#include <cwchar>

#include "platform/win32/win32.h"

bool FormatErrorText(DWORD code, DWORD language, UINT codePage, char* text, std::size_t size) {
  wchar_t wide[512];
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, code, language, wide, sizeof wide / sizeof wide[0], nullptr);
  // The system's sentence ends in a full stop and a space; a hint or the line end follows instead.
  while (n > 0 && std::wcschr(L" .\r\n", wide[n - 1]) != nullptr) {
    --n;
  }
  char narrow[1024];
  int got = n == 0 ? 0
                   : WideCharToMultiByte(codePage, 0, wide, static_cast<int>(n), narrow,
                                         sizeof narrow - 1, nullptr, nullptr);
  if (got <= 0 || size == 0) {
    return false;
  }
  narrow[got] = '\0';
  std::snprintf(text, size, "%s", narrow);
  return true;
}

UINT ReasonCodePage() {
  // The ANSI text of FormatMessageA shows garbled in a console, which shows its own output code
  // page ("Accès refusé" in 1252 reads "AccÞs refusÚ" in 850); a file or pipe gets ANSI, as
  // Windows programs read it.
  DWORD mode = 0;
  UINT console = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? GetConsoleOutputCP() : 0;
  return console != 0 ? console : GetACP();
}

void SystemErrorText(DWORD code, char* text, std::size_t size) {
  if (!FormatErrorText(code, 0, ReasonCodePage(), text, size) && size > 0) {
    std::snprintf(text, size, "error %lu", static_cast<unsigned long>(code));
  }
}
