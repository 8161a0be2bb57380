#include "app/run.h"
#include "app/selection.h"
#include "tests/test_support.h"

namespace {

const std::string kBanner =
    "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n"
    "OS: 10.0 build 19045 Simulated\n";
const std::string kVersion = kBanner.substr(0, kBanner.find('\n') + 1);

// The drive is the leading ASCII number, after white space and a sign, a "-" counting in 32 bits;
// the letters count in either case, anywhere; an update must begin with its number, and no number
// may need more than 32 bits. What is neither is named once.
TEST(Selection, NumberAndOptionLetters) {
  // The text; the refusal, or the drive, which of n, y and u were found, and what is ignored.
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"2uy", "2 yu "}, {"y2", "0 y 2"}, {"y2u", "first"}, {"u", "first"}, {"usb1", "first"},
      {"\xEF\xBC\x91u", "first"}, {"1dump", "1 u dmp"}, {"3NYU", "3 nyu "}, {"+7", "7  "},
      {"\t\n\v\f\r -1u", "-1 u "}, {"1 x\x1BX,x", "1  x?X,"}, {"- 5", "0  -5"}, {"", "0  "},
      {"2147483648", "-2147483648  "}, {"-4294967295", "1  "}, {"004294967296", "large"},
      {"4294967297u", "large"}, {"1\x7F" "abcdefghijklmopqrs\xC2\x80\xC0\xA9z", "1  ?abcdefghijklmopqrs\xC2\x80"}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    const Selection s = ParseSelection(text);
    const std::string found = std::to_string(s.drive) + " " + (s.noNvram ? "n" : "") +
                              (s.autoYes ? "y" : "") + (s.updateNvram ? "u " : " ") + s.ignored;
    EXPECT_EQ(s.fault == SelectionFault::kUpdateWithoutNumber ? "first"
              : s.fault == SelectionFault::kNumberTooLarge    ? "large"
                                                              : found,
              std::string(expected))
        << '"' << text << '"';
  }
}

const SimDrive kDisk0 = {0, "ATA     ", "SIM SATA DISK   ", 11, 0, 0, ""};
using RunTest = SimTest;

