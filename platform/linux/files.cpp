// Host files on Linux. The tool runs as root, often in a directory that others can write: a name
// there may be a link, a FIFO or a device that somebody planted, so nothing is opened by a
// guessable name for writing, and only a proven regular file is opened for reading.
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kCreateTries = 8;

// Why the latest read or save failed: kNotRegular and kEmpty carry no system error.
FileFailure g_failure = FileFailure::kNone;
int g_failureCode = 0;

// Keeps the first failure of a call; later steps (a clean-up) must not hide it.
void Fail(int code, FileFailure kind = FileFailure::kNone) {
  if (g_failure != FileFailure::kNone) {
    return;
  }
  if (kind == FileFailure::kNone) {
    kind = code == ENOENT || code == ENOTDIR                  ? FileFailure::kMissing
           : code == EACCES || code == EPERM || code == EROFS ? FileFailure::kNoAccess
                                                              : FileFailure::kOther;
  }
  g_failure = kind;
  g_failureCode = code != 0 ? code : EIO;
}

bool WriteAll(int fd, const std::uint8_t* data, std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      errno = n == 0 ? ENOSPC : errno;  // a write that takes nothing has no errno of its own
      return false;
    }
    done += static_cast<std::uint32_t>(n);
  }
  return true;
}

// A fresh temporary name beside `name` that nobody can guess ahead of time.
bool TemporaryName(const char* name, char* out, std::size_t size) {
  std::uint64_t token = 0;
  if (getrandom(&token, sizeof token, GRND_NONBLOCK) != sizeof token) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    token ^= static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
             static_cast<std::uint64_t>(getpid()) << 32;
  }
  int n = std::snprintf(out, size, "%s.%016llx.tmp", name, static_cast<unsigned long long>(token));
  return n > 0 && static_cast<std::size_t>(n) < size;
}

// Makes the rename itself durable: the directory that holds `name`.
void SyncDirectoryOf(const char* name) {
  char dir[4096];
  const char* slash = std::strrchr(name, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
  } else if (slash == name) {
    std::strcpy(dir, "/");
  } else {
    std::size_t n = static_cast<std::size_t>(slash - name);
    if (n >= sizeof dir) {
      return;
    }
    std::memcpy(dir, name, n);
    dir[n] = '\0';
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);  // best effort: some file systems cannot sync a directory
    close(fd);
  }
}

// Whether the regular file at `name` differs from `data`. Nothing there, a link, a FIFO or a
// device is no earlier file worth a backup: it is replaced, never opened or followed.
bool DiffersFromEarlier(const char* name, const std::uint8_t* data, std::uint32_t length) {
  struct stat st;
  if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return true;  // what cannot be compared is kept
  }
  bool same = fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == length;
  std::uint8_t chunk[4096];
  std::uint32_t done = 0;
  while (same && done < length) {
    std::uint32_t want = length - done < sizeof chunk ? length - done : sizeof chunk;
    ssize_t n = read(fd, chunk, want);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    same = n > 0 && std::memcmp(chunk, data + done, static_cast<std::size_t>(n)) == 0;
    done += n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
  close(fd);
  return !same;
}

constexpr int kMaxBackups = 100000;

// Gives the earlier file the first free numbered name as well. A hard link keeps it under `name`
// until the new file replaces it; where the file system has no hard links it is moved instead,
// and `moved` says so.
bool MakeBackup(const char* name, char* backup, std::size_t size, bool* moved) {
  *moved = false;
  for (int n = 1; n < kMaxBackups; ++n) {
    int written = std::snprintf(backup, size, "%s.~%d~", name, n);
    if (written <= 0 || static_cast<std::size_t>(written) >= size) {
      errno = ENAMETOOLONG;
      return false;
    }
    if (link(name, backup) == 0) {
      return true;
    }
    if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK) {
      *moved = renameat2(AT_FDCWD, name, AT_FDCWD, backup, RENAME_NOREPLACE) == 0;
      if (*moved) {
        return true;
      }
    }
    if (errno != EEXIST) {
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

// The complete new file at `temporary` takes `name`, after a differing earlier file there got
// its backup. On failure the earlier file is put back as it was, and the new one stays where it
// is.
bool Publish(const char* temporary, const char* name, const std::uint8_t* data,
             std::uint32_t length, SaveReport* report) {
  bool moved = false;
  if (DiffersFromEarlier(name, data, length) &&
      !MakeBackup(name, report->backup, sizeof report->backup, &moved)) {
    report->backup[0] = '\0';
    return false;
  }
  if (rename(temporary, name) == 0) {
    return true;
  }
  int code = errno;
  // A backup that cannot be undone stays, and is told.
  if (report->backup[0] != '\0' &&
      (moved ? renameat2(AT_FDCWD, report->backup, AT_FDCWD, name, RENAME_NOREPLACE)
             : unlink(report->backup)) == 0) {
    report->backup[0] = '\0';
  }
  errno = code;
  return false;
}

// Where the latest file operation went, told by PlatformFilePath: the file's path, and when a
// file was opened, the folder it is in as the kernel names it.
char g_path[4096] = "";
char g_folder[4096] = "";
bool g_opened = false;

// "<folder>/<name's last part>" into `out`; nothing when it does not fit.
void JoinPath(char* out, std::size_t size, const char* folder, const char* name) {
  const char* base = std::strrchr(name, '/');
  int n = std::snprintf(out, size, "%s/%s", folder, base != nullptr ? base + 1 : name);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
  }
}

// `name` made absolute, for a file that was not opened.
void NamedPath(const char* name) {
  g_opened = false;
  char here[4096];
  int n = name[0] == '/' ? std::snprintf(g_path, sizeof g_path, "%s", name)
          : getcwd(here, sizeof here) != nullptr
              ? std::snprintf(g_path, sizeof g_path, "%s/%s", here, name)
              : -1;
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof g_path) {
    g_path[0] = '\0';
  }
}

