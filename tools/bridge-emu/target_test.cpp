// The emulator's SCSI target and command line, without USB: what the kernel and the tool get back
// for each command, and how the faults on the command line reach the bridge model.
#include "tools/bridge-emu/target.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/bridge-emu/options.h"

namespace emu {
namespace {

Options Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "bridge-emu");
  args.push_back("/dev/ffs-test");
  Options options;
  std::string error;
  EXPECT_TRUE(ParseOptions(static_cast<int>(args.size()), args.data(), &options, &error)) << error;
  return options;
}

struct Result {
  Reply reply;
  std::vector<std::uint8_t> data;
};

Result Send(Target& target, std::vector<std::uint8_t> cdb, sim::Direction direction,
            std::vector<std::uint8_t> data, bool faults = true) {
  Result r;
  r.data = std::move(data);
  r.reply = target.Execute(cdb.data(), static_cast<std::uint8_t>(cdb.size()), direction,
                           r.data.data(), static_cast<std::uint32_t>(r.data.size()), faults);
  return r;
}

Result In(Target& target, std::vector<std::uint8_t> cdb, std::uint32_t length, bool faults = true) {
  return Send(target, std::move(cdb), sim::Direction::kIn, std::vector<std::uint8_t>(length),
              faults);
}

// Key, ASC and ASCQ as REQUEST SENSE reports them.
std::string Sense(Target& target) {
  Result r = In(target, {0x03, 0, 0, 0, 18, 0}, 18);
  char text[16];
  std::snprintf(text, sizeof text, "%x/%02x/%02x", r.data[2] & 0x0F, r.data[12], r.data[13]);
  return text;
}

Target Configured(const Options& options) {
  Target target;
  std::string error;
  EXPECT_TRUE(target.Configure(options, &error)) << error;
  return target;
}

const std::vector<std::uint8_t> kIdentify = {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<std::uint8_t> kDescriptor = {0x3C, 0x03, 0x01, 0, 0, 0, 0, 0, 0x04, 0};

std::vector<std::uint8_t> FirmwareBlock(std::uint32_t block) {
  return {0x3C,
          0x01,
          0x01,
          static_cast<std::uint8_t>(block >> 8),
          static_cast<std::uint8_t>(block),
          0,
          0,
          0x04,
          0,
          0};
}

std::vector<std::uint8_t> Nvram(bool write, std::uint32_t address) {
  return {0xDF,
          static_cast<std::uint8_t>(write ? 0x01 : 0x10),
          0,
          0x02,
          0,
          0,
          0,
          0,
          static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address),
          0,
          static_cast<std::uint8_t>(write ? 0xFB : 0xFA)};
}

TEST(TargetDisk, InquiryCarriesThePaddedIdentityAndRejectsVitalProductData) {
  Target target = Configured(Parse({"--vendor", "ACME", "--product", "Bridge X"}));
  Result r = In(target, {0x12, 0, 0, 0, 36, 0}, 36);
  EXPECT_EQ(r.reply.status, 0);
  EXPECT_EQ(r.reply.transferred, 36u);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 36), "ACME    Bridge X        0508");

  r = In(target, {0x12, 0x01, 0x80, 0, 255, 0}, 255);
  EXPECT_EQ(r.reply.status, 2);
  EXPECT_EQ(Sense(target), "5/24/00");
  EXPECT_EQ(Sense(target), "0/00/00");  // reported once
}

TEST(TargetDisk, CapacityReadAndWrite) {
  Target target = Configured(Parse({"--disk-mib", "1"}));
  Result r = In(target, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{0, 0, 0x07, 0xFF, 0, 0, 0x02, 0}));

  std::vector<std::uint8_t> sectors(1024);
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    sectors[i] = static_cast<std::uint8_t>(i * 13);
  }
  r = Send(target, {0x2A, 0, 0, 0, 0x07, 0xFE, 0, 0, 2, 0}, sim::Direction::kOut, sectors);
  EXPECT_EQ(r.reply.status, 0);
  r = In(target, {0x28, 0, 0, 0, 0x07, 0xFE, 0, 0, 2, 0}, 1024);
  EXPECT_EQ(r.data, sectors);

  // One block past the end.
  r = In(target, {0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0}, 1024);
  EXPECT_EQ(r.reply.status, 2);
  EXPECT_EQ(Sense(target), "5/21/00");
  r = In(target, {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, 512);  // READ(12): not served
  EXPECT_EQ(r.reply.status, 2);
  EXPECT_EQ(Sense(target), "5/20/00");
}

