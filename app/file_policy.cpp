// The tool runs as root or elevated, often in a folder that others can write: a name there may be
// a link, a FIFO or a device that somebody planted. So nothing is opened for writing by a
// guessable name, only a proven regular file is opened for reading, and an earlier file is never
// lost: it is compared, kept under a numbered name when it differs, and put back when the new
// file cannot take its place.
#include "app/file_policy.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kCreateTries = 8;
constexpr int kMaxBackups = 100000;
// Runs saving the same name at once take turns; each turn of another makes one more try.
constexpr int kPublishTries = 8;

bool Failed(FileError error) {
  return error.failure != FileFailure::kNone;
}

// "<folder><name's last part>" into `out`, or "" when either is empty or it does not fit.
void Join(char (&out)[kFullPathSize], const char* folder, const char* name) {
  for (const char* p = name; *p != '\0'; ++p) {
    if (std::strchr(kFolderSeparators, *p) != nullptr) {
      name = p + 1;
    }
  }
  const int n = std::snprintf(out, sizeof out, "%s%s", folder, name);
  if (folder[0] == '\0' || name[0] == '\0' || n < 0 || static_cast<std::size_t>(n) >= sizeof out) {
    out[0] = '\0';
  }
}

// The full path of `file`, just opened as `name`, into `path`: as the system names it, or where
// it cannot (a folder's path past PATH_MAX, some network shares), made from the current folder's.
// A pointer to that folder's last separator in it; null when there is none.
char* OpenedPath(FileHandle file, const char* name, char (&path)[kFullPathSize]) {
  return PlatformFullPath(file, path, sizeof path) || PlatformFullName(name, path, sizeof path)
             ? std::strrchr(path, kFolderSeparators[0])
             : nullptr;
}

// A fresh temporary name beside `name` that nobody can guess ahead of time.
bool TemporaryName(const char* name, char* out, std::size_t size) {
  std::uint64_t token = 0;
  PlatformRandom(&token, sizeof token);
  const int n =
      std::snprintf(out, size, "%s.%016llx.tmp", name, static_cast<unsigned long long>(token));
  return n > 0 && static_cast<std::size_t>(n) < size;
}

// Whether `file` holds exactly the `length` bytes of `data` or, where `other` is open, exactly
// what `other` holds. What cannot be read differs.
bool Holds(FileHandle file, const std::uint8_t* data, std::uint32_t length, FileHandle other) {
  std::uint8_t chunk[4096], theirs[4096];
  for (std::uint32_t done = 0;; done += sizeof chunk) {
    std::uint32_t want = length - done < sizeof chunk ? length - done : sizeof chunk, got = 0;
    if (other != kNoFile && Failed(PlatformReadFile(other, theirs, sizeof theirs, &want))) {
      return false;
    }
    // A byte past a short chunk shows that `file` ends there too.
    const std::uint32_t ask = want < sizeof chunk ? want + 1 : want;
    if (Failed(PlatformReadFile(file, chunk, ask, &got)) || got != want ||
        std::memcmp(chunk, other != kNoFile ? theirs : data + done, want) != 0) {
      return false;
    }
    if (want < sizeof chunk) {
      return true;
    }
  }
}

// What stands at `name`: no regular file (nothing, or a link, a FIFO or a device: no earlier file
// worth a backup, never opened or followed), one with the content of `data` (of the regular file
// `other`, when given), or one that differs.
enum class Earlier { kNone, kSame, kDiffers };
Earlier LookAt(const char* name, const std::uint8_t* data, std::uint32_t length,
               const char* other = nullptr) {
  FileHandle file = kNoFile, theirs = kNoFile;
  if (!PlatformIsRegularFile(name)) {
    return Earlier::kNone;
  }
  // What cannot be compared is kept.
  if (Failed(PlatformOpenRegular(name, FileOpen::kCompare, &file))) {
    return Earlier::kDiffers;
  }
  const bool same =
      (other == nullptr || !Failed(PlatformOpenRegular(other, FileOpen::kCompare, &theirs))) &&
      Holds(file, data, length, theirs);
  PlatformCloseFile(file);
  if (theirs != kNoFile) {
    PlatformCloseFile(theirs);
  }
  return same ? Earlier::kSame : Earlier::kDiffers;
}

