#include "app/run.h"

#include <optional>

#include "app/input.h"
#include "app/jobs.h"
#include "app/selection.h"
#include "base/console.h"
#include "bridge/drives.h"
#include "bridge/passthrough.h"
#include "jmreader_version.h"

namespace {

constexpr int kHighestTypedDrive = 99;

void PrintBanner() {
  Print("JMicron USB bridge firmware and nvram reader v%s by Telgrove\n", JMREADER_VERSION);
}

void PrintSystem() {
  OsVersion os;
  QueryOsVersion(&os);
  Print("OS: %d.%d build %d %s\n", static_cast<int>(os.major), static_cast<int>(os.minor),
        static_cast<int>(os.build), os.text);
  char warning[1024];
  if (PlatformFolderWarning(warning, sizeof warning)) {
    PrintError("%s\n", warning);
  }
}

// Names the characters of a selection that mean nothing: a letter mistyped may hide the intent.
void WarnIgnored(const char* text, const Selection& selection) {
  if (selection.ignored[0] != '\0') {
    PrintError("%s: only N, U and Y count; ignored: %s\n", text, selection.ignored);
  }
}

// The selection given as the argument; none (after the reason) when it is refused.
std::optional<Selection> TakeSelection(const char* text) {
  const Selection selection = ParseSelection(text);
  if (selection.fault != SelectionFault::kNone) {
    PrintError("%s: %s\n", text, SelectionFaultText(selection.fault));
    return std::nullopt;
  }
  WarnIgnored(text, selection);
  return selection;
}

// Lists the drives and reads the selection typed. None (after a message) when no line came or
// its number is no drive's: no line at all never falls back to drive 0.
std::optional<Selection> AskSelection(ToldFailure* told) {
  if (ListDrives(told) == 0) {
    PrintError("no disk found\n");
  }
  Print("Please select drive number:");
  char line[128];
  if (!ReadInputLine(line, sizeof line)) {
    Print("Error: bad disk number\n");
    PrintError("input ended before a drive number was typed\n");
    return std::nullopt;
  }
  const Selection selection = ParseSelection(line);
  if (selection.fault == SelectionFault::kNone && selection.drive >= 0 &&
      selection.drive <= kHighestTypedDrive) {
    WarnIgnored(line, selection);
    return selection;
  }
  Print("Error: bad disk number\n");
  PrintError("%s: %s\n", line,
             selection.fault != SelectionFault::kNone
                 ? SelectionFaultText(selection.fault)
                 : "expected a drive number 0 to 99, one of those listed");
  return std::nullopt;
}

// Names the drive and its bus, then opens it for work; kInvalidDriveHandle (after a message) when
// it cannot be opened.
DriveHandle OpenSelectedDrive(std::int32_t number, ToldFailure* told, bool* usb) {
  *usb = QueryBusType(number, told) == kBusTypeUsb;
  Print("Drive      : %u(%s)\n", static_cast<unsigned>(number), *usb ? "USB" : "NVME");
  DriveHandle drive = OpenDriveExclusive(number, told);
  if (drive == kInvalidDriveHandle) {
    Print("Error open disk\n");
  }
  return drive;
}

JobOutcome RunJob(DriveHandle drive, bool usb, const Selection& selection) {
  if (!usb) {
    Print("Not usb device!\n");
    PrintDriveError(drive,
                    " is no USB drive: only a USB enclosure's bridge takes these commands "
                    "(--list shows each drive's bus)\n");
    return JobOutcome::kNotDone;
  }
  BridgeInfo info = {};
  if (!IdentifyBridge(drive, &info)) {
    return JobOutcome::kNotDone;
  }
  if (!selection.updateNvram) {
    return DumpFirmware(drive, info, selection.noNvram);
  }
  char target[160];
  DescribeDrive(drive, target, sizeof target);
  return UpdateNvram(drive, target, info, selection.autoYes);
}

// The status tells what the job came to: done (with Y or not), not done, or a write that may have
// changed the sector. With Y the run ends at once, unless its console closes with it.
int EndRun(JobOutcome done, bool autoYes) {
  const int status = done == JobOutcome::kNotDone           ? kExitNotDone
                     : done == JobOutcome::kWriteUnverified ? kExitWriteUnverified
                     : autoYes                              ? kExitAutoYes
                                                            : kExitDone;
  if (autoYes && !PlatformConsoleOwnedByRun()) {
    return status;
  }
  Print("\nPress any key to exit\n");
  WaitForKey();
  PlatformRestoreConsole();
  return status;
}

}  // namespace

int RunTool(int argc, const char* const* argv, const ProgramText& program) {
  // The list is read by scripts too: its lines alone.
  if (argc < 2 || ClassifyArgument(argv[1]) != ArgumentKind::kList) {
    PrintBanner();
  }
  // A leading --trace: on for this run, and the arguments after it read as without it.
  const int traced = TraceArguments(argc, argv);
  SetPassThroughTrace(traced > 0);
  argc -= traced;
  argv += traced;
  if (const std::optional<int> status = TakeArguments(argc, argv, program, traced > 0)) {
    return *status;
  }
  const std::optional<Selection> given = argc < 2 ? std::nullopt : TakeSelection(argv[1]);
  if (argc >= 2 && !given) {
    return kExitRefused;
  }
  PrintSystem();
  // A drive's failure is told once, though the list, the bus query and the open may each meet it.
  ToldFailure told = {};
  const std::optional<Selection> selection = argc < 2 ? AskSelection(&told) : given;
  if (!selection) {
    return kExitBadNumber;
  }
  bool usb = false;
  const DriveHandle drive = OpenSelectedDrive(selection->drive, &told, &usb);
  if (drive == kInvalidDriveHandle) {
    return kExitOpenFailed;
  }
  const JobOutcome done = RunJob(drive, usb, *selection);
  CloseDrive(drive);
  return EndRun(done, selection->autoYes);
}