TEST(TargetBridge, AnswersTheBridgeCommandsFromTheCommandLine) {
  Target target = Configured(Parse({"--units", "5", "--name", "XYZ", "--version", "0.0.A0.1"}));
  Result r = In(target, kIdentify, 16);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 11), "XYZ");
  EXPECT_EQ(std::vector<std::uint8_t>(r.data.begin() + 12, r.data.end()),
            (std::vector<std::uint8_t>{0x00, 0x00, 0xA0, 0x01}));

  r = In(target, kDescriptor, 4);
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{0x00, 0x00, 0x05, 0x00}));

  // Buffer 1 is units * 256 bytes; block 4 holds its last unit, then zeros.
  const std::vector<std::uint8_t>& firmware = target.bridge().firmware;
  ASSERT_EQ(firmware.size(), 1280u);
  r = In(target, FirmwareBlock(4), 1024);
  EXPECT_TRUE(std::equal(firmware.begin() + 1024, firmware.end(), r.data.begin()));
  EXPECT_EQ(std::count(r.data.begin() + 256, r.data.end(), 0), 768);

  // The default sector sits at units + 12, and nowhere else.
  Result at17 = In(target, Nvram(false, 17), 512);
  Result at16 = In(target, Nvram(false, 16), 512);
  EXPECT_NE(std::count(at17.data.begin(), at17.data.end(), 0), 512);
  EXPECT_EQ(std::count(at16.data.begin(), at16.data.end(), 0), 512);
}

TEST(TargetBridge, NvramWriteIsSavedToTheStateDirectory) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("bridge-emu-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "seed.bin", std::ios::binary) << "seeded";
  std::string seed = "0x20=" + (dir / "seed.bin").string();
  Target target =
      Configured(Parse({"--units", "0x14", "--nvram", seed.c_str(), "--state", dir.c_str()}));
  ASSERT_TRUE(target.SaveState());

  auto read = [&](const char* name) {
    std::ifstream in(dir / name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  };
  std::vector<std::uint8_t> sector = read("nvram-0020.bin");
  ASSERT_EQ(sector.size(), 512u);
  EXPECT_EQ(std::string(sector.begin(), sector.begin() + 6), "seeded");
  EXPECT_EQ(std::count(sector.begin() + 6, sector.end(), 0), 506);
  EXPECT_EQ(read("firmware.bin").size(), 0x1400u);

  std::vector<std::uint8_t> written(512);
  for (std::size_t i = 0; i < written.size(); ++i) {
    written[i] = static_cast<std::uint8_t>(255 - i);
  }
  Result r = Send(target, Nvram(true, 0x20), sim::Direction::kOut, written);
  EXPECT_EQ(r.reply.status, 0);
  EXPECT_EQ(read("nvram-0020.bin"), written);
  std::filesystem::remove_all(dir);
}

TEST(TargetFaults, CommandLineFaultsReachTheWire) {
  Target target =
      Configured(Parse({"--fault", "nvram-read:check=3/11/02", "--fault", "block@4:short=100",
                        "--fault", "identify:stall=2500:once", "--fault", "descriptor:zero"}));

  Result r = In(target, Nvram(false, 0x10C), 512);
  EXPECT_EQ(r.reply.status, 2);
  EXPECT_EQ(Sense(target), "3/11/02");

  r = In(target, FirmwareBlock(4), 1024);
  EXPECT_EQ(r.reply.status, 0);
  EXPECT_EQ(r.reply.transferred, 100u);
  EXPECT_EQ(std::count(r.data.begin() + 100, r.data.end(), 0), 924);
  EXPECT_EQ(In(target, FirmwareBlock(8), 1024).reply.transferred, 1024u);

  EXPECT_EQ(In(target, kDescriptor, 4).data, std::vector<std::uint8_t>(4, 0));

  // A stall holds the command; run again without faults it answers. Being "once", the next
  // identify is not stalled.
  r = In(target, kIdentify, 16);
  EXPECT_EQ(r.reply.stallMs, 2500u);
  EXPECT_EQ(r.reply.transferred, 0u);
  r = In(target, kIdentify, 16, false);
  EXPECT_EQ(r.reply.stallMs, 0u);
  EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 11), "ABC");
  EXPECT_EQ(In(target, kIdentify, 16).reply.stallMs, 0u);
}