// Whole runs up to the drive test: output byte for byte, exit status, the error stream, and which
// opens were made after the listing (number, exclusive).
TEST_F(RunTest, SelectionAndEarlyStops) {
  using Opens = std::vector<std::pair<std::int32_t, bool>>;
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string output;  // after the banner
    int status;
    Opens opens;
    std::string errors = "";
  };
  const std::string list = " 0: ATA     SIM SATA DISK   \nPlease select drive number:";
  const std::string bad = list + "Error: bad disk number\n";
  const std::string notUsb = "Drive      : 0(NVME)\nNot usb device!\n";
  const std::string usbReason =
      "jmreader: \\\\.\\PhysicalDrive0 is no USB drive: only a USB enclosure's bridge takes these "
      "commands (--list shows each drive's bus)\n";
  const std::string keyWait = "\nPress any key to exit\n";
  const std::string noDisk = "(NVME)\nError open disk\n";
  const Opens drive0 = {{0, false}, {0, true}};
  const std::string ignored = "jmreader: only the first argument is used; ignored: \"7\" \"u\"\n";
  auto absent = [](const char* n) {
    return "jmreader: \\\\.\\PhysicalDrive" + std::string(n) +
           ": The system cannot find the file specified (no such drive)\n";
  };
  auto range = [](const char* typed) {
    return "jmreader: " + std::string(typed) +
           ": expected a drive number 0 to 99, one of those listed\n";
  };
  auto letters = [&](const std::string& typed, const char* what) {
    return "jmreader: " + typed + ": only N, U and Y count; ignored: " + what + "\n" + usbReason;
  };
  const std::string first = "jmreader: y0u: an update needs the drive number first, e.g. 2uy\n";
  const std::string traceFirst = "before the selection, e.g. jmreader --trace 1\n";
  const std::string traceThen =
      "only a selection or nothing goes after --trace, e.g. jmreader "
      "--trace 1\n";
  const Case cases[] = {
      {{}, "100\n", bad, 23, {}, range("100")},
      {{}, "-1\n", bad, 23, {}, range("-1")},
      {{}, "", bad, 23, {}, "jmreader: input ended before a drive number was typed\n"},
      {{}, "99\n", list + "Drive      : 99" + noDisk, 16, {{99, false}, {99, true}}, absent("99")},
      {{}, "0\r\n", list + notUsb + keyWait, 4, drive0, usbReason},
      // The bus is asked of the drive the working open takes, not of the number's low 8 bits.
      {{"256"}, "", "Drive      : 256" + noDisk, 16, {{256, false}, {256, true}}, absent("256")},
      // A "-" before a digit is a sign, as ever.
      {{"-1"}, "", "Drive      : 4294967295" + noDisk, 16, {{-1, false}, {-1, true}}, absent("-1")},
      {{"abc", "7", "u"}, "", notUsb + keyWait, 4, drive0, ignored + letters("abc", "abc")},
      {{}, "0 q\n", list + notUsb + keyWait, 4, drive0, letters("0 q", "q")},
      // Refused, never read as drive 0 or as a number wrapped around: typed, or as the argument
      // (status 2, before the OS line).
      {{}, "y0u\n", bad, 23, {}, first},
      {{"y0u"}, "", "", 2, {}, first},
      {{"4294967296u"}, "", "", 2, {}, "jmreader: 4294967296u: the drive number is too large\n"},
      // --trace first, before a selection or none; anywhere else it is refused.
      {{"--trace", "0y"}, "", notUsb, 4, drive0, usbReason},
      {{"--trace", "--list"}, "", "", 2, {}, "jmreader: --trace --list: " + traceThen},
      {{"0y", "--trace"}, "", "", 2, {}, "jmreader: --trace goes first, " + traceFirst},
  };
  for (const Case& c : cases) {
    SimReset();
    Sim().drives = {kDisk0};
    RunResult r = RunWith(c.args, c.input);
    SCOPED_TRACE(c.args.empty() ? "typed " + c.input : c.args[0]);
    EXPECT_EQ(r.output, (c.status == 2 ? kVersion : kBanner) + c.output);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.errors, c.errors);
    Opens opens;
    for (const SimOpen& o : Sim().opens) {
      opens.emplace_back(o.number, o.exclusive);
    }
    if (c.args.empty()) {
      ASSERT_GE(opens.size(), 99u);  // the listing tries 0 to 98, shared
      EXPECT_EQ(opens[98], std::make_pair(98, false));
      opens.erase(opens.begin(), opens.begin() + 99);
    }
    EXPECT_EQ(opens, c.opens);
    EXPECT_EQ(Sim().openHandles, 0);
  }
}