// Gives the file at `from` the first free numbered name after `name`, in `backup`: as a hard link
// where `link` (`from` keeps it too), else, or where the file system has no hard links, moved
// there, and `moved` says so.
FileError MakeBackup(const char* from, const char* name, char (&backup)[kSaveNameSize], bool link,
                     bool* moved) {
  FileError error;
  for (int n = 1; n < kMaxBackups; ++n) {
    std::snprintf(backup, sizeof backup, "%s.~%d~", name, n);  // shorter than the temporary name
    error = link ? PlatformLinkFile(from, backup) : FileError{FileFailure::kNoHardLink};
    if (error.failure == FileFailure::kNoHardLink) {
      error = PlatformRenameFile(from, backup, false);
      *moved = !Failed(error);
    }
    if (error.failure != FileFailure::kExists) {
      return error;
    }
  }
  return {FileFailure::kNoBackups};
}

// What another run or a planter put at `name` meanwhile, taken aside to `aside` (a name nobody
// else uses, so it is this run's alone), goes where nothing is lost: a regular file unlike both
// the new file and the backup just made keeps the next free numbered name, told as the backup
// where there is none, else as the other run's; anything else goes, as a planted link or FIFO
// does. What cannot go, a folder, is put back.
FileError Settle(const char* aside, const char* name, const std::uint8_t* data,
                 std::uint32_t length, SaveReport* report) {
  const char* backup = report->backup[0] != '\0' ? report->backup : nullptr;
  FileError error;
  if (LookAt(aside, data, length) == Earlier::kDiffers &&
      (backup == nullptr || LookAt(aside, data, 0, backup) == Earlier::kDiffers)) {
    char kept[kSaveNameSize];
    bool moved = false;
    error = MakeBackup(aside, name, kept, false, &moved);
    if (!Failed(error)) {
      std::memcpy(backup == nullptr ? report->backup : report->other, kept, sizeof kept);
    }
  } else {
    error = PlatformRemoveFile(aside);
  }
  if (Failed(error)) {
    PlatformRenameFile(aside, name, false);
  }
  return error;
}

// The complete new file at `temporary` takes `name`, only where nothing stands: a rename that
// replaces nothing, so that two runs saving the same name never replace each other's file.
// A differing earlier file first gets its backup, so that it always has a name; whatever stands
// at `name` then is taken aside and settled, and the rename tried again. On failure the earlier
// file is put back as it was, if nothing was taken aside (a backup that cannot be undone stays,
// and is told), and the new one stays where it is.
FileError Publish(const char* temporary, const char* name, const std::uint8_t* data,
                  std::uint32_t length, SaveReport* report) {
  bool moved = false, undo = true;
  FileError error;
  if (LookAt(name, data, length) == Earlier::kDiffers) {
    error = MakeBackup(name, name, report->backup, true, &moved);
    if (Failed(error)) {
      report->backup[0] = '\0';
      if (error.failure != FileFailure::kMissing) {
        return error;
      }
    }
  }
  // "<name>.<16 hex digits>.old": the temporary name's own.
  char aside[kSaveNameSize];
  std::snprintf(aside, sizeof aside, "%.*s.old", static_cast<int>(std::strlen(temporary) - 4),
                temporary);
  for (int i = 0; i < kPublishTries; ++i) {
    error = PlatformRenameFile(temporary, name, false);
    if (error.failure != FileFailure::kExists) {
      break;
    }
    const FileError taken = PlatformRenameFile(name, aside, true);
    if (taken.failure == FileFailure::kMissing) {
      continue;  // another run took it first
    }
    error = Failed(taken) ? taken : Settle(aside, name, data, length, report);
    undo = undo && Failed(taken);
    if (Failed(error)) {
      break;
    }
  }
  if (Failed(error) && undo && report->backup[0] != '\0' &&
      !Failed(moved ? PlatformRenameFile(report->backup, name, false)
                    : PlatformRemoveFile(report->backup))) {
    report->backup[0] = '\0';
  }
  return error;
}

