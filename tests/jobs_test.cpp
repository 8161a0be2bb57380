#include <array>
#include <cstring>
#include <regex>
#include <sstream>

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

Bytes Sector(std::uint32_t address) {
  const auto& s = Sim().bridge.nvram[address];
  return Bytes(s.begin(), s.end());
}

// The commands the run sent, one letter each: I identify, D descriptor, B block, R/W NVRAM.
std::string Commands() {
  std::string s;
  for (const SimRequest& r : Sim().requests) {
    s += "IDBRW?"[static_cast<int>(
        sim::Bridge::Classify(r.cdb.data(), static_cast<std::uint8_t>(r.cdb.size())))];
  }
  return s;
}

// Every failed command, short transfer, empty dump and file has its reason on the error stream,
// after its "IOCtl:", "short ...", "Fw empty" or "File Error" line; the error stream's other lines,
// the files' paths aside, are `own`.
void ExpectReasons(const RunResult& r, const std::string& own = "") {
  auto count = [](const std::string& text, const std::regex& what) {
    return std::distance(std::sregex_iterator(text.begin(), text.end(), what), {});
  };
  const std::regex device("jmreader: \\\\\\\\\\.\\\\PhysicalDrive1: .*\n");
  const std::regex file("jmreader: \\S*\\.bin: .*\n");
  const std::regex path("jmreader: (read|saved|kept|not read:|not saved:) .*\n");
  EXPECT_EQ(count(r.errors, device),
            count(r.output, std::regex("IOCtl: |short (read|write)|Fw empty")))
      << r.errors;
  EXPECT_EQ(count(r.errors, file), count(r.output, std::regex(" File Error"))) << r.errors;
  const std::string rest = std::regex_replace(r.errors, path, "");
  EXPECT_EQ(std::regex_replace(std::regex_replace(rest, device, ""), file, ""), own);
}

// Exit statuses: done (and declined), done with Y, not done, a write that may have changed the
// sector.
constexpr int done = 0, declined = 0, doneY = 1, notDone = 4, unverified = 5;

void PutSector(std::uint32_t address, std::uint8_t seed) {
  Bytes b = Pattern(512, seed);
  std::copy(b.begin(), b.end(), Sim().bridge.nvram[address].begin());
}

class DumpTest : public SimTest {};

std::string Size(unsigned bytes) {
  return "Fw size: " + std::to_string(bytes) + "\n";
}

// What a dump prints, sends and saves. Whatever could not be read is saved under a name of its
// own, so an earlier complete dump is never replaced by an incomplete one.
// An image from pieces: "f<from>-<to>" firmware bytes, "z<n>" zeros, "s<address>" a sector.
Bytes Image(const std::string& pieces) {
  Bytes image;
  std::istringstream in(pieces);
  std::string piece;
  while (in >> piece) {
    unsigned long a = std::stoul(piece.substr(1), nullptr, 0);
    unsigned long b =
        piece[0] == 'f' ? std::stoul(piece.substr(piece.find('-') + 1), nullptr, 0) : 0;
    const auto fw = Sim().bridge.firmware.begin();
    const Bytes part = piece[0] == 'f' ? Bytes(fw + static_cast<long>(a), fw + static_cast<long>(b))
                       : piece[0] == 'z' ? Bytes(a, 0)
                                         : Sector(static_cast<std::uint32_t>(a));
    image.insert(image.end(), part.begin(), part.end());
  }
  return image;
}

