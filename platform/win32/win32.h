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

#include "platform/platform.h"

// A DriveHandle of the Windows backend is the drive's HANDLE.
inline HANDLE AsHandle(DriveHandle drive) {
  return reinterpret_cast<HANDLE>(drive);
}
