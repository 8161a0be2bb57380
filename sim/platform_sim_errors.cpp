// Names and reasons of the simulated platform. It models Windows: drives are
// "\\.\PhysicalDriveN" and failures carry the Windows error codes and texts that the real
// backend would report for them.
#include "sim/platform_sim_errors.h"

#include <cstdio>

namespace {

const char* ErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorInvalidFunction:
      return "Incorrect function";
    case kErrorFileNotFound:
      return "The system cannot find the file specified";
    case kErrorAccessDenied:
      return "Access is denied";
    case kErrorInvalidHandle:
      return "The handle is invalid";
    case kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process";
    case kErrorInvalidParameter:
      return "The parameter is incorrect";
    case kErrorSemTimeout:
      return "The semaphore timeout period has expired";
    case kErrorIoDevice:
      return "The request could not be performed because of an I/O device error";
    default:
      return nullptr;
  }
}

}  // namespace

void SimErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  const char* known = ErrorText(code);
  if (known != nullptr) {
    std::snprintf(text, size, "%s", known);
  } else {
    std::snprintf(text, size, "error %u", static_cast<unsigned>(code));
  }
}

void SimDrivePath(std::int32_t number, char* text, std::uint32_t size) {
  std::snprintf(text, size, "\\\\.\\PhysicalDrive%d", static_cast<int>(number));
}
