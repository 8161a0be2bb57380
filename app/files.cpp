#include "app/files.h"

#include "base/console.h"
#include "platform/platform.h"

namespace {

// Names on standard error the file just read or saved, or looked for (`beside`: a name beside
// it, a save's backup or kept file): where it is may not be where the user looks (a console
// started elsewhere, a 32-bit program's redirected System32).
void TellPath(const char* what, const char* beside = nullptr) {
  char path[4096];
  PlatformFilePath(path, sizeof path, beside);
  if (path[0] != '\0') {
    PrintError("%s %s\n", what, path);
  }
}

// kReplace: the complete new file could not take the earlier one's name (or keep it first), and
// the folder hints of a save do not apply.
enum class FileRole { kRead, kSave, kReplace };

// Tells on the error stream why the latest file operation on `name` failed, with a hint where the
// cause is a common one.
void ReportFileFailure(const char* name, FileRole role) {
  char reason[256];
  FileFailure failure = PlatformFileFailure(reason, sizeof reason);
  const char* hint = "";
  switch (failure) {
    case FileFailure::kNone:
      return;
    case FileFailure::kMissing:
      hint = role == FileRole::kRead ? " (it must be in the current folder)" : "";
      break;
    case FileFailure::kNotRegular:
      hint = PlatformReadsThroughLinks() ? " (it must be a regular file, or a link to one)"
                                         : " (it must be a regular file, not a link)";
      break;
    case FileFailure::kNoAccess:
      hint = role == FileRole::kRead   ? " (the file must be writable)"
             : role == FileRole::kSave ? " (the folder must be writable)"
                                       : "";
      break;
    case FileFailure::kEmpty:
      hint = " (it must hold the 512-byte sector)";
      break;
    case FileFailure::kOther:
      break;
  }
  PrintError("%s: %s%s\n", name, reason, hint);
}

void PrintBackup(const char* name, const SaveReport& report) {
  if (report.backup[0] != '\0') {
    Print("Earlier %s kept as %s\n", name, report.backup);
    TellPath("kept", report.backup);
  }
}

}  // namespace

bool ReadHostFile(const char* name, std::uint8_t* buffer, std::int32_t length,
                  std::int32_t* count) {
  std::int32_t got =
      PlatformReadFile(name, buffer, length > 0 ? static_cast<std::uint32_t>(length) : 0);
  if (count != nullptr) {
    *count = got;
  }
  TellPath(got < 0 ? "not read:" : "read");
  if (got < 0) {
    Print("%s: Open File Error\n", name);
    ReportFileFailure(name, FileRole::kRead);
    return false;
  }
  if (got == 0) {
    Print("%s: Read File Error\n", name);
    ReportFileFailure(name, FileRole::kRead);
    return false;
  }
  return true;
}

bool WriteHostFile(const char* name, const std::uint8_t* data, std::int32_t length) {
  SaveReport report;
  const SaveOutcome outcome =
      PlatformSaveFile(name, data, length > 0 ? static_cast<std::uint32_t>(length) : 0, &report);
  // What was really written: the new file under its name, or under its temporary one.
  const bool kept = outcome == SaveOutcome::kKept;
  TellPath(outcome == SaveOutcome::kSaved || kept ? "saved" : "not saved:",
           kept ? report.kept : nullptr);
  switch (outcome) {
    case SaveOutcome::kSaved:
      PrintBackup(name, report);
      return true;
    case SaveOutcome::kCreateFailed:
      Print("%s: Create File Error\n", name);
      ReportFileFailure(name, FileRole::kSave);
      return false;
    case SaveOutcome::kKept:
      PrintBackup(name, report);
      Print("%s: Rename File Error, new file kept as %s\n", name, report.kept);
      ReportFileFailure(name, FileRole::kReplace);
      return false;
    case SaveOutcome::kWriteFailed:
      break;
  }
  Print("%s: Write File Error\n", name);
  ReportFileFailure(name, FileRole::kSave);
  return false;
}
