// The pass-through request and the five bridge commands, as the device receives them.
#include <cstring>

#include "bridge/commands.h"
#include "bridge/passthrough.h"
#include "tests/test_support.h"

namespace {

TEST(PassThrough, SenseInFixedAndDescriptorFormats) {
  // The first sense bytes (the rest of the 24 are zero); key, ASC, ASCQ.
  const std::tuple<Bytes, unsigned, unsigned, unsigned> cases[] = {
      {{0xF0, 0, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0x01}, 5, 0x24, 1},  // valid bit, ILI
      {{0x71, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x00}, 3, 0x11, 0},
      {{0x72, 0x06, 0x29, 0x02}, 6, 0x29, 2},
      {{0x73, 0x04, 0x44, 0x00}, 4, 0x44, 0},
      {{0x00, 0x06, 0x29, 0x02}, 0, 0, 0},
  };
  for (const auto& [head, key, asc, ascq] : cases) {
    Bytes sense = head;
    sense.resize(24);
    SenseSummary s = SummarizeSense(sense.data());
    EXPECT_EQ(std::tuple(s.key, s.asc, s.ascq), std::tuple(key, asc, ascq)) << Hex(head);
  }
}

// The trace line of a request: what went, then what came back or why nothing did.
TEST(PassThrough, TraceLines) {
  using enum DataDirection;
  const PassThroughRequest in = {{0x3C, 1, 1, 0, 4, 0, 0, 4, 0, 0}, 10, kIn, nullptr, 1024, 2};
  const PassThroughRequest out = {
      {0xDF, 1, 0, 2, 0, 0, 0, 0, 1, 12, 0, 0xFB}, 12, kOut, nullptr, 512, 30};
  const std::string read = "trace: cdb 3C 01 01 00 04 00 00 04 00 00 in 1024 timeout 2 -> ";
  const std::tuple<PassThroughRequest, PassThroughResult, std::string> cases[] = {
      {in, {true, 0, false, false, "", 0, {}, 1024}, read + "status 0x00 sense - moved 1024"},
      {in,
       {true, 0, false, false, "", 2, {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24}, 0},
       read + "status 0x02 sense 70 00 05 00 00 00 00 0A 00 00 00 00 24 moved 0"},
      {in, {false, 0x79, true, false, "", 0, {}, 0}, read + "error 0x79 timed-out"},
      {out,
       {false, 0x48F, false, true, "", 0, {}, 0},
       "trace: cdb DF 01 00 02 00 00 00 00 01 0C 00 FB out 512 timeout 30 -> error 0x48f gone"},
  };
  for (const auto& [request, result, line] : cases) {
    char text[512];
    FormatTraceLine(request, result, 2001, text, sizeof text);
    EXPECT_EQ(text, line + " ms 2001");
  }
}

// A bridge as in AddBridge with firmware length 0x100, opened for work as `drive_`.
class CommandTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    AddBridge(0x100);
    drive_ = PlatformOpenDrive(1, true).drive;
  }
  void TearDown() override {
    PlatformCloseDrive(drive_);
    SimTest::TearDown();
  }
  DriveHandle drive_ = kInvalidDriveHandle;
};