struct Save {
  const char* name;
  const std::uint8_t* data;
  std::uint32_t length;
  SaveReport* report;
};

// The save, from creating the temporary file to its rename, while no interruption can end the
// tool and leave the temporary file behind.
void SaveHeld(void* context) {
  const Save& save = *static_cast<const Save*>(context);
  SaveReport& report = *save.report;
  char* temporary = report.kept;
  FileHandle file = kNoFile;
  for (int i = 0; i < kCreateTries; ++i) {
    report.error = TemporaryName(save.name, temporary, sizeof report.kept)
                       ? PlatformCreateFile(temporary, &file)
                       : FileError{FileFailure::kTooLong};
    if (report.error.failure != FileFailure::kExists) {
      break;
    }
  }
  report.outcome = SaveOutcome::kCreateFailed;
  if (Failed(report.error)) {
    return;
  }
  if (char* end = OpenedPath(file, temporary, report.folder); end != nullptr) {
    end[1] = '\0';
    Join(report.path, report.folder, save.name);
  } else {
    report.folder[0] = '\0';
  }
  // The data must be on disk before its name replaces the earlier file, or a power cut could
  // leave neither.
  report.error = PlatformWriteFile(file, save.data, save.length);
  const FileError closed = PlatformCloseFile(file);  // the first failure is the one told
  report.error = Failed(report.error) ? report.error : closed;
  if (Failed(report.error)) {
    PlatformRemoveFile(temporary);
    report.outcome = SaveOutcome::kWriteFailed;
  } else {
    // A complete image is never deleted because it could not take its name.
    report.error = Publish(temporary, save.name, save.data, save.length, &report);
    report.outcome = Failed(report.error) ? SaveOutcome::kKept : SaveOutcome::kSaved;
  }
  if (report.folder[0] != '\0') {
    PlatformSyncFolder(report.folder);
  }
}

}  // namespace

std::int32_t ReadRegularFile(const char* name, std::uint8_t* buffer, std::uint32_t length,
                             FileError* error, char (&path)[kFullPathSize], std::uint64_t* size) {
  FileHandle file = kNoFile;
  *error = PlatformOpenRegular(name, FileOpen::kRead, &file);
  const bool opened = !Failed(*error);
  if ((opened ? OpenedPath(file, name, path) == nullptr
              : !PlatformFullName(name, path, sizeof path))) {
    path[0] = '\0';
  }
  if (!opened) {
    return -1;
  }
  std::uint32_t got = 0;
  *error = PlatformReadFile(file, buffer, length, &got);
  if (got == 0 && !Failed(*error)) {
    *error = {FileFailure::kEmpty};
  }
  if (size != nullptr) {
    // A read that stopped short reached the end; one that did not leaves the rest untold.
    const std::uint64_t told = got < length ? got : PlatformFileSize(file);
    *size = told > got ? told : got;
  }
  PlatformCloseFile(file);
  return static_cast<std::int32_t>(got);
}

void SaveFile(const char* name, const std::uint8_t* data, std::uint32_t length,
              SaveReport* report) {
  *report = {};
  if (!PlatformFullName(name, report->path, sizeof report->path)) {
    report->path[0] = '\0';
  }
  Save save = {name, data, length, report};
  PlatformHoldInterruptions(report->kept, SaveHeld, &save);
  if (report->outcome != SaveOutcome::kKept) {
    report->kept[0] = '\0';
  }
  Join(report->backupPath, report->folder, report->backup);
  Join(report->otherPath, report->folder, report->other);
  Join(report->keptPath, report->folder, report->kept);
}