TEST_F(DumpTest, LengthsAndReadFailures) {
  using C = sim::Command;
  const C none = C::kUnknown, block = C::kFirmwareBlock, nvram = C::kReadNvram;
  const std::string saved = "Fw+nvram saved to " + kName + ".bin\n";
  const std::string partial = "Fw+nvram saved to " + kName + ".partial.bin\n";
  const std::string all = std::string(128, 'B') + "R";
  const std::string cut = Size(0x30000) + "Fw len too long, trunkated to 512\n";
  const std::string error4 = "Fw block #4 read error\n";
  const std::string blocked = kName + ".bin: Rename File Error, new file kept as " + kName + ".bin";
  const std::string nvramError = "Fw nvram read error\n";
  auto shortBy = [](std::uint32_t n) {
    return sim::Fault{sim::FaultKind::kShortTransfer, 0, 0, 0, 0, n};
  };
  const sim::Fault ioctl79 = {sim::FaultKind::kPlatformError, 0x79};
  const sim::Fault ioctl1f = {sim::FaultKind::kPlatformError, 0x1F}, clean = {};
  struct Case {
    std::uint16_t units;
    const char* selection;
    C faultOn;
    int block;  // the fault hits this firmware block only, or every command of its kind (-1)
    sim::Fault fault;
    std::string lines;     // after the version line
    std::string commands;  // after identify and descriptor
    std::string file;      // pieces of the file saved (see Image); "": none
    int status;            // done only for a complete dump saved
  };
  const Case cases[] = {
      {0, "1", none, -1, clean, Size(0) + saved, "R", "s12", done},
      // A firmware-only dump has a name of its own: the whole dump's file stays.
      {5, "1N", none, -1, clean, Size(1280) + "Fw saved to " + kName + ".fw.bin\n", "BB", "f0-1280",
       done},
      {0x200, "1", none, -1, clean, Size(0x20000) + saved, all, "f0-0x20000 s0x20C", done},
      // The sector lies behind the whole firmware, where the update writes it.
      {0x300, "1", none, -1, clean, cut + saved, all, "f0-0x20000 s0x30C", done},
      {8, "1", block, -1, kCheck,
       Size(2048) + kRejected + "Fw block #0 read error\n" + kRejected + error4 + partial, "BBR",
       "z2048 s20", notDone},
      {8, "1", block, 4, shortBy(100),
       Size(2048) + "Fw block #4 short read: 100 of 1024 bytes\n" + error4 + partial, "BBR",
       "f0-1124 z924 s20", notDone},
      // Bytes asked for past the firmware's end need not come.
      {5, "1", block, 4, shortBy(256), Size(1280) + saved, "BBR", "f0-1280 s17", done},
      {5, "1n", block, 4, shortBy(255),
       Size(1280) + "Fw block #4 short read: 255 of 256 bytes\n" + error4 + "Fw saved to " + kName +
           ".fw.partial.bin\n",
       "BB", "f0-1279 z1", notDone},
      // The sector's place keeps the overhang of the last block.
      {5, "1", nvram, -1, ioctl79, Size(1280) + "IOCtl: failed 0x79!\n" + nvramError + partial,
       "BBR", "f0-1792", notDone},
      {4, "1", nvram, -1, shortBy(500),
       Size(1024) + "Nvram short read: 500 of 512 bytes!\n" + nvramError + partial, "BR",
       "f0-1024 z512", notDone},
      // Without the firmware length nothing of the firmware was read.
      {0x100, "1", C::kDescriptor, -1, ioctl1f, "IOCtl: failed 0x1f!\n" + Size(0) + partial, "R",
       "s12", notDone},
      // A dump that cannot be saved under its name (a folder is there) is no dump.
      {4, "1", none, -1, clean, Size(1024) + blocked + ".*.tmp\nFw save error\n", "BR", "",
       notDone},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(c.units);
    PutSector(c.units + 12u, 0x44);
    PutSector(12, 0x44);
    if (c.block >= 0) {
      Sim().bridge.blockFaults[static_cast<std::uint32_t>(c.block)] = c.fault;
    } else if (c.faultOn != none) {
      Sim().bridge.commandFaults[static_cast<int>(c.faultOn)] = c.fault;
    }
    if (c.lines.find(blocked) != std::string::npos) {
      std::filesystem::create_directory(kName + ".bin");
    }
    RunResult r = RunWith({c.selection});
    SCOPED_TRACE(std::to_string(c.units) + c.selection + " " + c.lines.substr(0, 40));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(Masked(r.output), kStart + "Ctrl/Fw version : " + kName + "\n" + c.lines + kKeyWait);
    ExpectReasons(r);
    EXPECT_EQ(Commands(), "ID" + c.commands);
    if (!c.file.empty()) {
      const std::size_t at = c.lines.find(" saved to ") + 10;
      const std::string savedAs = c.lines.substr(at, c.lines.find('\n', at) - at);
      EXPECT_EQ(ReadFileBytes(savedAs), Image(c.file));
      std::filesystem::remove(savedAs);
    }
  }
}

