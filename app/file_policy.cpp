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

// What stands at `name`: no regular file (nothing, or a link, a FIFO or a device: no earlier file
// worth a backup, never opened or followed), one with the content of `data`, or one that differs.
enum class Earlier { kNone, kSame, kDiffers };
Earlier LookAtEarlier(const char* name, const std::uint8_t* data, std::uint32_t length) {
  FileHandle file = kNoFile;
  if (!PlatformIsRegularFile(name)) {
    return Earlier::kNone;
  }
  if (Failed(PlatformOpenRegular(name, FileOpen::kCompare, &file))) {
    return Earlier::kDiffers;  // what cannot be compared is kept
  }
  std::uint8_t chunk[4096];
  std::uint32_t done = 0, got = 0;
  bool same = true;
  while (same && done < length) {
    const std::uint32_t want = length - done < sizeof chunk ? length - done : sizeof chunk;
    same = !Failed(PlatformReadFile(file, chunk, want, &got)) && got == want &&
           std::memcmp(chunk, data + done, want) == 0;
    done += want;
  }
  // It must end there too.
  same = same && !Failed(PlatformReadFile(file, chunk, 1, &got)) && got == 0;
  PlatformCloseFile(file);
  return same ? Earlier::kSame : Earlier::kDiffers;
}

// Gives the earlier file the first free numbered name as well. A hard link keeps it under `name`
// until the new file replaces it; where the file system has no hard links it is moved instead,
// and `moved` says so.
FileError MakeBackup(const char* name, char (&backup)[kSaveNameSize], bool* moved) {
  FileError error;
  for (int n = 1; n < kMaxBackups; ++n) {
    const int written = std::snprintf(backup, sizeof backup, "%s.~%d~", name, n);
    if (written <= 0 || static_cast<std::size_t>(written) >= sizeof backup) {
      return {FileFailure::kTooLong};
    }
    error = PlatformLinkFile(name, backup);
    if (error.failure == FileFailure::kNoHardLink) {
      error = PlatformRenameFile(name, backup, false);
      *moved = !Failed(error);
    }
    if (error.failure != FileFailure::kExists) {
      return error;
    }
  }
  return {FileFailure::kNoBackups};
}

// The complete new file at `temporary` takes `name`, after a differing earlier file there got
// its backup. Where no regular file was found, the rename replaces nothing: another run saving
// the same name may have put its file there meanwhile, which then gets its backup on the next
// try. On failure the earlier file is put back as it was (a backup that cannot be undone stays,
// and is told), and the new one stays where it is.
FileError Publish(const char* temporary, const char* name, const std::uint8_t* data,
                  std::uint32_t length, SaveReport* report) {
  FileError error;
  for (int i = 0; i < kPublishTries; ++i) {
    const Earlier earlier = LookAtEarlier(name, data, length);
    bool moved = false;
    if (earlier == Earlier::kDiffers) {
      if (const FileError kept = MakeBackup(name, report->backup, &moved); Failed(kept)) {
        report->backup[0] = '\0';
        return kept;
      }
    }
    // A link or FIFO that still stands there after a try is replaced, as planted ones are.
    error = PlatformRenameFile(temporary, name, earlier != Earlier::kNone || i > 0);
    if (Failed(error) && report->backup[0] != '\0' &&
        !Failed(moved ? PlatformRenameFile(report->backup, name, false)
                      : PlatformRemoveFile(report->backup))) {
      report->backup[0] = '\0';
    }
    if (error.failure != FileFailure::kExists || earlier != Earlier::kNone) {
      break;
    }
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
  Join(report->keptPath, report->folder, report->kept);
}
