// Host files on Windows: the steps of a read or a save, each with its GetLastError code.
#include "platform/win32/win32.h"

#include <ntsecapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/backend.h"

namespace {

// The longest path the system takes, in UTF-16 units, with its zero.
constexpr int kWideSize = 32768;
using WidePath = wchar_t[kWideSize];

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

// `name` (in the ANSI code page, as the tool's names are) in UTF-16 for the W functions, which
// take any folder's name and, with the manifest's longPathAware, paths past MAX_PATH.
bool Wide(const char* name, WidePath& wide) {
  return MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kWideSize) > 0;
}

// `wide` in the code page the reasons are shown in, so that a path reads as the folder's name.
bool Shown(const wchar_t* wide, char* text, std::uint32_t size) {
  return size > 0 && WideCharToMultiByte(ReasonCodePage(), 0, wide, -1, text,
                                         static_cast<int>(size), nullptr, nullptr) > 0;
}

// The attributes of `name` and, for a reparse point, its tag; false when it cannot be looked at.
bool LookAt(const wchar_t* name, DWORD* attributes, DWORD* tag) {
  *attributes = GetFileAttributesW(name);
  *tag = 0;
  if (*attributes == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(name, &found);
    // A reparse point whose tag cannot be told is taken for a link.
    *tag = find != INVALID_HANDLE_VALUE ? found.dwReserved0 : IO_REPARSE_TAG_SYMLINK;
    if (find != INVALID_HANDLE_VALUE) {
      FindClose(find);
    }
  }
  return true;
}

// An antivirus, the indexer, a sync client or an editor holding either file refuses a move for
// a while: retried for about 5 s, the pauses growing.
constexpr DWORD kMoveWaitMs = 5000;
constexpr DWORD kMoveFirstPauseMs = 20;
constexpr DWORD kMoveLongestPauseMs = 500;

}  // namespace

bool IsPlainFile(std::uint32_t attributes, std::uint32_t tag) {
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !IsReparseTagNameSurrogate(tag);
}

FileError LinkFailure(std::uint32_t code) {
  return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS
             ? FileError{FileFailure::kExists, code}
             : FileError{FileFailure::kNoHardLink, code};
}

bool RenameMayPass(std::uint32_t code, std::uint32_t target) {
  const DWORD lasting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY;
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         (code == ERROR_ACCESS_DENIED && target != INVALID_FILE_ATTRIBUTES &&
          (target & lasting) == 0);
}

void PlatformFileErrorText(FileError error, char* text, std::uint32_t size) {
  SystemErrorText(error.failure == FileFailure::kTooLong ? ERROR_FILENAME_EXCED_RANGE : error.code,
                  text, size);
}

bool PlatformIsRegularFile(const char* name) {
  WidePath wide;
  DWORD attributes = 0, tag = 0;
  return Wide(name, wide) && LookAt(wide, &attributes, &tag) && IsPlainFile(attributes, tag);
}

FileError PlatformOpenRegular(const char* name, FileOpen how, FileHandle* out) {
  // A link or a junction is looked at, never followed: its target could be a device, a pipe or a
  // disk, which an open would reach. Other reparse points (cloud files, deduplicated and
  // compressed ones) are regular files whose data their driver supplies.
  WidePath wide;
  DWORD attributes = 0, tag = 0;
  if (!Wide(name, wide)) {
    return {FileFailure::kTooLong};
  }
  if (!LookAt(wide, &attributes, &tag)) {
    return Error(GetLastError());
  }
  if (!IsPlainFile(attributes, tag)) {
    return {FileFailure::kNotRegular};
  }
  const bool read = how == FileOpen::kRead;
  const DWORD access = read ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
  const DWORD share =
      read ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileW(wide, access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Error(GetLastError());
  }
  // What was opened, not what the name showed a moment before.
  FILE_ATTRIBUTE_TAG_INFO info;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info) ||
      !IsPlainFile(info.FileAttributes, info.ReparseTag)) {
    CloseHandle(file);
    return {FileFailure::kNotRegular};
  }
  // The same file opened again through its driver, so that its data is fetched and not the
  // reparse point's.
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    HANDLE data = ReOpenFile(file, access, share, FILE_ATTRIBUTE_NORMAL);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (data == INVALID_HANDLE_VALUE) {
      return Error(code);
    }
    file = data;
  }
  return Opened(file, out);
}

