// Host files on Windows: only a plain disk file is read, and the dump is written to a file created
// exclusively beside its final name, flushed, then moved over it.
#include "platform/win32/win32.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr int kCreateTries = 8;

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

std::int32_t PlatformReadFile(const char* name, std::uint8_t* buffer, std::uint32_t length) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return -1;
  }
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return -1;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return -1;
  }
  std::uint32_t got = 0;
  while (got < length) {
    DWORD n = 0;
    if (!ReadFile(file, buffer + got, length - got, &n, nullptr) || n == 0) {
      break;
    }
    got += n;
  }
  CloseHandle(file);
  return static_cast<std::int32_t>(got);
}

SaveOutcome PlatformSaveFile(const char* name, const std::uint8_t* data, std::uint32_t length) {
  char temporary[MAX_PATH + 32];
  // Ctrl+C between create and move would leave the temporary file behind.
  SetConsoleCtrlHandler(nullptr, TRUE);
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int i = 0; i < kCreateTries && file == INVALID_HANDLE_VALUE; ++i) {
    if (!TemporaryName(name, i, temporary, sizeof temporary)) {
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
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SaveOutcome::kCreateFailed;
  }
  bool ok = true;
  std::uint32_t done = 0;
  while (ok && done < length) {
    DWORD n = 0;
    ok = WriteFile(file, data + done, length - done, &n, nullptr) != 0 && n > 0;
    done += n;
  }
  ok = FlushFileBuffers(file) != 0 && ok;
  ok = CloseHandle(file) != 0 && ok;
  ok = ok && MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    DeleteFileA(temporary);
  }
  SetConsoleCtrlHandler(nullptr, FALSE);
  return ok ? SaveOutcome::kSaved : SaveOutcome::kWriteFailed;
}
