// Host files on Windows: only a plain disk file is read, and the dump is written to a file created
// exclusively beside its final name, flushed, then moved over it.
#include "platform/win32/win32.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/backend.h"

namespace {

constexpr int kCreateTries = 8;
constexpr std::size_t kPathSize = 1024;

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

// Whether the plain file at `name` differs from `data`. Nothing there, a folder or a reparse
// point is no earlier file worth a backup: it is replaced, never opened or followed.
bool DiffersFromEarlier(const char* name, const std::uint8_t* data, std::uint32_t length) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  HANDLE file =
      CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return true;  // what cannot be compared is kept
  }
  LARGE_INTEGER size;
  bool same = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) != 0 &&
              size.QuadPart == static_cast<LONGLONG>(length);
  std::uint8_t chunk[4096];
  std::uint32_t done = 0;
  while (same && done < length) {
    DWORD want = length - done < sizeof chunk ? length - done : sizeof chunk;
    DWORD n = 0;
    same = ReadFile(file, chunk, want, &n, nullptr) != 0 && n > 0 &&
           std::memcmp(chunk, data + done, n) == 0;
    done += n;
  }
  CloseHandle(file);
  return !same;
}

constexpr int kMaxBackups = 100000;

bool NoHardLinks(DWORD code) {
  return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_TOO_MANY_LINKS;
}

// Gives the earlier file the first free numbered name as well. A hard link keeps it under `name`
// until the new file replaces it; where the volume has no hard links (FAT) it is moved instead,
// and `moved` says so.
bool MakeBackup(const char* name, char* backup, std::size_t size, bool* moved) {
  *moved = false;
  for (int n = 1; n < kMaxBackups; ++n) {
    int written = std::snprintf(backup, size, "%s.~%d~", name, n);
    if (written <= 0 || static_cast<std::size_t>(written) >= size) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (CreateHardLinkA(backup, name, nullptr) != 0) {
      return true;
    }
    if (NoHardLinks(GetLastError())) {
      *moved = MoveFileExA(name, backup, MOVEFILE_WRITE_THROUGH) != 0;
      if (*moved) {
        return true;
      }
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
      return false;
    }
  }
  SetLastError(ERROR_ALREADY_EXISTS);
  return false;
}

// An antivirus, the indexer, a sync client or an editor holding either file refuses the move
// for a moment: retried for about a second.
constexpr int kMoveTries = 20;
constexpr DWORD kMovePauseMs = 50;

bool MoveOver(const char* from, const char* to) {
  for (int i = 1;; ++i) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
      return true;
    }
    DWORD code = GetLastError();
    if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) || i == kMoveTries) {
      return false;
    }
    Sleep(kMovePauseMs);
  }
}

// The complete new file at `temporary` takes `name`, after a differing earlier file there got
// its backup. On failure the earlier file is as it was (a backup link that cannot be removed
// while another program holds the file stays, and is told), and the new one stays where it is.
bool Publish(const char* temporary, const char* name, const std::uint8_t* data,
             std::uint32_t length, SaveReport* report) {
  bool moved = false;
  if (DiffersFromEarlier(name, data, length) &&
      !MakeBackup(name, report->backup, sizeof report->backup, &moved)) {
    report->backup[0] = '\0';
    return false;
  }
  if (MoveOver(temporary, name)) {
    return true;
  }
  DWORD code = GetLastError();
  if (report->backup[0] != '\0' &&
      (moved ? MoveFileExA(report->backup, name, 0) : DeleteFileA(report->backup)) != 0) {
    report->backup[0] = '\0';
  }
  SetLastError(code);
  return false;
}

// Where the latest file operation went, told by PlatformFilePath: the file's path, and when a
// file was opened, the folder it is in as the system names it.
char g_path[kPathSize] = "";
char g_folder[kPathSize] = "";
bool g_opened = false;

// "<folder>\<name's last part>" into `out`; nothing when it does not fit.
void JoinPath(char* out, std::size_t size, const char* folder, const char* name) {
  const char* base = name;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') {
      base = p + 1;
    }
  }
  int n = std::snprintf(out, size, "%s\\%s", folder, base);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
  }
}

// `name` made absolute, for a file that was not opened.
void NamedPath(const char* name) {
  g_opened = false;
  const DWORD n = GetFullPathNameA(name, sizeof g_path, g_path, nullptr);
  if (n == 0 || n >= sizeof g_path) {
    g_path[0] = '\0';
  }
}

