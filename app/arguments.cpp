#include "app/arguments.h"

#include <cstdio>
#include <cstring>

#include "app/run.h"
#include "base/console.h"
#include "bridge/drives.h"
#include "platform/platform.h"

const ProgramText kJmreaderText = {
    "jmreader",
    "Reads the firmware and the NVRAM sector of a JMicron USB bridge into a file, or writes\n"
    "jm_nvram.bin into its NVRAM sector. Needs administrator (root) rights.\n",
    ""};

namespace {

// The options, files and statuses below are those of the man pages and the README, word for
// word; a test compares them.
void PrintUsage(std::FILE* stream, const ProgramText& program) {
  const char* name = program.name;
  std::fprintf(
      stream,
      "Usage: %s [--trace] [selection]\n       %s --list\n       %s -h | --help | /? | --version\n"
      "%s\n",
      name, name, name, program.about);
  std::fputs(
      "selection: a drive number followed by option letters, in either case and any order:\n"
      "  (none)  dump: read the firmware and the NVRAM sector into jm<name>.bin\n"
      "  N       dump the firmware only, without the NVRAM sector, into jm<name>.fw.bin\n"
      "  U       update: write jm_nvram.bin into the NVRAM sector, after you confirm with Y; the\n"
      "          selection must begin with the drive number (2uy, not y2u)\n"
      "  Y       do not ask before writing, and do not wait for a key at the end (on Windows,\n"
      "          but in a console window of its own)\n"
      "Without a selection the drives are listed and the selection is asked for. Letters count\n"
      "anywhere in the selection: 1dump means an update (it holds a u). Any other character but\n"
      "blanks is ignored with a warning (d, m, p in 1dump; 2 in y2, which dumps drive 0). A\n"
      "drive number of 4294967296 or more is refused.\n"
      "Only the first argument is used (the second after --trace). An argument that starts with -\n"
      "and a letter or a second -, and a device path (/dev/sdX or a link to one,\n"
      "\\\\.\\PhysicalDriveN), are refused.\n",
      stream);
  std::fprintf(stream, "Examples: %s 2 (dump drive 2), %s 2u (update drive 2 after asking)\n", name,
               name);
  std::fputs(
      "\n"
      "Options:\n"
      "  -h, --help, /?  print the usage and exit 0\n"
      "  --version       print the version line and exit 0, without touching a drive\n"
      "  --list          list the drives, one line each (number, system's name, bus, USB IDs,\n"
      "                  serial number, vendor and product; \"-\" where the system tells none)\n"
      "                  and exit 0, without sending a bridge command\n"
      "  --trace         first, before a selection or none: each request sent to the bridge and\n"
      "                  what came of it, one line each on standard error\n"
      "\n"
      "Files, in the current folder:\n"
      "  jm<name>.bin          written by a dump: the firmware, then the 512-byte NVRAM sector;\n"
      "                        only a complete dump is saved under this name\n"
      "  jm<name>.fw.bin       written by a dump with N: the firmware alone\n"
      "  jm<name>.partial.bin  written instead when a read failed (jm<name>.fw.partial.bin with\n"
      "                        N): never a backup to restore from\n"
      "  jm<name>.nvram-before.bin  written by U: the sector as it was before the write (none\n"
      "                        when the sector already holds jm_nvram.bin: nothing is written)\n"
      "  <file>.~N~            an earlier file of that name whose content differed, kept under\n"
      "                        the first free number\n"
      "  jm_nvram.bin          read by U: the sector to write, exactly 512 bytes (the last 512 of\n"
      "                        a whole dump); a regular file that you may write\n"
      "\n"
      "Exit status:\n"
      "  0   the job did what was asked, or the update was declined at its question (after the\n"
      "      key wait, which ends at once when there is no console)\n"
      "  1   the job did what was asked, with Y in the selection\n"
      "  2   an argument was refused (an unknown option, a device path, or a selection: an update\n"
      "      without its drive number first, a drive number too large); nothing was opened\n"
      "  4   the job was not done and nothing was written to the bridge: no USB drive, no bridge\n"
      "      identified, a dump partial or not saved, an update refused\n"
      "  5   the NVRAM write was sent and not read back equal: the sector may have changed\n"
      "  16  the drive could not be opened (\"Error open disk\"; on Linux also when another\n"
      "      program holds it)\n"
      "  23  the typed drive number was not 0 to 99, the typed selection was refused like an\n"
      "      argument, or input ended before a line was typed\n",
      stream);
  std::fputs(program.statuses, stream);
  std::fflush(stream);
}

// Says which drive a device path is, or why it is none; the selection wants the drive's number.
void TellDriveOfPath(const char* path, const ProgramText& program) {
  std::int32_t number = 0;
  char text[512];
  PathDrive kind = PlatformDriveOfPath(path, &number, text, sizeof text);
  if (kind == PathDrive::kNoDrive) {
    PrintError("%s: %s (give a drive number: %s without an argument lists the drives)\n", path,
               text, program.name);
    return;
  }
  char what[600];
  if (kind == PathDrive::kPartition) {
    std::snprintf(what, sizeof what, "%s is a partition of %s, drive %d", path, text,
                  static_cast<int>(number));
  } else if (std::strcmp(path, text) == 0) {
    std::snprintf(what, sizeof what, "%s is drive %d", path, static_cast<int>(number));
  } else {
    std::snprintf(what, sizeof what, "%s is %s, drive %d", path, text, static_cast<int>(number));
  }
  PrintError("%s: run %s %d (or %du to update)\n", what, program.name, static_cast<int>(number),
             static_cast<int>(number));
}

}  // namespace

