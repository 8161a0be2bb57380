// Why a simulated drive failed: the simulation knows no system reason, so nothing goes to the
// error stream and the simulated transcripts stay standard output alone.
#include "platform/platform.h"

DriveFailure PlatformDriveFailure(char* text, std::uint32_t size) {
  if (size > 0) {
    text[0] = '\0';
  }
  return DriveFailure::kUnknown;
}
