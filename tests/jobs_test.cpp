#include <cstring>

#include "app/jobs.h"
#include "tests/test_support.h"

namespace {

const std::string kStart =
    "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n"
    "OS: 10.0 build 19045 Simulated\n"
    "Drive      : 1(USB)\n";
const std::string kKeyWait = "\nPress any key to exit\n";
const std::string kName = "jmABC_01_02_A0_FF";
const std::string kRejected = "IOCtl: status 0x2, sense 5/24/00!\n";
const sim::Fault kCheck{sim::FaultKind::kCheckCondition, 0, 5, 0x24, 0};

std::string Identified(unsigned firmwareBytes) {
  return kStart + "Ctrl/Fw version : " + kName + "\nFw size: " + std::to_string(firmwareBytes) +
         "\n";
}

Bytes Firmware(std::size_t from, std::size_t to) {
  const auto& fw = Sim().bridge.firmware;
  return Bytes(fw.begin() + static_cast<long>(from), fw.begin() + static_cast<long>(to));
}

Bytes Sector(std::uint32_t address) {
  const auto& s = Sim().bridge.nvram[address];
  return Bytes(s.begin(), s.end());
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The commands the run sent, one letter each: I identify, D descriptor, B block, R/W NVRAM.
std::string Commands() {
  std::string s;
  for (const SimRequest& r : Sim().requests) {
    Bytes cdb = RequestCdb(r);
    s += "IDBRW?"[static_cast<int>(
        sim::Bridge::Classify(cdb.data(), static_cast<std::uint8_t>(cdb.size())))];
  }
  return s;
}

void PutSector(std::uint32_t address, std::uint8_t seed) {
  Bytes b = Pattern(512, seed);
  std::copy(b.begin(), b.end(), Sim().bridge.nvram[address].begin());
}

class DumpTest : public SimTest {};

TEST_F(DumpTest, FirmwareLengths) {
  struct Case {
    std::uint16_t units;
    const char* selection;
    std::string lines;          // after the identification
    std::string commands;       // sent after identify and descriptor
    std::size_t firmwareBytes;  // in the file
    bool nvram;                 // the sector follows in the file
  };
  const std::string saved = "Fw+nvram saved to " + kName + ".bin\n";
  const Case cases[] = {
      {0, "1", saved, "R", 0, true},
      {0, "1n", "Fw empty!\n", "", 0, false},
      {5, "1", saved, "BBR", 1280, true},
      {5, "1N", "Fw saved to " + kName + ".bin\n", "BB", 1280, false},
      {0x200, "1", saved, std::string(128, 'B') + "R", 0x20000, true},
      {0x300, "1", "Fw len too long, trunkated to 512\n" + saved, std::string(128, 'B') + "R",
       0x20000, true},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(c.units);
    std::uint32_t address = c.units + 12u;  // behind the whole firmware, cap or no cap
    PutSector(address, 0x33);
    RunResult r = RunWith({c.selection});
    std::string label = std::to_string(c.units) + c.selection;
    EXPECT_EQ(r.output, Identified(c.units * 256u) + c.lines + kKeyWait) << label;
    EXPECT_EQ(Commands(), "ID" + c.commands) << label;
    std::filesystem::path file = kName + ".bin";
    if (c.lines.find("saved") == std::string::npos) {
      EXPECT_FALSE(std::filesystem::exists(file)) << label;
      continue;
    }
    Bytes expected = Firmware(0, c.firmwareBytes);
    if (c.nvram) {
      expected = Cat(expected, Sector(address));
      Bytes cdb = RequestCdb(Sim().requests.back());
      EXPECT_EQ(cdb[8] * 256 + cdb[9], static_cast<int>(address)) << label;
    }
    EXPECT_EQ(ReadFileBytes(file), expected) << label;
    std::filesystem::remove(file);
  }
}

TEST_F(DumpTest, BlocksAreReadInKibibytesAtUnitOffsets) {
  AddBridge(9);  // blocks 0, 4 and 8; the last runs 768 bytes past the firmware
  RunWith({"1n"});
  std::vector<std::string> cdbs;
  for (std::size_t i = 2; i < Sim().requests.size(); ++i) {
    cdbs.push_back(Hex(RequestCdb(Sim().requests[i])));
  }
  EXPECT_EQ(cdbs, (std::vector<std::string>{"3C 01 01 00 00 00 00 04 00 00",
                                            "3C 01 01 00 04 00 00 04 00 00",
                                            "3C 01 01 00 08 00 00 04 00 00"}));
  EXPECT_EQ(ReadFileBytes(kName + ".bin"), Firmware(0, 9 * 256));
}

// Read failures: each prints its lines and the run goes on; what was read is saved under a name of
// its own, so an earlier complete dump is never replaced by an incomplete one.
TEST_F(DumpTest, ReadFailures) {
  const std::string partial = "Fw+nvram saved to " + kName + ".partial.bin\n";
  const std::string saved = "Fw+nvram saved to " + kName + ".bin\n";
  const sim::Fault ioctl79{sim::FaultKind::kPlatformError, 0x79};
  auto shortBy = [](std::uint32_t delivered) {
    return sim::Fault{sim::FaultKind::kShortTransfer, 0, 0, 0, 0, delivered};
  };
  struct Case {
    const char* what;
    std::uint16_t units;
    sim::Command command;
    int block;  // -1: the fault hits every such command
    sim::Fault fault;
    std::string lines;  // after "Fw size"
    Bytes (*file)();    // what is saved; the sector at units + 12 has seed 0x44
  };
  const Case cases[] = {
      {"every block rejected", 8, sim::Command::kFirmwareBlock, -1, kCheck,
       kRejected + "Fw block #0 read error\n" + kRejected + "Fw block #4 read error\n" + partial,
       [] { return Cat(Bytes(2048, 0), Sector(20)); }},
      {"short block", 8, sim::Command::kFirmwareBlock, 4, shortBy(100),
       "Fw block #4 short read: 100 of 1024 bytes\nFw block #4 read error\n" + partial,
       [] { return Cat(Cat(Firmware(0, 1124), Bytes(924, 0)), Sector(20)); }},
      {"last block short past the firmware's end only", 5, sim::Command::kFirmwareBlock, 4,
       shortBy(256), saved, [] { return Cat(Firmware(0, 1280), Sector(17)); }},
      {"last block short inside the firmware", 5, sim::Command::kFirmwareBlock, 4, shortBy(255),
       "Fw block #4 short read: 255 of 256 bytes\nFw block #4 read error\n" + partial,
       [] { return Cat(Cat(Firmware(0, 1279), Bytes(1, 0)), Sector(17)); }},
      // The sector's place keeps the overhang of the last block.
      {"sector not read", 5, sim::Command::kReadNvram, -1, ioctl79,
       "IOCtl: failed 0x79!\nFw nvram read error\n" + partial, [] { return Firmware(0, 1792); }},
      {"short sector", 4, sim::Command::kReadNvram, -1, shortBy(500),
       "Nvram short read: 500 of 512 bytes!\nFw nvram read error\n" + partial,
       [] { return Cat(Firmware(0, 1024), Bytes(512, 0)); }},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(c.units);
    PutSector(c.units + 12u, 0x44);
    const Bytes earlier = Pattern(900, 7);
    WriteFileBytes(kName + ".bin", earlier);
    if (c.block < 0) {
      Sim().bridge.commandFaults[static_cast<int>(c.command)] = c.fault;
    } else {
      Sim().bridge.blockFaults[static_cast<std::uint32_t>(c.block)] = c.fault;
    }
    RunResult r = RunWith({"1"});
    EXPECT_EQ(r.output, Identified(c.units * 256u) + c.lines + kKeyWait) << c.what;
    bool complete = c.lines == saved;
    EXPECT_EQ(ReadFileBytes(kName + (complete ? ".bin" : ".partial.bin")), c.file()) << c.what;
    if (!complete) {
      EXPECT_EQ(ReadFileBytes(kName + ".bin"), earlier) << c.what;
    }
    std::filesystem::remove(kName + ".partial.bin");
  }
}

TEST_F(DumpTest, NothingReadOrNoLengthKnown) {
  // A bridge that answers everything with zeros leaves nothing to save.
  AddBridge(4);
  Sim().bridge.firmware.assign(4096, 0);
  RunResult r = RunWith({"1"});
  EXPECT_EQ(r.output, Identified(1024) + "Fw empty!\n" + kKeyWait);
  EXPECT_FALSE(std::filesystem::exists(kName + ".bin"));

  // A failed descriptor read leaves no firmware: the sector at 12 is all that is saved.
  SimReset();
  AddBridge(0x100);
  PutSector(12, 0x55);
  Sim().bridge.commandFaults[static_cast<int>(sim::Command::kDescriptor)] = {
      sim::FaultKind::kPlatformError, 0x1F};
  r = RunWith({"1"});
  EXPECT_EQ(r.output, kStart + "Ctrl/Fw version : " + kName +
                          "\nIOCtl: failed 0x1f!\nFw size: 0\nFw+nvram saved to " + kName +
                          ".partial.bin\n" + kKeyWait);
  EXPECT_EQ(ReadFileBytes(kName + ".partial.bin"), Sector(12));
  EXPECT_FALSE(std::filesystem::exists(kName + ".bin"));
}

TEST_F(DumpTest, IdentityNames) {
  struct Case {
    std::uint8_t bytes[8];  // identity bytes 8 to 15
    std::string lines;
  };
  const Case cases[] = {
      {{'A', 'B', 'C', 0, 0, 0, 0, 0},
       "Used firmware from ROM\nCtrl/Fw version : jmABC_00_00_00_00\n"},
      {{'/', 0x1B, 'a', 0, 1, 2, 3, 4}, "Ctrl/Fw version : jm__a_01_02_03_04\n"},
      {{'S', 0, 'M', 0, 1, 2, 3, 4}, "Ctrl/Fw version : jmS\n"},
      {{0, 'B', 'C', 0, 1, 2, 3, 4}, "Ctrl/Fw version : jm\n"},
      {{'|', 0xFF, '*', 0, 0xAB, 0xCD, 0xEF, 0x10}, "Ctrl/Fw version : jm____AB_CD_EF_10\n"},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(0);
    std::memcpy(Sim().bridge.identity.data() + 8, c.bytes, 8);
    const std::string& lines = c.lines;
    PutSector(12, 1);
    RunResult r = RunWith({"1"});
    std::string name = lines.substr(lines.find(": ") + 2);
    name.pop_back();
    EXPECT_EQ(r.output,
              kStart + lines + "Fw size: 0\nFw+nvram saved to " + name + ".bin\n" + kKeyWait);
    EXPECT_EQ(ReadFileBytes(name + ".bin"), Sector(12)) << name;
  }
}

TEST_F(DumpTest, FailedIdentificationEndsTheRun) {
  AddBridge(0x100);
  Sim().bridge.identity.fill(0);
  RunResult r = RunWith({"1y"});
  EXPECT_EQ(r.output, kStart + "Get fw version error!\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Commands(), "I");
}

TEST_F(DumpTest, FailedSaveIsReported) {
  AddBridge(4);
  PutSector(16, 9);
  std::filesystem::create_directory(kName + ".bin");  // cannot be replaced
  RunResult r = RunWith({"1"});
  EXPECT_EQ(r.output,
            Identified(1024) + kName + ".bin: Write File Error\nFw save error\n" + kKeyWait);
}

class UpdateTest : public SimTest {
 protected:
  const std::string kPrompt =
      "Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel ";
};

TEST_F(UpdateTest, ConfirmationAndFileSizes) {
  struct Case {
    std::size_t fileSize;
    std::string input;
    bool written;
  };
  const Case cases[] = {
      {100, "y\n", true},  {600, "Y\n", true},   {512, "yes please\n", true},
      {512, "N\n", false}, {512, "\n", false},   {512, "ok\n", false},
      {512, "", false},    {512, " y\n", false}, {512, std::string(300, 'y') + "\n", true},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(0x100);
    Bytes file = Pattern(c.fileSize, 0x21);
    WriteFileBytes("jm_nvram.bin", file);
    RunResult r = RunWith({"1u"}, c.input);
    std::string label = std::to_string(c.fileSize) + " " + c.input.substr(0, 12);
    EXPECT_EQ(r.output, Identified(0x10000) + "Nvram ofs: 10c\n" + kPrompt +
                            (c.written ? "" : "Not sure - Exit!\n") + kKeyWait)
        << label;
    EXPECT_EQ(r.status, 0);
    if (!c.written) {
      EXPECT_EQ(Commands(), "ID") << label;
      EXPECT_TRUE(Sim().bridge.nvram.empty()) << label;
      continue;
    }
    ASSERT_EQ(Commands(), "IDW") << label;
    Bytes expected(512, 0);
    std::copy(file.begin(),
              file.begin() + static_cast<long>(std::min<std::size_t>(c.fileSize, 512)),
              expected.begin());
    EXPECT_EQ(RequestData(Sim().requests.back()), expected) << label;
    EXPECT_EQ(Sector(0x10C), expected) << label;
  }
}

TEST_F(UpdateTest, RefusalsAndAddresses) {
  struct Case {
    const char* what;
    std::uint16_t units;
    int fileSize;  // -1: no file
    sim::Fault writeFault;
    std::string lines;  // after the identification
    std::string commands;
    const char* selection = "1uy";
  };
  const Case cases[] = {
      {"auto yes", 0x100, 512, {}, "Nvram ofs: 10c\n", "IDW"},
      {"address 0x100", 0xF4, 512, {}, "Nvram ofs: 100\n", "IDW"},
      {"empty file", 0x100, 0, {}, "jm_nvram.bin: Read File Error\nNvram file read error\n", "ID"},
      {"no file", 0x100, -1, {}, "jm_nvram.bin: Open File Error\nNvram file read error\n", "ID"},
      // Refused before anybody is asked.
      {"address too high",
       0xFFF4,
       512,
       {},
       "Nvram ofs: 10000\nNvram ofs 10000 out of range!\nFw nvram update error\n",
       "ID",
       "1u"},
      {"short write", 0x100, 512, sim::Fault{sim::FaultKind::kShortTransfer, 0, 0, 0, 0, 256},
       "Nvram ofs: 10c\nNvram short write: 256 of 512 bytes!\nFw nvram update error\n", "IDW"},
      {"write rejected", 0x100, 512, kCheck,
       "Nvram ofs: 10c\n" + kRejected + "Fw nvram update error\n", "IDW"},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(c.units);
    Sim().bridge.commandFaults[static_cast<int>(sim::Command::kWriteNvram)] = c.writeFault;
    std::filesystem::remove("jm_nvram.bin");
    if (c.fileSize >= 0) {
      WriteFileBytes("jm_nvram.bin", Pattern(static_cast<std::size_t>(c.fileSize), 5));
    }
    RunResult r = RunWith({c.selection});
    bool autoYes = std::string(c.selection) == "1uy";
    EXPECT_EQ(r.output, Identified(c.units * 256u) + c.lines + (autoYes ? "" : kKeyWait)) << c.what;
    EXPECT_EQ(r.status, autoYes ? 1 : 0) << c.what;
    EXPECT_EQ(Commands(), c.commands) << c.what;
    if (c.commands == "IDW") {
      Bytes cdb = RequestCdb(Sim().requests.back());
      EXPECT_EQ(cdb[8] * 256 + cdb[9], c.units + 12) << c.what;
    }
    bool stored = !Sim().bridge.nvram.empty();
    EXPECT_EQ(stored, c.commands == "IDW" && c.writeFault.kind != sim::FaultKind::kCheckCondition)
        << c.what;
  }
}

TEST_F(UpdateTest, UnknownFirmwareLengthRefusesTheWrite) {
  AddBridge(0x100);
  WriteFileBytes("jm_nvram.bin", Pattern(512, 5));
  Sim().bridge.commandFaults[static_cast<int>(sim::Command::kDescriptor)] = kCheck;
  RunResult r = RunWith({"1uy"});
  EXPECT_EQ(r.output, kStart + "Ctrl/Fw version : " + kName + "\n" + kRejected +
                          "Fw size: 0\nFw size unknown, no nvram ofs!\nFw nvram update error\n");
  EXPECT_EQ(Commands(), "ID");
}

TEST_F(UpdateTest, DumpWordSelectsTheUpdate) {
  AddBridge(0x100);
  RunResult r = RunWith({"1dump"});
  EXPECT_EQ(r.output, Identified(0x10000) +
                          "jm_nvram.bin: Open File Error\nNvram file read error\n" + kKeyWait);
}

}  // namespace