// Identity bytes 8 to 15 name the firmware; unsafe bytes become '_', a zero ends the name.
TEST(ImageName, FromTheIdentity) {
  const std::pair<std::array<std::uint8_t, 8>, const char*> cases[] = {
      {{'A', 'B', 'C', 0, 0, 0, 0, 0}, "jmABC_00_00_00_00"},
      {{'S', 0, 'M', 0, 1, 2, 3, 4}, "jmS"},
      {{'/', 0x1B, '*', 0, 0xAB, 0xCD, 0xEF, 0x10}, "jm____AB_CD_EF_10"},
      {{' ', '~', 0x7F, 0, 1, 2, 3, 4}, "jm ~__01_02_03_04"}};
  for (const auto& [bytes, expected] : cases) {
    std::uint8_t identity[16] = {0x11};
    std::copy(bytes.begin(), bytes.end(), identity + 8);
    char name[32];
    FormatImageName(identity, name, sizeof name);
    EXPECT_STREQ(name, expected);
  }
}

// A bridge running from ROM (version bytes 12 to 15 all zero) says so before its version; the
// dump is named after it. Any one of those bytes set means firmware from flash.
TEST_F(DumpTest, RomFirmware) {
  for (int set = 11; set < 16; ++set) {
    SimReset();
    AddBridge(0);
    std::fill(Sim().bridge.identity.begin() + 12, Sim().bridge.identity.end(), 0);
    Sim().bridge.identity[static_cast<std::size_t>(set)] = set == 11 ? 0x42 : 0x10;
    std::string name = "jmABC_00_00_00_00";
    name.replace(static_cast<std::size_t>(set - 12) * 3 + 6, set > 11 ? 2 : 0,
                 set > 11 ? "10" : "");
    PutSector(12, 1);
    EXPECT_EQ(RunWith({"1"}).output, kStart + (set == 11 ? "Used firmware from ROM\n" : "") +
                                         "Ctrl/Fw version : " + name + "\nFw size: 0\n" +
                                         "Fw+nvram saved to " + name + ".bin\n" + kKeyWait);
  }
}

class UpdateTest : public SimTest {};