TEST(Options, FaultRules) {
  struct Case {
    const char* text;
    bool ok;
    sim::Command command;
    sim::FaultKind kind;
    std::uint32_t value;  // delivered, stall, or key<<16|asc<<8|ascq
    bool once;
  };
  using C = sim::Command;
  using K = sim::FaultKind;
  const Case cases[] = {
      {"identify:check", true, C::kIdentify, K::kCheckCondition, 0x052400, false},
      {"nvram-write:check=3/0c/02", true, C::kWriteNvram, K::kCheckCondition, 0x030C02, false},
      {"block:short=7", true, C::kFirmwareBlock, K::kShortTransfer, 7, false},
      {"block@0x1fc:zero:once", true, C::kFirmwareBlock, K::kZeroReply, 0, true},
      {"nvram-read:stall=5000:once", true, C::kReadNvram, K::kStall, 5000, true},
      {"descriptor:error", true, C::kDescriptor, K::kPlatformError, 0, false},
      {"identify", false, C::kUnknown, K::kNone, 0, false},
      {"flash:zero", false, C::kUnknown, K::kNone, 0, false},
      {"identify:check=10/24/00", false, C::kUnknown, K::kNone, 0, false},
      {"identify:check=5/24", false, C::kUnknown, K::kNone, 0, false},
      {"identify:short=-1", false, C::kUnknown, K::kNone, 0, false},
      {"identify:stall", false, C::kUnknown, K::kNone, 0, false},
      {"block@70000:zero", false, C::kUnknown, K::kNone, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FaultRule rule;
    std::string error;
    ASSERT_EQ(ParseFault(c.text, &rule, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(rule.command, c.command);
    EXPECT_EQ(rule.fault.kind, c.kind);
    EXPECT_EQ(rule.once, c.once);
    if (c.kind == K::kShortTransfer) {
      EXPECT_EQ(rule.fault.delivered, c.value);
    } else if (c.kind == K::kStall) {
      EXPECT_EQ(rule.fault.stallMs, c.value);
    } else if (c.kind == K::kCheckCondition) {
      EXPECT_EQ(rule.fault.senseKey << 16 | rule.fault.asc << 8 | rule.fault.ascq, c.value);
    }
  }
  FaultRule rule;
  std::string error;
  ASSERT_TRUE(ParseFault("block@0x1fc:zero", &rule, &error));
  EXPECT_TRUE(rule.perBlock);
  EXPECT_EQ(rule.block, 0x1FCu);
}

TEST(Options, RejectsBadCommandLines) {
  const std::vector<std::vector<const char*>> bad = {
      {"bridge-emu"},                                    // no FunctionFS directory
      {"bridge-emu", "--units", "0x10000", "/dev/ffs"},  // beyond 16 bits
      {"bridge-emu", "--name", "ABCD", "/dev/ffs"},
      {"bridge-emu", "--version", "1.2.3", "/dev/ffs"},
      {"bridge-emu", "--identity", "00112233", "/dev/ffs"},
      {"bridge-emu", "--nvram", "0x10C=", "/dev/ffs"},
      {"bridge-emu", "--frobnicate", "1", "/dev/ffs"},
      {"bridge-emu", "/dev/ffs", "/dev/ffs2"},
      {"bridge-emu", "/dev/ffs", "--units"},
  };
  for (const auto& args : bad) {
    Options options;
    std::string error;
    EXPECT_FALSE(ParseOptions(static_cast<int>(args.size()), args.data(), &options, &error))
        << args.back();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace emu
