#include "app/run.h"

#include <cstring>

#include "app/input.h"
#include "app/jobs.h"
#include "app/selection.h"
#include "base/console.h"
#include "bridge/drives.h"
#include "jmreader_version.h"

namespace {

constexpr int kHighestTypedDrive = 99;
constexpr int kKeyPollMs = 50;

std::uint8_t g_imageBuffer[kImageBufferSize];

// Waits for a key and takes every key that is waiting. Without a console there is nothing to
// wait for, and the run must not hang.
void WaitForKey() {
  for (;;) {
    KeyPoll poll = PlatformPollKey(kKeyPollMs);
    if (poll == KeyPoll::kNoConsole) {
      return;
    }
    if (poll == KeyPoll::kWaiting) {
      break;
    }
  }
  while (KeyWaiting()) {
    if (TakeKey() < 0) {
      break;
    }
  }
}

}  // namespace

int SelectionDrive(const char* text) {
  return ParseLeadingInt(text);
}

SelectionFlags SelectionFlagsOf(const char* text) {
  SelectionFlags flags = {};
  flags.noNvram = ContainsChar(text, 'N') || ContainsChar(text, 'n');
  flags.autoYes = ContainsChar(text, 'Y') || ContainsChar(text, 'y');
  flags.updateNvram = ContainsChar(text, 'U') || ContainsChar(text, 'u');
  return flags;
}

int RunTool(int argc, const char* const* argv, const ProgramText& program) {
  OsVersion os;
  QueryOsVersion(&os);
  Print("JMicron USB bridge firmware and nvram reader v%s by Telgrove\n", JMREADER_VERSION);
  int status = kExitDone;
  if (!TakeArguments(argc, argv, program, &status)) {
    return status;
  }
  Print("OS: %d.%d build %d %s\n", static_cast<int>(os.major), static_cast<int>(os.minor),
        static_cast<int>(os.build), os.text);
  char warning[1024];
  if (PlatformFolderWarning(warning, sizeof warning)) {
    PrintError("%s\n", warning);
  }

  std::int32_t drive = 0;
  SelectionFlags flags = {};
  ToldFailure told = {};
  if (argc < 2) {
    ListDrives(&told);
    Print("Please select drive number:");
    char line[128];
    // No line at all means no drive was chosen; never fall back to drive 0.
    if (!ReadInputLine(line, sizeof line)) {
      Print("Error: bad disk number\n");
      return kExitBadNumber;
    }
    drive = SelectionDrive(line);
    if (drive < 0 || drive > kHighestTypedDrive) {
      Print("Error: bad disk number\n");
      return kExitBadNumber;
    }
    flags = SelectionFlagsOf(line);
  } else {
    drive = SelectionDrive(argv[1]);
    flags = SelectionFlagsOf(argv[1]);
  }

  bool isUsb = QueryBusType(drive, &told) == kBusTypeUsb;
  Print("Drive      : %u(%s)\n", static_cast<unsigned>(drive), isUsb ? "USB" : "NVME");

  DriveHandle handle = OpenDriveExclusive(drive, &told);
  if (handle == kInvalidDriveHandle) {
    Print("Error open disk\n");
    return kExitOpenFailed;
  }
  std::memset(g_imageBuffer, 0, sizeof g_imageBuffer);

  if (!isUsb) {
    Print("Not usb device!\n");
  } else {
    BridgeInfo info = {};
    if (IdentifyBridge(handle, &info)) {
      if (flags.updateNvram) {
        char target[160];
        DescribeDrive(handle, target, sizeof target);
        UpdateNvram(handle, target, info, flags.autoYes);
      } else {
        DumpFirmware(handle, info, g_imageBuffer, flags.noNvram);
      }
    }
  }

  CloseDrive(handle);
  if (flags.autoYes) {
    return kExitAutoYes;
  }
  Print("\nPress any key to exit\n");
  WaitForKey();
  PlatformRestoreConsole();
  return kExitDone;
}
