// Host files on Windows: the steps of a read or a save, each with its GetLastError code.
#include "platform/win32/win32.h"

#include <ntsecapi.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/backend.h"

namespace {

constexpr std::size_t kPathSize = 1024;

constexpr DWORD kNotPlain =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;

FileError Error(DWORD code) {
  const FileFailure failure =
      code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileFailure::kMissing
      : code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT ? FileFailure::kNoAccess
      : code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS  ? FileFailure::kExists
                                                                   : FileFailure::kOther;
  return {failure, code};
}

FileError Done(BOOL ok) {
  return ok ? FileError{} : Error(GetLastError());
}

HANDLE AsFile(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

FileError Opened(HANDLE file, FileHandle* out) {
  if (file == INVALID_HANDLE_VALUE) {
    return Error(GetLastError());
  }
  *out = reinterpret_cast<FileHandle>(file);
  return {};
}

// An antivirus, the indexer, a sync client or an editor holding either file refuses a move
// for a moment: retried for about a second.
constexpr int kMoveTries = 20;
constexpr DWORD kMovePauseMs = 50;

}  // namespace

void PlatformFileErrorText(FileError error, char* text, std::uint32_t size) {
  SystemErrorText(error.failure == FileFailure::kTooLong ? ERROR_FILENAME_EXCED_RANGE : error.code,
                  text, size);
}

bool PlatformIsRegularFile(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlain) == 0;
}

FileError PlatformOpenRegular(const char* name, FileOpen how, FileHandle* out) {
  // A reparse point (a link, a junction) is looked at, never followed: its target could be a
  // device, a pipe or a disk, which an open would reach.
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return Error(GetLastError());
  }
  if ((attributes & kNotPlain) != 0) {
    return {FileFailure::kNotRegular};
  }
  const bool read = how == FileOpen::kRead;
  HANDLE file = CreateFileA(
      name, read ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
      read ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  FileError error = Opened(file, out);
  // What was opened, not what the name showed a moment before.
  BY_HANDLE_FILE_INFORMATION info;
  if (error.failure == FileFailure::kNone &&
      (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
       (info.dwFileAttributes & kNotPlain) != 0)) {
    CloseHandle(file);
    error = {FileFailure::kNotRegular};
  }
  return error;
}

FileError PlatformCreateFile(const char* name, FileHandle* out) {
  // CREATE_NEW never opens what is already there, a link included. DELETE lets the console
  // handler remove the file through this handle.
  HANDLE file = CreateFileA(name, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    ConsoleEventsFile(file, true);
  }
  return Opened(file, out);
}

FileError PlatformReadFile(FileHandle file, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t* got) {
  for (*got = 0; *got < length;) {
    DWORD n = 0;
    if (!ReadFile(AsFile(file), buffer + *got, length - *got, &n, nullptr)) {
      return Error(GetLastError());
    }
    if (n == 0) {
      break;
    }
    *got += n;
  }
  return {};
}

std::uint64_t PlatformFileSize(FileHandle file) {
  LARGE_INTEGER size = {};
  return GetFileSizeEx(AsFile(file), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

FileError PlatformWriteFile(FileHandle file, const std::uint8_t* data, std::uint32_t length) {
  for (std::uint32_t done = 0; done < length;) {
    DWORD n = 0;
    if (!WriteFile(AsFile(file), data + done, length - done, &n, nullptr)) {
      return Error(GetLastError());
    }
    if (n == 0) {
      return Error(ERROR_DISK_FULL);  // a write that takes nothing: no room
    }
    done += n;
  }
  return Done(FlushFileBuffers(AsFile(file)));
}

FileError PlatformCloseFile(FileHandle file) {
  ConsoleEventsFile(AsFile(file), false);
  return Done(CloseHandle(AsFile(file)));
}

FileError PlatformLinkFile(const char* name, const char* link) {
  FileError error = Done(CreateHardLinkA(link, name, nullptr));
  // A FAT volume takes no hard links.
  if (error.code == ERROR_INVALID_FUNCTION || error.code == ERROR_NOT_SUPPORTED ||
      error.code == ERROR_TOO_MANY_LINKS) {
    error.failure = FileFailure::kNoHardLink;
  }
  return error;
}

FileError PlatformRenameFile(const char* from, const char* to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  for (int i = 1;; ++i) {
    if (MoveFileExA(from, to, flags)) {
      return {};
    }
    const DWORD code = GetLastError();
    if (!replace || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) ||
        i == kMoveTries) {
      return Error(code);
    }
    Sleep(kMovePauseMs);
  }
}

FileError PlatformRemoveFile(const char* name) {
  return Done(DeleteFileA(name));
}

// MOVEFILE_WRITE_THROUGH has made the move durable.
void PlatformSyncFolder(const char*) {}

bool PlatformFullPath(FileHandle file, char* text, std::uint32_t size) {
  char path[kPathSize];
  const DWORD n = GetFinalPathNameByHandleA(AsFile(file), path, sizeof path,
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof path) {
    return false;
  }
  // \\?\C:\x is C:\x, \\?\UNC\server\share is \\server\share.
  const int m = std::strncmp(path, "\\\\?\\UNC\\", 8) == 0
                    ? std::snprintf(text, size, "\\%s", path + 7)
                    : std::snprintf(text, size, "%s",
                                    std::strncmp(path, "\\\\?\\", 4) == 0 ? path + 4 : path);
  return m >= 0 && static_cast<std::uint32_t>(m) < size;
}

bool PlatformFullName(const char* name, char* text, std::uint32_t size) {
  const DWORD n = GetFullPathNameA(name, size, text, nullptr);
  return n != 0 && n < size;
}

// The system's generator does not fail; were it to, the exclusive create would still never open
// what is already there.
void PlatformRandom(void* bytes, std::uint32_t size) {
  RtlGenRandom(bytes, size);
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
