// Host files on Linux: the steps of a read or a save, each with its errno.
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

FileError Error(int code) {
  const FileFailure failure = code == ENOENT || code == ENOTDIR ? FileFailure::kMissing
                              : code == EACCES || code == EPERM || code == EROFS
                                  ? FileFailure::kNoAccess
                              : code == EEXIST ? FileFailure::kExists
                                               : FileFailure::kOther;
  return {failure, static_cast<std::uint32_t>(code != 0 ? code : EIO)};
}

bool Failed(FileError error) {
  return error.failure != FileFailure::kNone;
}

FileError Done(int result) {
  return result == 0 ? FileError{} : Error(errno);
}

}  // namespace

void PlatformFileErrorText(FileError error, char* text, std::uint32_t size) {
  const int code =
      error.failure == FileFailure::kTooLong ? ENAMETOOLONG : static_cast<int>(error.code);
  std::snprintf(text, size, "%s", std::strerror(code));
}

bool PlatformIsRegularFile(const char* name) {
  struct stat st;
  return lstat(name, &st) == 0 && S_ISREG(st.st_mode);
}

FileError PlatformOpenRegular(const char* name, FileOpen how, FileHandle* file) {
  // O_PATH opens nothing: a FIFO cannot block us and a device never sees an open. Only once the
  // object is known to be a regular file is that same object opened.
  const bool read = how == FileOpen::kRead;
  const int pathFd = open(name, O_PATH | O_CLOEXEC | (read ? 0 : O_NOFOLLOW));
  if (pathFd < 0) {
    return Error(errno);
  }
  struct stat st;
  FileError error;
  if (fstat(pathFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = {FileFailure::kNotRegular};
  } else {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", pathFd);
    *file = open(self, (read ? O_RDWR : O_RDONLY) | O_NOCTTY | O_CLOEXEC);
    error = *file < 0 ? Error(errno) : FileError{};
  }
  close(pathFd);
  return error;
}

FileError PlatformCreateFile(const char* name, FileHandle* file) {
  *file = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  return *file < 0 ? Error(errno) : FileError{};
}

FileError PlatformReadFile(FileHandle file, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t* got) {
  for (*got = 0; *got < length;) {
    const ssize_t n = read(static_cast<int>(file), buffer + *got, length - *got);
    if (n < 0 && errno != EINTR) {
      return Error(errno);
    }
    if (n == 0) {
      break;
    }
    *got += n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
  return {};
}

std::uint64_t PlatformFileSize(FileHandle file) {
  struct stat st;
  return fstat(static_cast<int>(file), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

FileError PlatformWriteFile(FileHandle file, const std::uint8_t* data, std::uint32_t length) {
  const int fd = static_cast<int>(file);
  for (std::uint32_t done = 0; done < length;) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return Error(n == 0 ? ENOSPC : errno);  // a write that takes nothing has no errno of its own
    }
    done += static_cast<std::uint32_t>(n);
  }
  return Done(fsync(fd));
}

FileError PlatformCloseFile(FileHandle file) {
  return Done(close(static_cast<int>(file)));
}

FileError PlatformLinkFile(const char* name, const char* link) {
  FileError error = Done(::link(name, link));
  // EPERM: a file system without hard links, or another user's file (protected_hardlinks).
  if (error.code == EPERM || error.code == EOPNOTSUPP || error.code == EMLINK) {
    error.failure = FileFailure::kNoHardLink;
  }
  return error;
}

FileError PlatformRenameFile(const char* from, const char* to, bool replace) {
  FileError error = Done(renameat2(AT_FDCWD, from, AT_FDCWD, to, replace ? 0 : RENAME_NOREPLACE));
  // EINVAL: a file system without RENAME_NOREPLACE (NFS, many FUSE ones). A link takes no name
  // that is taken either; the second name then goes.
  if (!replace && error.code == EINVAL) {
    error = Done(::link(from, to));
    if (!Failed(error)) {
      unlink(from);
    }
  }
  return error;
}

FileError PlatformRemoveFile(const char* name) {
  return Done(unlink(name));
}

// A rename is durable once the folder that holds the name is.
void PlatformSyncFolder(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);  // best effort: some file systems cannot sync a folder
    close(fd);
  }
}

bool PlatformFullPath(FileHandle file, char* text, std::uint32_t size) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", static_cast<int>(file));
  const ssize_t n = size > 0 ? readlink(self, text, size - 1) : -1;
  if (n > 0) {
    text[n] = '\0';
  }
  return n > 0;
}

bool PlatformFullName(const char* name, char* text, std::uint32_t size) {
  // The C library's getcwd finds a folder past PATH_MAX too, where the kernel's gives up.
  if (name[0] != '/' && (size == 0 || getcwd(text, size) == nullptr)) {
    return false;
  }
  const std::size_t here = name[0] != '/' ? std::strlen(text) : 0;
  const int n = std::snprintf(text + here, size - here, "%s%s", here > 1 ? "/" : "", name);
  return n >= 0 && static_cast<std::uint32_t>(n) < size - here;
}

void PlatformRandom(void* bytes, std::uint32_t size) {
  if (getrandom(bytes, size, GRND_NONBLOCK) == static_cast<ssize_t>(size)) {
    return;
  }
  // Without the entropy pool (very early at boot) the clock and the process stand in.
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                            static_cast<std::uint64_t>(getpid()) << 32;
  std::memcpy(bytes, &mix, size < sizeof mix ? size : sizeof mix);
}

// A signal that ended the tool between create and rename would leave the temporary file behind;
// held back until it is gone, it ends the tool right after (within a kept stretch, at its end).
void PlatformHoldInterruptions(const char*, void (*work)(void*), void* context) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  work(context);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

struct KeptInterruptions {
  sigset_t taken;  // the signals that would end the tool, and that it takes instead
};

bool PlatformInterruptionCame(const KeptInterruptions& kept) {
  sigset_t pending;
  sigpending(&pending);
  for (int number = 1; number < NSIG; ++number) {
    if (sigismember(&kept.taken, number) == 1 && sigismember(&pending, number) == 1) {
      return true;
    }
  }
  return false;
}

// Blocked, the signals stay pending; taken before the mask comes back, they are never delivered.
bool PlatformKeepInterruptions(void (*work)(void*, const KeptInterruptions&), void* context) {
  KeptInterruptions kept;
  sigemptyset(&kept.taken);
  sigaddset(&kept.taken, SIGINT);
  sigaddset(&kept.taken, SIGTERM);
  sigaddset(&kept.taken, SIGHUP);
  sigaddset(&kept.taken, SIGQUIT);
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &previous);
  work(context, kept);
  const bool came = PlatformInterruptionCame(kept);
  const timespec now = {0, 0};
  while (sigtimedwait(&kept.taken, nullptr, &now) > 0) {
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return came;
}

// Linux has no folder where files go unnoticed the way an elevated Windows console's do.
bool PlatformFolderWarning(char*, std::uint32_t) {
  return false;
}