ArgumentKind ClassifyArgument(const char* arg) {
  if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0 ||
      std::strcmp(arg, "/?") == 0) {
    return ArgumentKind::kHelp;
  }
  if (std::strcmp(arg, "--version") == 0) {
    return ArgumentKind::kVersion;
  }
  if (std::strcmp(arg, "--list") == 0) {
    return ArgumentKind::kList;
  }
  if (std::strcmp(arg, "--trace") == 0) {
    return ArgumentKind::kTrace;
  }
  // A "-" before a digit is a number's sign, as it always was.
  char second = arg[0] == '-' ? arg[1] : '\0';
  if (second == '-' || (second >= 'a' && second <= 'z') || (second >= 'A' && second <= 'Z')) {
    return ArgumentKind::kUnknownOption;
  }
  // Read for letters, "/dev/disk/by-id/usb-..." would be drive 0 with whatever letters it holds.
  if (std::strpbrk(arg, "/\\") != nullptr) {
    return ArgumentKind::kDevicePath;
  }
  return ArgumentKind::kSelection;
}

int TraceArguments(int argc, const char* const* argv) {
  return argc >= 2 && ClassifyArgument(argv[1]) == ArgumentKind::kTrace ? 1 : 0;
}

std::optional<int> TakeArguments(int argc, const char* const* argv, const ProgramText& program,
                                 bool traced) {
  // A trace asked for in the wrong place would be lost on a run that may write the bridge.
  for (int i = 1; i < argc; ++i) {
    const ArgumentKind kind = ClassifyArgument(argv[i]);
    if (traced && i == 1 && kind != ArgumentKind::kSelection &&
        kind != ArgumentKind::kUnknownOption && kind != ArgumentKind::kDevicePath) {
      PrintError("--trace %s: only a selection or nothing goes after --trace, e.g. %s --trace 1\n",
                 argv[1], program.name);
      return kExitRefused;
    }
    if (kind == ArgumentKind::kTrace) {
      PrintError("--trace goes first, before the selection, e.g. %s --trace 1\n", program.name);
      return kExitRefused;
    }
  }
  if (argc > 2) {
    char ignored[512] = "";
    std::size_t used = 0;
    for (int i = 2; i < argc && used < sizeof ignored; ++i) {
      int n = std::snprintf(ignored + used, sizeof ignored - used, " \"%s\"", argv[i]);
      used += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    PrintError("only the first argument is used; ignored:%s\n", ignored);
  }
  if (argc < 2) {
    return std::nullopt;
  }
  switch (ClassifyArgument(argv[1])) {
    case ArgumentKind::kSelection:
      return std::nullopt;
    case ArgumentKind::kHelp:
      PrintUsage(ConsoleOut(), program);
      return kExitDone;
    case ArgumentKind::kVersion:
      return kExitDone;
    case ArgumentKind::kList:
      ListDriveLines();
      return kExitDone;
    case ArgumentKind::kTrace:  // refused above
      break;
    case ArgumentKind::kUnknownOption:
      PrintError("%s: unknown option\n", argv[1]);
      PrintUsage(ConsoleErr(), program);
      break;
    case ArgumentKind::kDevicePath:
      TellDriveOfPath(argv[1], program);
      break;
  }
  return kExitRefused;
}
