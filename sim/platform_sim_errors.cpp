// Names and reasons of the simulated platform. It models Windows: drives are
// "\\.\PhysicalDriveN" and failures carry the Windows error codes and texts that the real
// backend would report for them.
#include "sim/platform_sim_errors.h"

#include <cstdio>

namespace {

struct ErrorName {
  std::uint32_t code;
  const char* text;
};
constexpr ErrorName kErrorTexts[] = {
    {kErrorInvalidFunction, "Incorrect function"},
    {kErrorFileNotFound, "The system cannot find the file specified"},
    {kErrorAccessDenied, "Access is denied"},
    {kErrorInvalidHandle, "The handle is invalid"},
    {kErrorSharingViolation,
     "The process cannot access the file because it is being used by another process"},
    {kErrorInvalidParameter, "The parameter is incorrect"},
    {kErrorSemTimeout, "The semaphore timeout period has expired"},
    {kErrorNoSuchDevice, "A device which does not exist was specified"},
    {kErrorIoDevice, "The request could not be performed because of an I/O device error"},
    {kErrorDeviceNotConnected, "The device is not connected"},
};

}  // namespace

void SimErrorText(std::uint32_t code, char* text, std::uint32_t size) {
  for (const ErrorName& known : kErrorTexts) {
    if (known.code == code) {
      std::snprintf(text, size, "%s", known.text);
      return;
    }
  }
  std::snprintf(text, size, "error %u", static_cast<unsigned>(code));
}

void SimDrivePath(std::int32_t number, char* text, std::uint32_t size) {
  std::snprintf(text, size, "\\\\.\\PhysicalDrive%d", static_cast<int>(number));
}
