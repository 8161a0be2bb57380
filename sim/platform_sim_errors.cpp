// Names and reasons of the simulated platform. It models Windows: drives are
// "\\.\PhysicalDriveN" and failures carry the Windows error codes and texts that the real
// backend would report for them.
#include <cstdio>

#include "sim/platform_sim.h"

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorSemTimeout = 121;

const char* ErrorText(std::uint32_t code) {
  switch (code) {
    case 1:
      return "Incorrect function";
    case kErrorFileNotFound:
      return "The system cannot find the file specified";
    case 5:
      return "Access is denied";
    case 6:
      return "The handle is invalid";
    case kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process";
    case 87:
      return "The parameter is incorrect";
    case kErrorSemTimeout:
      return "The semaphore timeout period has expired";
    case 1117:
      return "The request could not be performed because of an I/O device error";
    default:
      return nullptr;
  }
}

void SimErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  const char* known = ErrorText(code);
  if (known != nullptr) {
    std::snprintf(text, size, "%s", known);
  } else {
    std::snprintf(text, size, "error %u", static_cast<unsigned>(code));
  }
}

const SimDrive* DriveNumbered(std::int32_t number) {
  for (const SimDrive& d : Sim().drives) {
    if (d.number == number) {
      return &d;
    }
  }
  return nullptr;
}

}  // namespace

void SimDrivePath(std::int32_t number, char* text, std::uint32_t size) {
  std::snprintf(text, size, "\\\\.\\PhysicalDrive%d", static_cast<int>(number));
}

DriveFailure PlatformDriveFailure(char* text, std::uint32_t size) {
  const SimFailure& f = Sim().failure;
  if (size > 0) {
    text[0] = '\0';
  }
  if (!f.known) {
    return DriveFailure::kUnknown;
  }
  const SimDrive* d = DriveNumbered(f.number);
  const bool absent = d == nullptr;
  const std::uint32_t code = absent                             ? kErrorFileNotFound
                             : f.opening && d->workingOpenFails ? kErrorSharingViolation
                                                                : 1;
  char path[40];
  char reason[128];
  SimDrivePath(f.number, path, sizeof path);
  SimErrorText(code, reason, sizeof reason);
  std::snprintf(text, size, "%s: %s%s", path, reason,
                absent                           ? " (no such drive)"
                : code == kErrorSharingViolation ? " (another program holds the drive)"
                                                 : "");
  return absent ? DriveFailure::kNoDrive : DriveFailure::kFailed;
}

bool PlatformPassThroughError(std::uint32_t error, char* text, std::uint32_t size) {
  SimErrorText(error, text, size);
  return error == kErrorSemTimeout;
}

PathDrive PlatformDriveOfPath(const char* path, std::int32_t* number, char* text,
                              std::uint32_t size) {
  int n = 0;
  int end = 0;
  if (std::sscanf(path, "\\\\.\\PhysicalDrive%d%n", &n, &end) != 1 || path[end] != '\0' || n < 0) {
    std::snprintf(text, size, "not a \\\\.\\PhysicalDriveN drive");
    return PathDrive::kNoDrive;
  }
  if (DriveNumbered(n) == nullptr) {
    SimErrorText(kErrorFileNotFound, text, size);
    return PathDrive::kNoDrive;
  }
  *number = n;
  SimDrivePath(n, text, size);
  return PathDrive::kDrive;
}
