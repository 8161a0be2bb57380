// What is opened, and how a file is saved: the one policy over the platform's file steps.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// A full path past PATH_MAX or MAX_PATH fits, up to the longest that Windows takes.
inline constexpr std::uint32_t kFullPathSize = 32768;

// Reads up to `length` bytes from the start of the regular file `name` (PlatformOpenRegular's
// kRead). The count read, or -1 when it cannot be opened; `error` tells why it failed, or
// kEmpty when it holds no byte. `path` receives the file's full path (a link's target) when it
// was opened, else the name made absolute; "" when that does not fit. `size`, when given,
// receives the file's whole size: what was read when that is less than `length`.
std::int32_t ReadRegularFile(const char* name, std::uint8_t* buffer, std::uint32_t length,
                             FileError* error, char (&path)[kFullPathSize],
                             std::uint64_t* size = nullptr);

enum class SaveOutcome {
  kSaved,
  kCreateFailed,  // nothing written, nothing left behind
  kWriteFailed,   // the new file could not be completed; nothing left behind, `name` untouched
  kKept,          // complete, but it could not take `name`: it stays under `SaveReport::kept`
};
inline constexpr std::uint32_t kSaveNameSize = 512;
struct SaveReport {
  SaveOutcome outcome;
  FileError error;             // the first step that failed
  char backup[kSaveNameSize];  // the earlier file's numbered name, or "" when none is left
  char other[kSaveNameSize];   // another run's file met at `name` then: its numbered name, or ""
  char kept[kSaveNameSize];    // kKept: the name the complete new file stays under
  // Full paths: `name` in the folder the new file went to, as the system names it (made absolute
  // when no file was created), and `backup`, `other` and `kept` there ("" when there is none, or
  // no file was created); "" when one does not fit.
  char path[kFullPathSize];
  char backupPath[kFullPathSize];
  char otherPath[kFullPathSize];
  char keptPath[kFullPathSize];
  char folder[kFullPathSize];  // that folder, with its separator, or ""
};
// Saves `length` bytes as `name`: writes a new file of its own beside it (created exclusively
// under a name nobody can guess, "<name>.<16 hex digits>.tmp", never through a link), syncs it and
// renames it to `name` by a rename that replaces nothing, so that a link or file at `name` is
// never written through and an earlier file survives any failure. An earlier regular file whose
// content differs is kept under the first free name "<name>.~N~" (N = 1, 2, ...), linked there
// before the rename, so that there is no moment without it (moved there where the file system
// takes no hard link, and moved back on failure). What stands at `name` then is moved aside and
// dropped only where it is no regular file, the new content or the file just kept: another run's
// file, saved there meanwhile, keeps the next numbered name. A complete new file is never deleted:
// when it cannot take `name`, it stays under its temporary name.
void SaveFile(const char* name, const std::uint8_t* data, std::uint32_t length, SaveReport* report);
