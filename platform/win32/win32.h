// <windows.h> as the Windows backend files include it: without the rarely used APIs and without
// the min and max macros, which break the standard library.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

// A DriveHandle of the Windows backend is the drive's HANDLE.
inline HANDLE AsHandle(DriveHandle drive) {
  return reinterpret_cast<HANDLE>(drive);
}

// The system's text for error `code` in `language` (0: the user's), converted to `codePage`,
// without its closing full stop. False when the system has no text for it.
bool FormatErrorText(DWORD code, DWORD language, UINT codePage, char* text, std::size_t size);
// The code page the tool's reasons are written in: the console's output code page when standard
// error is a console, else the ANSI code page.
UINT ReasonCodePage();
// The system's text for error `code` in the user's language and ReasonCodePage(); "error N" when
// the system has none.
void SystemErrorText(DWORD code, char* text, std::size_t size);