// The request each command hands to the platform.
TEST_F(CommandTest, RequestsAreExact) {
  static std::uint8_t buffer[0x10000];
  const Bytes sector = Pattern(512, 3);
  using enum DataDirection;
  // The CDB, the direction, the data length, the time-out in seconds.
  const std::tuple<const char*, DataDirection, std::uint32_t, std::uint32_t> cases[] = {
      {"E0 F4 E7 00 00 00 00 00 00 00 00 00", kIn, 16, 2},
      {"3C 03 01 00 00 00 00 00 04 00", kIn, 4, 2},
      {"3C 01 01 01 FC 00 00 04 00 00", kIn, 1024, 2},
      {"3C 01 01 00 00 00 01 00 00 00", kIn, 65536, 2},
      {"DF 10 00 02 00 00 00 00 01 0C 00 FA", kIn, 512, 2},
      {"DF 10 00 02 00 00 00 00 FF FF 00 FA", kIn, 512, 2},   // the highest address there is
      {"DF 10 00 02 00 00 00 00 01 0C 00 FA", kIn, 512, 30},  // after a write
      {"DF 01 00 02 00 00 00 00 01 0C 00 FB", kOut, 512, 30},
  };
  EXPECT_EQ(Captured([&] {
              EXPECT_TRUE(IdentifyFirmware(drive_, buffer));
              EXPECT_TRUE(ReadBufferDescriptor(drive_, buffer));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0x01FC, 1024));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0, 65536));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0x010C));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0xFFFF));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0x010C, kWriteTimeOutSeconds));
              EXPECT_TRUE(WriteNvramSector(drive_, sector.data(), 0x010C));
            }),
            "");
  ASSERT_EQ(Sim().requests.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [cdb, direction, length, timeOut] = cases[i];
    const SimRequest& r = Sim().requests[i];
    EXPECT_EQ(std::tuple(Hex(r.cdb), r.direction, r.length, r.timeOutSeconds, r.data),
              std::tuple(cdb, direction, length, timeOut, direction == kOut ? sector : Bytes()));
  }
}

// What fails is reported in one line and leaves the destination as it was; what cannot be sent
// is refused before it goes.
TEST_F(CommandTest, FailuresLeaveTheDestinationUntouched) {
  using C = sim::Command;
  using K = sim::FaultKind;
  using Call = bool (*)(DriveHandle, std::uint8_t*);
  using P = std::uint8_t*;
  const Call block = [](DriveHandle d, P p) { return ReadFirmwareBlock(d, p, 0, 1024); };
  const Call nvram = [](DriveHandle d, P p) { return ReadNvramSector(d, p, 0x10C); };
  const Call identify = [](DriveHandle d, P p) { return IdentifyFirmware(d, p); };
  const Call huge = [](DriveHandle d, P p) { return ReadFirmwareBlock(d, p, 0, 65537); };
  const Call far = [](DriveHandle d, P p) { return ReadNvramSector(d, p, 0x10000); };
  const Call farOut = [](DriveHandle d, P p) { return WriteNvramSector(d, p, 0x1000B); };
  const sim::Fault check = {K::kCheckCondition, 0, 5, 0x24, 0};
  const sim::Fault short511 = {K::kShortTransfer, 0, 0, 0, 0, 511};
  // The command that fails and how, the call, what it prints, whether anything was sent.
  const std::tuple<C, sim::Fault, Call, std::string, bool> cases[] = {
      {C::kFirmwareBlock, {K::kPlatformError, 0x79}, block, "IOCtl: failed 0x79!\n", true},
      {C::kFirmwareBlock, check, block, "IOCtl: status 0x2, sense 5/24/00!\n", true},
      {C::kReadNvram, short511, nvram, "Nvram short read: 511 of 512 bytes!\n", true},
      {C::kIdentify, {K::kZeroReply}, identify, "", true},  // all zero is no identity
      {C::kIdentify, {K::kShortTransfer, 0, 0, 0, 0, 15}, identify, "", true},
      {C::kUnknown, {}, huge, "Max Size exceed(65537>65536)!\n", false},
      {C::kUnknown, {}, far, "Nvram ofs 10000 out of range!\n", false},
      {C::kUnknown, {}, farOut, "Nvram ofs 1000b out of range!\n", false},
  };
  for (const auto& [command, fault, call, out, sent] : cases) {
    Sim().requests.clear();
    Sim().bridge.commandFaults = {};
    if (command != C::kUnknown) {
      Sim().bridge.commandFaults[static_cast<int>(command)] = fault;
    }
    static std::uint8_t data[0x10001];
    std::memset(data, 0xAB, sizeof data);
    bool ok = true;
    EXPECT_EQ(Captured([&, call = call] { ok = call(drive_, data); }), out);
    EXPECT_FALSE(ok) << out;
    EXPECT_EQ(Sim().requests.empty(), !sent) << out;
    EXPECT_TRUE(std::all_of(data, data + sizeof data, [](auto b) { return b == 0xAB; })) << out;
  }
  EXPECT_TRUE(Sim().bridge.nvram.empty());
}

}  // namespace
