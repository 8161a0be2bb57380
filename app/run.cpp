#include "app/run.h"

#include <cstring>

#include "app/hostio.h"
#include "app/jobs.h"
#include "base/console.h"
#include "bridge/drives.h"
#include "jmreader_version.h"

namespace {

constexpr int kHighestTypedDrive = 99;
constexpr int kKeyPollMs = 50;

std::uint8_t g_imageBuffer[kImageBufferSize];

bool IsVersionRequest(const char* arg) {
  return std::strcmp(arg, "--version") == 0;
}

bool IsHelpRequest(const char* arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0 ||
         std::strcmp(arg, "/?") == 0;
}

void PrintUsage() {
  Print(
      "Usage: jmreader [selection]\n"
      "Reads the firmware and the NVRAM sector of a JMicron USB bridge into a file, or writes\n"
      "\"jm_nvram.bin\" into its NVRAM sector. Needs administrator (root) rights.\n"
      "\n"
      "selection: a drive number followed by option letters, in either case:\n"
      "  N  dump the firmware only, without the NVRAM sector\n"
      "  U  write \"jm_nvram.bin\" (512 bytes) into the NVRAM sector instead of dumping\n"
      "  Y  do not ask before writing and do not wait for a key at the end\n"
      "Without a selection the drives are listed and the selection is asked for.\n"
      "--version prints the version line only.\n"
      "Examples: jmreader 2   (dump drive 2)   jmreader 2u   (update drive 2's NVRAM)\n"
      "\n"
      "The dump is saved as \"jm<name>_<version>.bin\" in the current directory: the firmware\n"
      "followed by the 512-byte NVRAM sector. Keep it: it is the backup of the bridge.\n"
      "A dump in which a read failed is saved as \"jm<name>_<version>.partial.bin\" instead.\n"
      "\n"
      "Exit status: 0 after the key wait, 1 with Y, 23 for a bad drive number typed,\n"
      "16 when the drive cannot be opened.\n");
}

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

int RunTool(int argc, const char* const* argv) {
  OsVersion os;
  QueryOsVersion(&os);
  Print("JMicron USB bridge firmware and nvram reader v%s by Telgrove\n", JMREADER_VERSION);
  if (argc > 1 && IsHelpRequest(argv[1])) {
    PrintUsage();
    return 0;
  }
  if (argc > 1 && IsVersionRequest(argv[1])) {
    return 0;
  }
  Print("OS: %d.%d build %d %s\n", static_cast<int>(os.major), static_cast<int>(os.minor),
        static_cast<int>(os.build), os.text);

  std::int32_t drive = 0;
  SelectionFlags flags = {};
  if (argc < 2) {
    ListDrives();
    Print("Please select drive number:");
    char line[128];
    // No line at all means no drive was chosen; never fall back to drive 0.
    if (!ReadInputLine(line, sizeof line)) {
      return Print("Error: bad disk number\n");
    }
    drive = SelectionDrive(line);
    if (drive < 0 || drive > kHighestTypedDrive) {
      return Print("Error: bad disk number\n");
    }
    flags = SelectionFlagsOf(line);
  } else {
    drive = SelectionDrive(argv[1]);
    flags = SelectionFlagsOf(argv[1]);
  }

  bool isUsb = QueryBusType(drive) == kBusTypeUsb;
  Print("Drive      : %u(%s)\n", static_cast<unsigned>(drive), isUsb ? "USB" : "NVME");

  DriveHandle handle = OpenDriveExclusive(drive);
  if (handle == kInvalidDriveHandle) {
    return Print("Error open disk\n");
  }
  std::memset(g_imageBuffer, 0, sizeof g_imageBuffer);

  if (!isUsb) {
    Print("Not usb device!\n");
  } else {
    BridgeInfo info = {};
    if (IdentifyBridge(handle, &info)) {
      if (flags.updateNvram) {
        UpdateNvram(handle, info, flags.autoYes);
      } else {
        DumpFirmware(handle, info, g_imageBuffer, flags.noNvram);
      }
    }
  }

  CloseDrive(handle);
  if (flags.autoYes) {
    return 1;
  }
  Print("\nPress any key to exit\n");
  WaitForKey();
  PlatformRestoreConsole();
  return 0;
}