// The confirmation, the file and the refusals: what is printed after the version line, what the
// bridge holds afterwards, and the sector that was there, saved before the write.
TEST_F(UpdateTest, ConfirmationFileAndRefusals) {
  const std::string prompt =
      "Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel ";
  const std::string target = "Target     : \\\\.\\PhysicalDrive1, JMicron Generic\n";
  const std::string changes = "Nvram changes: 512 of 512 bytes\n";
  const std::string head = "Fw size: 65536\nNvram ofs: 10c\n" + target;
  const std::string ofs = head + changes;
  const std::string beforeName = kName + ".nvram-before.bin";
  const std::string before = "Nvram before write saved to " + beforeName + "\n";
  const std::string equal = "Nvram written and read back equal\n";
  const std::string yes = ofs + prompt + before + equal + kKeyWait;
  const std::string no = ofs + prompt + "Not sure - Exit!\n" + kKeyWait;
  const std::string failed = "Fw nvram update error\n";
  const std::string high = "Fw size: 16774144\nNvram ofs: 10000\nNvram ofs 10000 out of range!\n";
  const std::string unknown = "Fw size: 0\nFw size unknown, no nvram ofs!\n" + failed;
  const std::string noAddress =
      "jmreader: the sector's address is the firmware length + 12 units, and the bridge told no "
      "length (or 0: running from ROM): nothing written\n";
  // Anything but the sector alone is refused before anybody is asked, and says what it is.
  auto refused = [&](std::uint64_t bytes, std::string lines = "Fw size: 65536\nNvram ofs: 10c\n") {
    return lines + "jm_nvram.bin holds " + std::to_string(bytes) +
           " bytes, not 512: nothing written\n" + failed;
  };
  auto looks = [&](const std::string& what) {
    return "jmreader: jm_nvram.bin " + what + ": tail -c 512 " + kName + ".bin > jm_nvram.bin\n";
  };
  const std::string other = looks("must hold the sector alone: the last 512 bytes of a whole dump");
  const std::string whole = looks("is a whole dump: the sector is its last 512 bytes");
  using C = sim::Command;
  using K = sim::FaultKind;
  const C none = C::kUnknown;
  const sim::Fault ioctl79 = {K::kPlatformError, 0x79};
  const sim::Fault clean = {}, zero = {K::kZeroReply}, short2 = {K::kShortTransfer, 0, 0, 0, 0, 2};
  const sim::Fault stall30 = {K::kStall, 0, 0, 0, 0, 0, 30000};
  auto shortBy = [](std::uint32_t n) { return sim::Fault{K::kShortTransfer, 0, 0, 0, 0, n}; };
  // Still programming, the bridge holds the read-back: it has the write's 30 s, not 2.
  auto busy = [](std::uint32_t ms) { return sim::Fault{K::kBusy, 0, 0, 0, 0, 0, ms}; };
  // What the sector holds after a write that failed, was short or was not read back equal.
  const std::string old = "Nvram holds the sector before the write: nothing changed\n" + failed;
  const std::string keptOld =
      "jmreader: " + beforeName + " holds the sector as it still is: nothing to write back\n";
  const std::string writeBack = "jmreader: " + beforeName +
                                " holds the sector as it was: to write it back, copy it to "
                                "jm_nvram.bin and update again\n";
  struct Case {
    const char* selection;
    std::string input;
    std::int64_t fileSize;  // -1: no file; 0x20200: a whole dump
    std::uint16_t units;
    C faultOn;
    sim::Fault fault;
    std::string lines;  // after the version line
    bool written;
    int status;
    std::string errors = "";
    std::uint8_t seed = 0x21;  // of the file's pattern; the sector there is 0x77's
  };
  const Case cases[] = {
      {"1u", "y\n", 100, 0x100, none, clean, refused(100) + kKeyWait, false, notDone, other},
      // Its size told right, not wrapped around at 32 bits to 512.
      {"1uy", "", 0x100000200, 0x100, none, clean, refused(0x100000200), false, notDone, other},
      {"1uy", "", 0x10000, 0x100, none, clean, refused(0x10000), false, notDone,
       looks("is a firmware-only dump (N), which holds no sector: dump without N")},
      {"1u", "Yes please\n", 512, 0x100, none, clean, yes, true, done},
      // Nothing to change: nothing asked, written or saved.
      {"1u", "", 512, 0x100, none, clean,
       head + "Nvram changes: 0 of 512 bytes\nNvram already holds jm_nvram.bin: nothing written\n" +
           kKeyWait,
       true, done, "", 0x77},
      {"1u", "", 512, 0x100, none, clean, no, false, declined},
      {"1u", " y\n", 512, 0x100, none, clean, no, false, declined},
      {"1uy", "", 512, 0xF4, none, clean,
       "Fw size: 62464\nNvram ofs: 100\n" + target + changes + before + equal, true, doneY},
      {"1uy", "", -1, 0x100, none, clean,
       "Fw size: 65536\njm_nvram.bin: Open File Error\nNvram file read error\n", false, notDone},
      // Refused before anybody is asked.
      {"1u", "y\n", 512, 0xFFF4, none, clean, high + failed + kKeyWait, false, notDone,
       "jmreader: the NVRAM address 0x10000 (firmware units + 12) is past 0xffff, the highest an "
       "NVRAM command carries: the firmware length the bridge reports is likely wrong; nothing "
       "was sent\n"},
      {"1uy", "", 512, 0x10C, C::kDescriptor, short2,
       "Fw size short read: 2 of 4 bytes\n" + unknown, false, notDone, noAddress},
      {"1uy", "", 512, 0x100, C::kDescriptor, zero, unknown, false, notDone, noAddress},
      // A dump keeps 0x20000 bytes of firmware, whatever the bridge has.
      {"1uy", "", 0x20200, 0x300, none, clean,
       refused(0x20200, "Fw size: 196608\nNvram ofs: 30c\n"), false, notDone, whole},
      {"1u", "y\n", 512, 0x100, C::kReadNvram, ioctl79,
       head + "IOCtl: failed 0x79!\nNvram read before write failed: nothing written\n" + failed +
           kKeyWait,
       false, notDone},
      // The write, checked by reading it back, whether or not it failed.
      {"1uy", "", 512, 0x100, C::kWriteNvram, stall30, ofs + before + "IOCtl: failed 0x79!\n" + old,
       false, unverified, keptOld},
      {"1uy", "", 512, 0x100, C::kWriteNvram, zero,
       ofs + before + "Nvram verify error: 512 bytes differ\n" + old, false, unverified, keptOld},
      {"1uy", "", 512, 0x100, C::kWriteNvram, shortBy(100),
       ofs + before + "Nvram short write: 100 of 512 bytes!\nNvram holds neither: 410 bytes " +
           "differ from jm_nvram.bin, 510 from the sector before\n" + failed,
       false, unverified, writeBack},
      // The file's last byte is 0, as the short write leaves it.
      {"1uy", "", 512, 0x100, C::kWriteNvram, shortBy(511),
       ofs + before + "Nvram short write: 511 of 512 bytes!\nNvram holds jm_nvram.bin, though " +
           "its write failed\n" + failed,
       true, unverified, writeBack, 0x0C},
      {"1uy", "", 512, 0x100, C::kWriteNvram, busy(5000), ofs + before + equal, true, doneY},
      {"1uy", "", 512, 0x100, C::kWriteNvram, busy(30000),
       ofs + before + "IOCtl: failed 0x79!\nNvram verify error: read back failed\n" + failed, true,
       unverified, writeBack},
      // Without the sector that was there kept, nothing is written.
      {"1uy", "", 512, 0x101, none, clean,
       "Fw size: 65792\nNvram ofs: 10d\n" + target + changes + beforeName +
           ": Rename File Error, new file kept as " + beforeName +
           ".*.tmp\nNvram before write not saved: nothing written\n" + failed,
       false, notDone},
  };
  for (const Case& c : cases) {
    SimReset();
    AddBridge(c.units);
    if (c.faultOn != none) {
      Sim().bridge.commandFaults[static_cast<int>(c.faultOn)] = c.fault;
    }
    std::filesystem::remove_all(beforeName);
    if (c.units == 0x101) {
      std::filesystem::create_directory(beforeName);
    }
    std::filesystem::remove("jm_nvram.bin");
    // A file larger than a bridge holds is sparse past its first MiB.
    Bytes file =
        Pattern(static_cast<std::size_t>(std::clamp<std::int64_t>(c.fileSize, 0, 1 << 20)), c.seed);
    if (c.fileSize >= 0) {
      WriteFileBytes("jm_nvram.bin", file);
      std::filesystem::resize_file("jm_nvram.bin", static_cast<std::uintmax_t>(c.fileSize));
    }
    std::uint32_t address = c.units + 12u;
    PutSector(address, 0x77);
    const Bytes old = Sector(address);
    RunResult r = RunWith({c.selection}, c.input);
    SCOPED_TRACE(c.selection + (" " + c.input.substr(0, 12)) + c.lines.substr(0, 60));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(Masked(r.output), kStart + "Ctrl/Fw version : " + kName + "\n" + c.lines);
    ExpectReasons(r, c.errors);
    file.resize(512, 0);
    EXPECT_EQ(Sector(address) == file, c.written);
    if (!c.written && c.fault.kind != K::kShortTransfer) {
      EXPECT_EQ(Sector(address), old);
    }
    const bool saved = c.lines.find(before) != std::string::npos;
    EXPECT_EQ(std::filesystem::is_regular_file(beforeName) ? ReadFileBytes(beforeName) : Bytes(),
              saved ? old : Bytes());
  }
}

}  // namespace
