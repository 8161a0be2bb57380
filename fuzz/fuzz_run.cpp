// Whole runs of the tool, dump and update, over the simulated bridge. The fuzz input chooses the
// selection, the typed lines, the bridge's replies and faults, the drive table and "jm_nvram.bin";
// every run is checked against what the tool promises whatever the bridge says.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/run.h"
#include "base/console.h"
#include "fuzz/fuzz_support.h"
#include "sim/platform_sim.h"
#include "sim/sim_bridge.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kBridgeDrive = 1;
constexpr std::size_t kSelectionBuffer = 128;
constexpr std::uint32_t kLongestFirmware = 0x21000;  // past the dump's cap of 0x20000

sim::Fault ReadFault(InputReader& in) {
  sim::Fault f;
  // Half of the kind values mean "no fault", so fault-free runs stay common.
  std::uint8_t kind = in.Byte() % 14;
  f.kind = kind < 7 ? static_cast<sim::FaultKind>(kind) : sim::FaultKind::kNone;
  f.errorCode = in.Byte();
  f.senseKey = in.Byte();
  f.asc = in.Byte();
  f.ascq = in.Byte();
  f.delivered = in.U16() % 0x500;
  f.stallMs = 1;
  return f;
}

// Sector contents: seed 0 is an all-zero sector, so empty dumps occur.
sim::NvramSector SectorOf(std::uint8_t seed) {
  sim::NvramSector s{};
  for (std::size_t i = 0; seed != 0 && i < s.size(); ++i) {
    s[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  return s;
}

struct Setup {
  bool update, noNvramLetter, yesLetter, typed, console, nvramFile, rawSelection;
  std::string selection;  // argv[1], or the first typed line
  Bytes nvramFileBytes;
  Bytes stdinBytes;
  bool anyFault = false;
  std::vector<const SimDrive*> drives;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  EnterScratchFolder("jmreader_fuzz_run_");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  Setup s{};
  std::uint8_t flags = in.Byte();
  s.update = (flags & 0x01) != 0;
  s.noNvramLetter = (flags & 0x02) != 0;
  s.yesLetter = (flags & 0x04) != 0;
  s.typed = (flags & 0x08) != 0;
  s.console = (flags & 0x20) != 0;
  s.nvramFile = (flags & 0x40) != 0;
  s.rawSelection = (flags & 0x80) != 0;
  std::uint8_t driveChoice = in.Byte() % 4;
  std::uint8_t driveFlags = in.Byte();
  std::uint8_t busOverride = in.Byte();

  SimReset();
  SimMachine& m = Sim();
  m.console = s.console;
  // Drive 0 a SATA disk, 1 the bridge, 2 a USB disk without the bridge's commands, 3 absent.
  SimDrive sata;
  sata.number = 0;
  sata.vendor = "ATA     ";
  sata.product = "SIM SATA DISK   ";
  sata.bus = 11;
  SimDrive bridge = SimBridgeDrive(kBridgeDrive);
  if ((driveFlags & 0x04) != 0) {
    bridge.bus = busOverride;
  }
  bridge.workingOpenFails = (driveFlags & 0x01) != 0;
  bridge.queryFails = (driveFlags & 0x02) != 0;
  SimDrive plainUsb;
  plainUsb.number = 2;
  plainUsb.vendor = "USB     ";
  plainUsb.product = "Flash Disk      ";
  plainUsb.bus = 7;
  m.drives = {sata, bridge, plainUsb};

  Bytes identity = in.Take(16);
  std::copy(identity.begin(), identity.end(), m.bridge.identity.begin());
  Bytes descriptor = in.Take(4);
  std::copy(descriptor.begin(), descriptor.end(), m.bridge.descriptor.begin());
  std::uint32_t descriptorUnits = descriptor[1] * 256u + descriptor[2];
  for (int c = 0; c < sim::kCommandCount; ++c) {
    m.bridge.commandFaults[c] = ReadFault(in);
    s.anyFault = s.anyFault || m.bridge.commandFaults[c].kind != sim::FaultKind::kNone;
  }
  for (int n = in.Byte() % 4; n > 0; --n) {
    std::uint32_t unit = in.U16() % 0x300;
    sim::Fault f = ReadFault(in);
    m.bridge.blockFaults[unit] = f;
    s.anyFault = s.anyFault || f.kind != sim::FaultKind::kNone;
  }
  // Firmware as a pattern of any length up to past the dump's cap, or a few raw bytes.
  std::uint8_t firmwareMode = in.Byte();
  if ((firmwareMode & 0x80) != 0) {
    m.bridge.firmware = in.Take(in.U16() % 2048);
  } else {
    // The bridge model's pattern, made once per seed and cut to length: building it byte by
    // byte for every run would dominate the run time.
    static std::vector<Bytes> patterns(0x80);
    Bytes& pattern = patterns[firmwareMode];
    if (pattern.empty()) {
      sim::Bridge maker;
      maker.SetFirmwarePattern(kLongestFirmware, firmwareMode);
      pattern = maker.firmware;
    }
    std::uint32_t length = in.U16() * 4u % kLongestFirmware;
    m.bridge.firmware.assign(pattern.begin(), pattern.begin() + length);
  }
  for (int n = in.Byte() % 3; n > 0; --n) {
    std::uint8_t mode = in.Byte();
    std::uint32_t address = in.U16();
    if ((mode & 1) != 0) {
      address = (descriptorUnits + 12) & 0xFFFF;
    } else if ((mode & 2) != 0) {
      address = std::min<std::uint32_t>(descriptorUnits, 512) + 12;
    }
    m.bridge.nvram[address] = SectorOf(in.Byte());
  }
  if (s.nvramFile) {
    s.nvramFileBytes = in.Take(in.U16() % 1100);
  }
  Bytes keys = in.Take(in.Byte() % 8);
  m.keys.assign(keys.begin(), keys.end());

  if (s.rawSelection) {
    Bytes raw = in.Take(in.Byte() % 16);
    s.selection.assign(raw.begin(), raw.end());
    s.selection = s.selection.c_str();
  } else {
    s.selection = std::to_string(driveChoice);
    if (s.update) {
      s.selection += "u";
    }
    if (s.noNvramLetter) {
      s.selection += "N";
    }
    if (s.yesLetter) {
      s.selection += "y";
    }
  }
  // The first letter of the line after the selection stands at a fixed place, so the fuzzer
  // finds the answers that decide a write quickly.
  std::uint8_t answerLead = in.Byte();
  Bytes rest = in.Rest();
  // An empty raw selection, typed, leaves the whole line to the rest of the input: lines of any
  // length, with CR, Ctrl+Z or no line end at all.
  if (s.typed && !(s.rawSelection && s.selection.empty())) {
    s.stdinBytes.assign(s.selection.begin(), s.selection.end());
    s.stdinBytes.push_back('\n');
  }
  if (answerLead != 0) {
    s.stdinBytes.push_back(answerLead);
  }
  s.stdinBytes.insert(s.stdinBytes.end(), rest.begin(), rest.end());

  // A clean working directory with only the input file the fuzz input asks for.
  for (const fs::directory_entry& e : fs::directory_iterator(fs::current_path())) {
    fs::remove_all(e.path());
  }
  if (s.nvramFile) {
    std::ofstream(fs::path("jm_nvram.bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(s.nvramFileBytes.data()),
               static_cast<std::streamsize>(s.nvramFileBytes.size()));
  }

  // The run, with the sectors the bridge held before it.
  const std::map<std::uint32_t, sim::NvramSector> sectorsBefore = m.bridge.nvram;
  std::FILE* out = std::tmpfile();
  std::FILE* stdinStream = StreamOver(s.stdinBytes);
  SetConsoleStreams(out, stdinStream);
  // The reasons on the error stream are not judged here, and would flood the fuzzer's log.
  static std::FILE* const errors = std::fopen("/dev/null", "w");
  SetConsoleErrorStream(errors);
  const char* argv[] = {"jmreader", s.selection.c_str(), nullptr};
  int status = RunTool(s.typed ? 1 : 2, argv);
  SetConsoleErrorStream(nullptr);
  std::string output = ReadAll(out);
  SetConsoleStreams(nullptr, nullptr);
  std::fclose(out);
  std::fclose(stdinStream);
  if (std::getenv("JMREADER_FUZZ_SHOW") != nullptr) {
    // For reproducing a finding: the run's selection, status and transcript.
    std::fprintf(stderr, "== %s \"%s\" -> %d\n%s", s.typed ? "typed" : "argument",
                 s.selection.c_str(), status, output.c_str());
  }

  // An argument that is no selection ends the run before any drive: help and version with
  // status 0, an unknown option or a device path (it holds a slash) with 2.
  const std::string& arg = s.selection;
  bool informs = arg == "-h" || arg == "--help" || arg == "/?" || arg == "--version";
  bool refused = (arg.size() > 1 && arg[0] == '-' &&
                  (arg[1] == '-' || std::isalpha(static_cast<unsigned char>(arg[1])))) ||
                 arg.find_first_of("/\\") != std::string::npos;
  if (!s.typed && arg == "--list") {
    // The drive list asks the drives what they are, and sends the bridge nothing.
    FUZZ_CHECK(status == 0 && m.requests.empty(), "--list: status %d, %zu requests", status,
               m.requests.size());
    return 0;
  }
  if (!s.typed && (informs || refused)) {
    FUZZ_CHECK(status == (informs ? 0 : 2), "\"%s\": status %d", arg.c_str(), status);
    FUZZ_CHECK(m.opens.empty() && m.requests.empty(), "\"%s\": a drive was touched", arg.c_str());
    return 0;
  }

  // What the tool must have made of that input.
  std::vector<std::string> lines = ReferenceLines(s.stdinBytes);
  std::size_t nextLine = 0;
  std::string selection = s.selection;
  bool selected = true;
  if (s.typed) {
    selected = !lines.empty();
    selection = selected ? lines[nextLine++].c_str() : "";
    selection = selection.substr(0, kSelectionBuffer - 1);
  }
  auto has = [&](char c) { return selection.find(c) != std::string::npos; };
  bool update = has('U') || has('u');
  bool noNvram = has('N') || has('n');
  bool autoYes = has('Y') || has('y');
  std::int32_t drive = 0;
  bool hasDigits = false;
  bool tooLarge = false;
  {
    // The leading integer, modulo 2^32 (a "-" counts so), ASCII digits only.
    std::size_t i = selection.find_first_not_of(" \t\n\v\f\r");
    i = i == std::string::npos ? selection.size() : i;
    bool negative = i < selection.size() && selection[i] == '-';
    if (i < selection.size() && (selection[i] == '-' || selection[i] == '+')) {
      ++i;
    }
    std::uint64_t v = 0;
    for (; i < selection.size() && selection[i] >= '0' && selection[i] <= '9'; ++i) {
      hasDigits = true;
      v = std::min<std::uint64_t>(v * 10u + static_cast<std::uint64_t>(selection[i] - '0'),
                                  0x100000000u);
    }
    tooLarge = v > 0xFFFFFFFFu;
    drive = static_cast<std::int32_t>(negative ? 0u - static_cast<std::uint32_t>(v)
                                               : static_cast<std::uint32_t>(v));
  }
  // An update must begin with its number, and no number may pass 32 bits: an argument that
  // breaks either is refused before any drive is touched.
  bool selectionRefused = (update && !hasDigits) || tooLarge;
  if (selectionRefused && !s.typed) {
    FUZZ_CHECK(status == 2, "\"%s\" refused with status %d", selection.c_str(), status);
    FUZZ_CHECK(m.opens.empty() && m.requests.empty(), "\"%s\": a drive was touched",
               selection.c_str());
    return 0;
  }
  bool answeredYes = nextLine < lines.size() && !lines[nextLine].empty() &&
                     (lines[nextLine][0] == 'Y' || lines[nextLine][0] == 'y');

  int expectedStatus;
  bool opened = false;
  if (s.typed && (!selected || selectionRefused || drive < 0 || drive > 99)) {
    expectedStatus = 23;
  } else if (drive < 0 || drive > 2 || (drive == kBridgeDrive && bridge.workingOpenFails)) {
    expectedStatus = 16;
  } else {
    opened = true;
    // Not done (4) and a write that may have changed the sector (5) are checked against the
    // transcript and the requests below.
    expectedStatus = status == 4 || status == 5 ? status : autoYes ? 1 : 0;
  }
  FUZZ_CHECK(status == expectedStatus, "status %d, expected %d; output:\n%s", status,
             expectedStatus, output.c_str());
  FUZZ_CHECK(m.openHandles == 0, "%d drive handles left open", m.openHandles);

  // The bus type comes from the drive that the whole number names, the one opened.
  std::uint8_t bus = 0;
  if (drive == 0) {
    bus = sata.bus;
  } else if (drive == 2) {
    bus = plainUsb.bus;
  } else if (drive == 1 && !bridge.queryFails) {
    bus = bridge.bus;
  }
  bool toBridge = opened && bus == 7;
  if (!toBridge) {
    FUZZ_CHECK(m.requests.empty(), "%zu requests sent to a drive that was not worked on",
               m.requests.size());
  }

  // Every request, decoded.
  int writes = 0, nvramReads = 0, blocks = 0;
  std::uint32_t writeAddress = 0, readAddress = 0;
  std::string nvramCommands;  // R and W in the order sent
  Bytes written;
  for (const SimRequest& r : m.requests) {
    const std::uint8_t* cdb = r.cdb.data();
    sim::Command command = sim::Bridge::Classify(cdb, static_cast<std::uint8_t>(r.cdb.size()));
    FUZZ_CHECK(command != sim::Command::kUnknown, "an unknown command was sent");
    if (command == sim::Command::kWriteNvram) {
      ++writes;
      nvramCommands += 'W';
      writeAddress = cdb[8] * 256u + cdb[9];
      written = r.data;
    } else if (command == sim::Command::kReadNvram) {
      ++nvramReads;
      nvramCommands += 'R';
      readAddress = cdb[8] * 256u + cdb[9];
    } else if (command == sim::Command::kFirmwareBlock) {
      ++blocks;
    }
  }
  if (toBridge) {
    FUZZ_CHECK(!m.requests.empty(), "the bridge was never asked");
  }
  if (opened) {
    // 0 or 1 exactly when the transcript shows the job done (or declined); 5 only after a write.
    auto shows = [&output](const char* text) { return output.find(text) != std::string::npos; };
    bool done =
        ((shows("Fw saved to ") || shows("Fw+nvram saved to ")) && !shows(".partial.bin")) ||
        shows("Not sure - Exit!") || shows("Nvram written and read back equal") ||
        shows("Nvram already holds jm_nvram.bin");
    FUZZ_CHECK((status <= 1) == done, "status %d for a job %s", status, done ? "done" : "not done");
    FUZZ_CHECK((status == 5) == (writes == 1 && !done), "status %d after %d writes", status,
               writes);
  }

  std::string name, sizeText;
  bool identified =
      LineAfter(output, "Ctrl/Fw version : ", &name) && LineAfter(output, "Fw size: ", &sizeText);
  std::uint32_t units = identified ? static_cast<std::uint32_t>(std::stoul(sizeText)) / 256 : 0;
  FUZZ_CHECK(toBridge || !identified, "identified without a bridge");
  // A failed or short descriptor read shows as a line right before the size line.
  std::size_t sizeAt = output.find("Fw size: ");
  std::size_t before = output.rfind('\n', sizeAt == 0 ? 0 : sizeAt - 2);
  std::size_t lineBefore = before == std::string::npos ? 0 : before + 1;
  bool lengthUnknown = identified && sizeAt != std::string::npos &&
                       (output.compare(lineBefore, 6, "IOCtl:") == 0 ||
                        output.compare(lineBefore, 19, "Fw size short read:") == 0);
  bool addressFits = units + 12 <= 0xFFFF;
  if (!identified) {
    FUZZ_CHECK(writes == 0 && nvramReads == 0 && blocks == 0, "job commands without an identity");
  }

  // The update: one write, only when confirmed, of the file's first 512 bytes, to the address
  // that belongs to a known, non-zero firmware length, never cut to fit; only a file of exactly
  // 512 bytes, and only when it differs from the sector there. The sector there is read before,
  // saved before the write, and read back after it.
  bool fileUsable = s.nvramFile && s.nvramFileBytes.size() == 512;
  auto there = sectorsBefore.find(units + 12);
  sim::NvramSector thereSector = there != sectorsBefore.end() ? there->second : sim::NvramSector{};
  bool unchanged = fileUsable && !s.anyFault &&
                   std::equal(thereSector.begin(), thereSector.end(), s.nvramFileBytes.begin());
  bool mayWrite = update && identified && !lengthUnknown && units > 0 && fileUsable && !unchanged &&
                  (autoYes || answeredYes);
  FUZZ_CHECK(writes <= (mayWrite ? 1 : 0), "%d writes; update %d, answer yes %d, autoYes %d",
             writes, update, answeredYes, autoYes);
  if (mayWrite && addressFits && !s.anyFault) {
    FUZZ_CHECK(writes == 1, "a confirmed update sent no write");
    FUZZ_CHECK(output.find("Nvram written and read back equal\n") != std::string::npos,
               "a clean write not read back equal");
  }
  const std::string beforeName = name + ".nvram-before.bin";
  bool savedBefore =
      output.find("Nvram before write saved to " + beforeName + "\n") != std::string::npos;
  FUZZ_CHECK(savedBefore == (writes == 1), "a write without the sector saved, or the reverse");
  if (writes == 1) {
    FUZZ_CHECK(units + 12 <= 0xFFFF && writeAddress == units + 12,
               "sector written to %x, firmware units %x", writeAddress, units);
    Bytes expected(512, 0);
    std::copy_n(s.nvramFileBytes.begin(), std::min<std::size_t>(512, s.nvramFileBytes.size()),
                expected.begin());
    FUZZ_CHECK(written == expected, "the written sector is not the file's");
  }
  if (update) {
    FUZZ_CHECK(blocks == 0, "the update read firmware");
    FUZZ_CHECK(nvramCommands.empty() || nvramCommands == "R" || nvramCommands == "RW" ||
                   nvramCommands == "RWR",
               "update's NVRAM commands %s", nvramCommands.c_str());
    FUZZ_CHECK(nvramReads == 0 || readAddress == units + 12, "NVRAM read at %x", readAddress);
  }

  // The dump: a file only on the dump path, exactly as long as the firmware length and the
  // options say, and no temporary file left over.
  std::uint32_t dumpUnits = std::min<std::uint32_t>(units, 512);
  if (identified && !update) {
    // A device gone stops the dump: the block that found it gone is the last request.
    std::string goneText;
    const int notRead = LineAfter(output, "Device gone: ", &goneText) ? std::stoi(goneText) : 0;
    FUZZ_CHECK(blocks == static_cast<int>((dumpUnits + 3) / 4) - notRead + (notRead > 0 ? 1 : 0),
               "%d block reads for %u units, %d not read", blocks, dumpUnits, notRead);
    FUZZ_CHECK(nvramReads == (noNvram || !addressFits || notRead > 0 ? 0 : 1), "%d NVRAM reads",
               nvramReads);
    if (nvramReads == 1) {
      FUZZ_CHECK(readAddress == units + 12, "NVRAM read at %x for %u units", readAddress, units);
    }
  }
  std::vector<fs::path> files;
  for (const fs::directory_entry& e : fs::directory_iterator(fs::current_path())) {
    if (e.path().filename() != "jm_nvram.bin" && e.path().filename() != beforeName) {
      files.push_back(e.path().filename());
    }
  }
  FUZZ_CHECK(fs::exists(beforeName) == savedBefore, "nvram-before file and its line disagree");
  if (savedBefore && !s.anyFault) {
    auto it = sectorsBefore.find(units + 12);
    sim::NvramSector sector = it != sectorsBefore.end() ? it->second : sim::NvramSector{};
    FUZZ_CHECK(ReadFile(beforeName) == Bytes(sector.begin(), sector.end()),
               "the saved sector is not the one that was there");
  }
  if (s.nvramFile) {
    FUZZ_CHECK(ReadFile("jm_nvram.bin") == s.nvramFileBytes, "jm_nvram.bin changed");
  }
  // Without faults every read succeeds: the firmware as the bridge holds it, the last block's
  // overhang behind it, then the sector read over that. An image that is all zero is never
  // saved, and any other is.
  std::size_t expectedLength = dumpUnits * 256u + (noNvram ? 0 : 512);
  Bytes image;
  if (identified && !update && !s.anyFault) {
    image.assign(0x20000 + 512, 0);
    std::size_t fetched = (dumpUnits + 3) / 4 * 1024;
    std::copy_n(m.bridge.firmware.begin(), std::min(fetched, m.bridge.firmware.size()),
                image.begin());
    if (!noNvram) {
      auto it = m.bridge.nvram.find(units + 12);
      sim::NvramSector sector = it != m.bridge.nvram.end() ? it->second : sim::NvramSector{};
      std::copy(sector.begin(), sector.end(), image.begin() + dumpUnits * 256);
    }
    auto tested = image.begin() + dumpUnits * 256 + 512;
    bool empty = std::all_of(image.begin(), tested, [](std::uint8_t b) { return b == 0; });
    FUZZ_CHECK(files.empty() == empty, "image %s, %zu files", empty ? "empty" : "not empty",
               files.size());
    image.resize(expectedLength);
  }
  if (files.empty()) {
    return 0;
  }
  FUZZ_CHECK(files.size() == 1 && identified && !update, "unexpected file %s (and %zu more)",
             files[0].c_str(), files.size() - 1);
  // Only a dump in which every read succeeded takes the plain name; a firmware-only one is ".fw".
  bool readFailed = output.find(" read error\n") != std::string::npos || lengthUnknown;
  FUZZ_CHECK(
      files[0] == fs::path(name + (noNvram ? ".fw" : "") + (readFailed ? ".partial.bin" : ".bin")),
      "dump named %s, identity %s", files[0].c_str(), name.c_str());
  Bytes dump = ReadFile(files[0].string());
  FUZZ_CHECK(dump.size() == expectedLength, "dump of %zu bytes, expected %zu", dump.size(),
             expectedLength);
  if (!noNvram) {
    FUZZ_CHECK(std::any_of(dump.begin(), dump.end(), [](std::uint8_t b) { return b != 0; }),
               "an all-zero dump was saved");
  }
  if (!image.empty()) {
    FUZZ_CHECK(dump == image, "dump content differs from the bridge's");
  }
  return 0;
}