// The path of the open file `fd` as the kernel names it (a link's target); with `finalName`, the
// name the file is about to take in its folder instead of its own.
void DescriptorPath(int fd, const char* finalName) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(self, g_folder, sizeof g_folder - 1);
  char* slash = nullptr;
  if (n > 0) {
    g_folder[n] = '\0';
    slash = std::strrchr(g_folder, '/');
  }
  if (slash == nullptr) {
    return;  // the absolute name stays
  }
  g_opened = true;
  if (finalName == nullptr) {
    std::memcpy(g_path, g_folder, static_cast<std::size_t>(n) + 1);
  }
  *slash = '\0';
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
  return true;
}

// Linux has no folder where files go unnoticed the way an elevated Windows console's do.
bool PlatformFolderWarning(char*, std::uint32_t) {
  return false;
}

FileFailure PlatformFileFailure(char* text, std::uint32_t size) {
  const char* reason = g_failure == FileFailure::kNotRegular ? "not a regular file"
                       : g_failure == FileFailure::kEmpty    ? "the file is empty"
                                                             : std::strerror(g_failureCode);
  if (size > 0) {
    std::snprintf(text, size, "%s", g_failure == FileFailure::kNone ? "" : reason);
  }
  return g_failure;
}

std::int32_t PlatformReadFile(const char* name, std::uint8_t* buffer, std::uint32_t length) {
  g_failure = FileFailure::kNone;
  NamedPath(name);
  // O_PATH opens nothing: a FIFO cannot block us and a device never sees an open. Only once the
  // object is known to be a regular file is that same object opened for reading and writing.
  int pathFd = open(name, O_PATH | O_CLOEXEC);
  if (pathFd < 0) {
    Fail(errno);
    return -1;
  }
  struct stat st;
  if (fstat(pathFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Fail(0, FileFailure::kNotRegular);
    close(pathFd);
    return -1;
  }
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", pathFd);
  int fd = open(self, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
  }
  close(pathFd);
  if (fd < 0) {
    return -1;
  }
  DescriptorPath(fd, nullptr);
  std::uint32_t got = 0;
  while (got < length) {
    ssize_t n = read(fd, buffer + got, length - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      Fail(errno);
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::uint32_t>(n);
  }
  if (got == 0) {
    Fail(0, FileFailure::kEmpty);
  }
  close(fd);
  return static_cast<std::int32_t>(got);
}

SaveOutcome PlatformSaveFile(const char* name, const std::uint8_t* data, std::uint32_t length,
                             SaveReport* report) {
  g_failure = FileFailure::kNone;
  *report = {};
  char* temporary = report->kept;
  NamedPath(name);
  // A signal that ended the tool between create and rename would leave the temporary file
  // behind; held back until it is gone, it ends the tool right after.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);

  int fd = -1;
  for (int i = 0; i < kCreateTries && fd < 0; ++i) {
    if (!TemporaryName(name, temporary, sizeof report->kept)) {
      Fail(ENAMETOOLONG);
      break;
    }
    fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    Fail(errno);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return SaveOutcome::kCreateFailed;
  }

  DescriptorPath(fd, name);
  // The data must be on disk before its name replaces the earlier file, or a power cut could
  // leave neither.
  bool ok = WriteAll(fd, data, length);
  if (!ok) {
    Fail(errno);
  }
  if (fsync(fd) != 0) {
    Fail(errno);
    ok = false;
  }
  if (close(fd) != 0) {
    Fail(errno);
    ok = false;
  }
  SaveOutcome outcome = SaveOutcome::kSaved;
  if (!ok) {
    unlink(temporary);
    outcome = SaveOutcome::kWriteFailed;
  } else if (!Publish(temporary, name, data, length, report)) {
    // A complete image is never deleted because it could not take its name.
    Fail(errno);
    outcome = SaveOutcome::kKept;
  }
  if (outcome != SaveOutcome::kKept) {
    report->kept[0] = '\0';
  }
  SyncDirectoryOf(name);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return outcome;
}
