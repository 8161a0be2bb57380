// Host files on Windows: only a plain disk file is read, and the dump is written to a file created
// exclusively beside its final name, flushed, then moved over it.
#include "platform/win32/win32.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr int kCreateTries = 8;

// Why the latest read or save failed: kNotRegular and kEmpty carry no system error.
FileFailure g_failure = FileFailure::kNone;
DWORD g_failureCode = 0;

// Keeps the first failure of a call; later steps (a clean-up) must not hide it.
void Fail(DWORD code, FileFailure kind = FileFailure::kNone) {
  if (g_failure != FileFailure::kNone) {
    return;
  }
  if (kind == FileFailure::kNone) {
    kind = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileFailure::kMissing
           : code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT ? FileFailure::kNoAccess
                                                                        : FileFailure::kOther;
  }
  g_failure = kind;
  g_failureCode = code;
}

bool TemporaryName(const char* name, int attempt, char* out, std::size_t size) {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  unsigned long long token =
      static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^
      (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
      static_cast<unsigned long long>(attempt);
  int n = std::snprintf(out, size, "%s.%016llx.tmp", name, token);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

}  // namespace

FileFailure PlatformFileFailure(char* text, std::uint32_t size) {
  if (size == 0) {
    return g_failure;
  }
  if (g_failure == FileFailure::kNotRegular || g_failure == FileFailure::kEmpty) {
    std::snprintf(text, size, "%s",
                  g_failure == FileFailure::kEmpty ? "the file is empty" : "not a regular file");
  } else if (g_failure == FileFailure::kNone) {
    text[0] = '\0';
  } else {
    SystemErrorText(g_failureCode, text, size);
  }
  return g_failure;
}

std::int32_t PlatformReadFile(const char* name, std::uint8_t* buffer, std::uint32_t length) {
  g_failure = FileFailure::kNone;
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Fail(GetLastError());
    return -1;
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    Fail(0, FileFailure::kNotRegular);
    return -1;
  }
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(GetLastError());
    return -1;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    Fail(0, FileFailure::kNotRegular);
    CloseHandle(file);
    return -1;
  }
  std::uint32_t got = 0;
  while (got < length) {
    DWORD n = 0;
    if (!ReadFile(file, buffer + got, length - got, &n, nullptr)) {
      Fail(GetLastError());
    }
    if (n == 0) {
      break;
    }
    got += n;
  }
  if (got == 0) {
    Fail(0, FileFailure::kEmpty);
  }
  CloseHandle(file);
  return static_cast<std::int32_t>(got);
}

SaveOutcome PlatformSaveFile(const char* name, const std::uint8_t* data, std::uint32_t length) {
  g_failure = FileFailure::kNone;
  char temporary[MAX_PATH + 32];
  // Ctrl+C between create and move would leave the temporary file behind.
  SetConsoleCtrlHandler(nullptr, TRUE);
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int i = 0; i < kCreateTries && file == INVALID_HANDLE_VALUE; ++i) {
    if (!TemporaryName(name, i, temporary, sizeof temporary)) {
      Fail(ERROR_FILENAME_EXCED_RANGE);
      break;
    }
    // CREATE_NEW never opens what is already there, a link included.
    file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    Fail(GetLastError());
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SaveOutcome::kCreateFailed;
  }
  bool ok = true;
  std::uint32_t done = 0;
  while (ok && done < length) {
    DWORD n = 0;
    bool written = WriteFile(file, data + done, length - done, &n, nullptr) != 0;
    ok = written && n > 0;
    if (!ok) {
      Fail(written ? ERROR_DISK_FULL : GetLastError());  // a write that takes nothing: no room
    }
    done += n;
  }
  if (!FlushFileBuffers(file)) {
    Fail(GetLastError());
    ok = false;
  }
  if (!CloseHandle(file)) {
    Fail(GetLastError());
    ok = false;
  }
  if (ok && !MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail(GetLastError());
    ok = false;
  }
  if (!ok) {
    DeleteFileA(temporary);
  }
  SetConsoleCtrlHandler(nullptr, FALSE);
  return ok ? SaveOutcome::kSaved : SaveOutcome::kWriteFailed;
}
