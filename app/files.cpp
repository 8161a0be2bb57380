#include "app/files.h"

#include "app/file_policy.h"
#include "base/console.h"

namespace {

// Names on standard error the file just read or saved, or looked for: where it is may not be
// where the user looks (a console started elsewhere, a 32-bit program's redirected System32).
// `name` stands in where the system gives no full path, and the line says so.
void TellPath(const char* what, const char* path, const char* name) {
  if (path[0] != '\0') {
    PrintError("%s %s\n", what, path);
  } else {
    PrintError("%s %s (the system gives no full path for it)\n", what, name);
  }
}

// kReplace: the complete new file could not take the earlier one's name (or keep it first), and
// the folder hints of a save do not apply.
enum class FileRole { kRead, kSave, kReplace };

// Tells on the error stream why a file operation on `name` failed, with a hint where the cause
// is a common one.
void ReportFileFailure(const char* name, FileError error, FileRole role) {
  using enum FileFailure;
  const FileFailure f = error.failure;
  char system[256];
  PlatformFileErrorText(error, system, sizeof system);
  const char* reason = f == kNotRegular  ? "not a regular file"
                       : f == kEmpty     ? "the file is empty"
                       : f == kNoBackups ? "every numbered name for the earlier file is taken"
                                         : system;
  const char* hint =
      f == kMissing && role == FileRole::kRead ? " (it must be in the current folder)"
      : f == kNotRegular ? (kReadsThroughLinks ? " (it must be a regular file, or a link to one)"
                                               : " (it must be a regular file, not a link)")
      : f == kNoAccess && role == FileRole::kRead ? " (the file must be writable)"
      : f == kNoAccess && role == FileRole::kSave ? " (the folder must be writable)"
      : f == kEmpty                               ? " (it must hold the 512-byte sector)"
      : f == kNoBackups                           ? " (move the files named .~N~ elsewhere)"
                                                  : "";
  if (f != kNone) {
    PrintError("%s: %s%s\n", name, reason, hint);
  }
}

void PrintBackup(const char* name, const SaveReport& report) {
  if (report.backup[0] != '\0') {
    Print("Earlier %s kept as %s\n", name, report.backup);
    TellPath("kept", report.backupPath, report.backup);
  }
  // Another run saved the same name meanwhile: its user was told the name, not where it went.
  if (report.other[0] != '\0') {
    Print("Another run's %s, saved meanwhile, kept as %s\n", name, report.other);
    TellPath("kept", report.otherPath, report.other);
  }
}

}  // namespace

bool ReadHostFile(const char* name, std::uint8_t* buffer, std::int32_t length, std::int32_t* count,
                  std::uint64_t* size) {
  FileError error;
  char path[kFullPathSize];
  std::int32_t got = ReadRegularFile(
      name, buffer, length > 0 ? static_cast<std::uint32_t>(length) : 0, &error, path, size);
  if (count != nullptr) {
    *count = got;
  }
  TellPath(got < 0 ? "not read:" : "read", path, name);
  if (got <= 0) {
    Print("%s: %s File Error\n", name, got < 0 ? "Open" : "Read");
    ReportFileFailure(name, error, FileRole::kRead);
    return false;
  }
  return true;
}

bool WriteHostFile(const char* name, const std::uint8_t* data, std::int32_t length) {
  SaveReport report;
  SaveFile(name, data, length > 0 ? static_cast<std::uint32_t>(length) : 0, &report);
  // What was really written: the new file under its name, or under its temporary one.
  const bool kept = report.outcome == SaveOutcome::kKept;
  TellPath(report.outcome == SaveOutcome::kSaved || kept ? "saved" : "not saved:",
           kept ? report.keptPath : report.path, kept ? report.kept : name);
  switch (report.outcome) {
    case SaveOutcome::kSaved:
      PrintBackup(name, report);
      return true;
    case SaveOutcome::kCreateFailed:
      Print("%s: Create File Error\n", name);
      ReportFileFailure(name, report.error, FileRole::kSave);
      return false;
    case SaveOutcome::kKept:
      PrintBackup(name, report);
      Print("%s: Rename File Error, new file kept as %s\n", name, report.kept);
      ReportFileFailure(name, report.error, FileRole::kReplace);
      return false;
    case SaveOutcome::kWriteFailed:
      break;
  }
  Print("%s: Write File Error\n", name);
  ReportFileFailure(name, report.error, FileRole::kSave);
  return false;
}
