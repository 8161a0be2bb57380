#include "app/run.h"

#include "app/input.h"
#include "app/jobs.h"
#include "app/selection.h"
#include "base/console.h"
#include "bridge/drives.h"
#include "jmreader_version.h"

namespace {

constexpr int kHighestTypedDrive = 99;
constexpr int kKeyPollMs = 50;

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

int RunTool(int argc, const char* const* argv, const ProgramText& program, JobOutcome* outcome) {
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

  Selection selection = {};
  if (argc < 2) {
    ListDrives();
    Print("Please select drive number:");
    char line[128];
    // No line at all means no drive was chosen; never fall back to drive 0.
    if (!ReadInputLine(line, sizeof line)) {
      Print("Error: bad disk number\n");
      return kExitBadNumber;
    }
    selection = ParseSelection(line);
    if (selection.drive < 0 || selection.drive > kHighestTypedDrive) {
      Print("Error: bad disk number\n");
      return kExitBadNumber;
    }
  } else {
    selection = ParseSelection(argv[1]);
  }
  const std::int32_t drive = selection.drive;
  const Selection& flags = selection;

  bool isUsb = QueryBusType(drive) == kBusTypeUsb;
  Print("Drive      : %u(%s)\n", static_cast<unsigned>(drive), isUsb ? "USB" : "NVME");

  DriveHandle handle = OpenDriveExclusive(drive);
  if (handle == kInvalidDriveHandle) {
    Print("Error open disk\n");
    return kExitOpenFailed;
  }
  // The status does not tell the job's outcome: scripts read 0 and 1 as they always have.
  JobOutcome done = JobOutcome::kNotDone;
  if (!isUsb) {
    Print("Not usb device!\n");
  } else {
    BridgeInfo info = {};
    if (IdentifyBridge(handle, &info)) {
      if (flags.updateNvram) {
        char target[160];
        DescribeDrive(handle, target, sizeof target);
        done = UpdateNvram(handle, target, info, flags.autoYes);
      } else {
        done = DumpFirmware(handle, info, flags.noNvram);
      }
    }
  }

  CloseDrive(handle);
  if (outcome != nullptr) {
    *outcome = done;
  }
  if (flags.autoYes) {
    return kExitAutoYes;
  }
  Print("\nPress any key to exit\n");
  WaitForKey();
  PlatformRestoreConsole();
  return kExitDone;
}