// --list, and the listing before the question: a line for each drive that answers, without
// control characters (the listing shows printable ASCII only), the reason for one that fails, no
// bridge command; and a machine without disks, listed and asked.
TEST_F(RunTest, ListOptionAndNoDisk) {
  const SimDrive odd = {7, " Odd\x01", "Name  ", 200, 0x0BDA, 0x9210, "A B"};
  SimDrive silent = {5, "X", "Y", 7, 0, 0, ""};
  silent.queryFails = true;
  const std::vector<SimDrive> drives = {
      kDisk0, SimBridgeDrive(1), SimDrive{3, "", "No\rVendor\x1B[2J\x7F\xC3\xA9", 11, 0, 0, ""},
      silent, odd};
  const std::string silentReason = "jmreader: \\\\.\\PhysicalDrive5: Incorrect function\n";
  const std::string typed100 =
      "jmreader: 100: expected a drive number 0 to 99, one of those listed\n";
  const std::string none = kBanner + "Please select drive number:Error: bad disk number\n";
  const std::string listed =
      " 0  \\\\.\\PhysicalDrive0  sata  -          -  ATA SIM SATA DISK\n"
      " 1  \\\\.\\PhysicalDrive1  usb   152d:0578  0123456789AB  JMicron Generic\n"
      " 3  \\\\.\\PhysicalDrive3  sata  -          -  No?Vendor?[2J?\xC3\xA9\n"
      " 7  \\\\.\\PhysicalDrive7  bus200  0bda:9210  A_B  Odd? Name\n";
  const std::string asked = kBanner +
                            " 0: ATA     SIM SATA DISK   \n 1: JMicron Generic         \n" +
                            " 3: No?Vendor?[2J???\n 7:  Odd?Name  \n" + none.substr(kBanner.size());
  using Machine = std::vector<SimDrive>;
  const std::tuple<Machine, std::vector<std::string>, std::string, int, std::string> cases[] = {
      {drives, {"--list"}, listed, 0, silentReason},
      {drives, {}, asked, 23, silentReason + typed100},
      {{}, {"--list"}, "No disk found\n", 0, ""},
      {{}, {}, none, 23, "jmreader: no disk found\n" + typed100},
  };
  for (const auto& [machine, args, output, status, errors] : cases) {
    SimReset();
    Sim().drives = machine;
    RunResult r = RunWith(args, "100\n");
    EXPECT_EQ(std::tuple(r.output, r.status, r.errors), std::tuple(output, status, errors));
    EXPECT_TRUE(Sim().requests.empty());
  }
}

// Arguments that are no selection open nothing: the usage or the version (status 0), or a refusal
// on the error stream (status 2). Standard output has the version line, and the usage for help.
TEST_F(RunTest, ArgumentsThatAreNoSelection) {
  Sim().drives.push_back(SimBridgeDrive(1));
  const std::string usage = "Usage: jmreader [--trace] [selection]\n";
  const std::string list =
      " (give a drive number: jmreader without an argument lists the drives)\n";
  struct Case {
    const char* arg;
    std::string errors;  // all of the error stream; the usage follows an unknown option
    int status;
  };
  const Case cases[] = {
      {"-h", "", 0},
      {"--help", "", 0},
      {"/?", "", 0},
      {"--version", "", 0},
      {"--dry-run", "jmreader: --dry-run: unknown option\n", 2},
      {"-Z", "jmreader: -Z: unknown option\n", 2},
      {"-z", "jmreader: -z: unknown option\n", 2},
      {"\\\\.\\PhysicalDrive01",
       "jmreader: \\\\.\\PhysicalDrive01 is \\\\.\\PhysicalDrive1, drive 1: run jmreader 1 (or 1u "
       "to update)\n",
       2},
      {"\\\\.\\PhysicalDrive1",
       "jmreader: \\\\.\\PhysicalDrive1 is drive 1: run jmreader 1 (or 1u to update)\n", 2},
      {"\\\\.\\PhysicalDrive2",
       "jmreader: \\\\.\\PhysicalDrive2: The system cannot find the file specified" + list, 2},
      {"/dev/disk/by-id/usb-JMicron_Generic-0:0-uy",
       "jmreader: /dev/disk/by-id/usb-JMicron_Generic-0:0-uy: not a \\\\.\\PhysicalDriveN drive" +
           list,
       2},
  };
  for (const Case& c : cases) {
    Sim().opens.clear();
    RunResult r = RunWith({c.arg});
    SCOPED_TRACE(c.arg);
    const bool help = c.status == 0 && std::string(c.arg) != "--version";
    const bool unknown = c.errors.find("unknown option") != std::string::npos;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(help ? r.output.substr(0, kVersion.size() + usage.size()) : r.output,
              help ? kVersion + usage : kVersion);
    EXPECT_EQ(unknown ? r.errors.substr(0, c.errors.size() + usage.size()) : r.errors,
              unknown ? c.errors + usage : c.errors);
    EXPECT_TRUE(Sim().opens.empty());
  }
}

}  // namespace