// The path of the open file `file` as the system names it (a 32-bit program's System32 is
// SysWOW64); with `finalName`, the name the file is about to take in its folder instead.
void HandlePath(HANDLE file, const char* finalName) {
  char final[kPathSize];
  const DWORD n =
      GetFinalPathNameByHandleA(file, final, sizeof final, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof final) {
    return;  // the absolute name stays
  }
  // \\?\C:\x is C:\x, \\?\UNC\server\share is \\server\share.
  const char* path = final;
  if (std::strncmp(path, "\\\\?\\UNC\\", 8) == 0) {
    std::snprintf(g_folder, sizeof g_folder, "\\%s", path + 7);
  } else {
    std::snprintf(g_folder, sizeof g_folder, "%s",
                  std::strncmp(path, "\\\\?\\", 4) == 0 ? path + 4 : path);
  }
  char* folderEnd = std::strrchr(g_folder, '\\');
  if (folderEnd == nullptr) {
    return;
  }
  g_opened = true;
  if (finalName == nullptr) {
    std::snprintf(g_path, sizeof g_path, "%s", g_folder);
  }
  *folderEnd = '\0';
  if (finalName != nullptr) {
    JoinPath(g_path, sizeof g_path, g_folder, finalName);
  }
}

}  // namespace

void PlatformFilePath(char* text, std::uint32_t size, const char* beside) {
  if (size == 0) {
    return;
  }
  text[0] = '\0';
  if (beside == nullptr) {
    int n = std::snprintf(text, size, "%s", g_path);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
      text[0] = '\0';
    }
  } else if (g_opened) {
    JoinPath(text, size, g_folder, beside);
  }
}

bool PlatformReadsThroughLinks() {
  return false;
}

bool PlatformFolderWarning(char* text, std::uint32_t size) {
  char current[kPathSize];
  char windows[kPathSize];
  const DWORD c = GetCurrentDirectoryA(sizeof current, current);
  const UINT w = GetSystemWindowsDirectoryA(windows, sizeof windows);
  if (c == 0 || c >= sizeof current || w == 0 || w >= sizeof windows) {
    return false;
  }
  const std::size_t n = std::strlen(windows);
  const bool inside =
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, current, static_cast<int>(n < c ? n : c),
                     windows, static_cast<int>(n)) == CSTR_EQUAL &&
      (c == n || current[n] == '\\' || windows[n - 1] == '\\');
  if (!inside || size == 0) {
    return false;
  }
  std::snprintf(text, size,
                "the current folder %s is inside the Windows folder, where an elevated console "
                "starts: the files are read and written there (a 32-bit program's in System32 go "
                "to SysWOW64). Run jmreader from a folder of your own, e.g. after \"cd /d "
                "%%USERPROFILE%%\".",
                current);
  return true;
}

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
  NamedPath(name);
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Fail(GetLastError());
    return -1;
  }
  // A reparse point (a link, a junction) is looked at, never followed: its target could be a
  // device, a pipe or a disk, which an open would reach.
  if ((attributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    Fail(0, FileFailure::kNotRegular);
    return -1;
  }
  HANDLE file =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(GetLastError());
    return -1;
  }
  // What was opened, not what the name showed a moment before.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    Fail(0, FileFailure::kNotRegular);
    CloseHandle(file);
    return -1;
  }
  HandlePath(file, nullptr);
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

SaveOutcome PlatformSaveFile(const char* name, const std::uint8_t* data, std::uint32_t length,
                             SaveReport* report) {
  g_failure = FileFailure::kNone;
  *report = {};
  char* temporary = report->kept;
  NamedPath(name);
  // An end between create and move would leave the temporary file behind.
  HoldConsoleEvents(temporary);
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int i = 0; i < kCreateTries && file == INVALID_HANDLE_VALUE; ++i) {
    if (!TemporaryName(name, i, temporary, sizeof report->kept)) {
      Fail(ERROR_FILENAME_EXCED_RANGE);
      break;
    }
    // CREATE_NEW never opens what is already there, a link included. DELETE lets the console
    // handler remove the file through this handle.
    file = CreateFileA(temporary, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    Fail(GetLastError());
    ReleaseConsoleEvents();
    return SaveOutcome::kCreateFailed;
  }
  HandlePath(file, name);
  ConsoleEventsFile(file);
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
  ConsoleEventsFile(INVALID_HANDLE_VALUE);
  if (!CloseHandle(file)) {
    Fail(GetLastError());
    ok = false;
  }
  SaveOutcome outcome = SaveOutcome::kSaved;
  if (!ok) {
    DeleteFileA(temporary);
    outcome = SaveOutcome::kWriteFailed;
  } else if (!Publish(temporary, name, data, length, report)) {
    // A complete image is never deleted because it could not take its name.
    Fail(GetLastError());
    outcome = SaveOutcome::kKept;
  }
  if (outcome != SaveOutcome::kKept) {
    report->kept[0] = '\0';
  }
  ReleaseConsoleEvents();
  return outcome;
}