FileError PlatformCreateFile(const char* name, FileHandle* out) {
  // CREATE_NEW never opens what is already there, a link included. DELETE lets the console
  // handler remove the file through this handle.
  WidePath wide;
  if (!Wide(name, wide)) {
    return {FileFailure::kTooLong};
  }
  HANDLE file = CreateFileW(wide, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
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
  WidePath wideName, wideLink;
  if (!Wide(name, wideName) || !Wide(link, wideLink)) {
    return {FileFailure::kTooLong};
  }
  // FAT takes no hard links, and CreateHardLinkW names no error for that; network shares refuse
  // with others still (access denied): only a name that is taken is no reason to move the file.
  HANDLE file = CreateFileW(wideName, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD flags = FILE_SUPPORTS_HARD_LINKS;  // where the volume cannot be asked, the link tries
  if (file != INVALID_HANDLE_VALUE) {
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
      flags = FILE_SUPPORTS_HARD_LINKS;
    }
    CloseHandle(file);
  }
  if ((flags & FILE_SUPPORTS_HARD_LINKS) == 0) {
    return LinkFailure(ERROR_NOT_SUPPORTED);
  }
  return CreateHardLinkW(wideLink, wideName, nullptr) ? FileError{} : LinkFailure(GetLastError());
}

FileError PlatformRenameFile(const char* from, const char* to, bool replace) {
  WidePath wideFrom, wideTo;
  if (!Wide(from, wideFrom) || !Wide(to, wideTo)) {
    return {FileFailure::kTooLong};
  }
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  for (DWORD waited = 0, pause = kMoveFirstPauseMs;; waited += pause, pause *= 2) {
    if (MoveFileExW(wideFrom, wideTo, flags)) {
      return {};
    }
    const DWORD code = GetLastError();
    if (waited >= kMoveWaitMs || !RenameMayPass(code, GetFileAttributesW(wideTo))) {
      return Error(code);
    }
    pause = pause < kMoveLongestPauseMs ? pause : kMoveLongestPauseMs;
    Sleep(pause);
  }
}

FileError PlatformRemoveFile(const char* name) {
  WidePath wide;
  return Wide(name, wide) ? Done(DeleteFileW(wide)) : FileError{FileFailure::kTooLong};
}

// MOVEFILE_WRITE_THROUGH has made the move durable.
void PlatformSyncFolder(const char*) {}

bool PlatformFullPath(FileHandle file, char* text, std::uint32_t size) {
  WidePath path;
  const DWORD n = GetFinalPathNameByHandleW(AsFile(file), path, kWideSize,
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= kWideSize) {
    return false;  // some network shares cannot tell
  }
  // \\?\C:\x is C:\x, \\?\UNC\server\share is \\server\share.
  if (std::wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
    path[6] = L'\\';
    return Shown(path + 6, text, size);
  }
  return Shown(std::wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path, text, size);
}

bool PlatformFullName(const char* name, char* text, std::uint32_t size) {
  WidePath wide, full;
  const DWORD n = Wide(name, wide) ? GetFullPathNameW(wide, kWideSize, full, nullptr) : 0;
  return n != 0 && n < kWideSize && Shown(full, text, size);
}

// The system's generator does not fail; were it to, the exclusive create would still never open
// what is already there.
void PlatformRandom(void* bytes, std::uint32_t size) {
  RtlGenRandom(bytes, size);
}

bool PlatformFolderWarning(char* text, std::uint32_t size) {
  WidePath current;
  wchar_t windows[MAX_PATH + 1];
  const DWORD c = GetCurrentDirectoryW(kWideSize, current);
  const UINT w = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
  if (c == 0 || c >= kWideSize || w == 0 || w > MAX_PATH) {
    return false;
  }
  const std::size_t n = std::wcslen(windows);
  const bool inside =
      CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, current, static_cast<int>(n < c ? n : c),
                     windows, static_cast<int>(n)) == CSTR_EQUAL &&
      (c == n || current[n] == L'\\' || windows[n - 1] == L'\\');
  char shown[4096];
  if (!inside || size == 0 || !Shown(current, shown, sizeof shown)) {
    return false;
  }
  std::snprintf(text, size,
                "the current folder %s is inside the Windows folder, where an elevated console "
                "starts: the files are read and written there (a 32-bit program's in System32 go "
                "to SysWOW64). Run jmreader from a folder of your own, e.g. after \"cd /d "
                "%%USERPROFILE%%\".",
                shown);
  return true;
}
