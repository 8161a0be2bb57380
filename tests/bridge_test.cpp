// The pass-through request and the five bridge commands, as the device receives them.
#include <cstring>

#include "base/byteorder.h"
#include "bridge/commands.h"
#include "bridge/passthrough.h"
#include "tests/test_support.h"

namespace {

// Every byte of both header layouts: the fields that carry values, and zero everywhere else.
TEST(PassThrough, RequestLayoutInBothHeaderSizes) {
  const std::uint8_t cdb[10] = {0x3C, 0x01, 0x01, 0x01, 0xFC, 0, 0, 0x04, 0, 0};
  const std::uint8_t data[5] = {1, 2, 3, 4, 5};
  for (const PassThroughLayout& layout : {kPassThroughLayout32, kPassThroughLayout64}) {
    static std::uint8_t block[kMaxRequestSize];
    std::memset(block, 0xCC, sizeof block);
    const std::uint32_t length = layout.headerSize + 24 + 5;
    ASSERT_EQ(BuildPassThroughRequest(layout, block, cdb, 10, DataDirection::kOut, 5, data),
              length);
    Bytes expected(length, 0);
    expected[0] = static_cast<std::uint8_t>(layout.headerSize);
    expected[6] = 10;  // CdbLength
    expected[7] = 24;  // SenseInfoLength; DataIn 0: out
    expected[12] = 5;
    expected[16] = 30;  // seconds: a write's time-out
    expected[layout.dataBufferOffsetAt] = static_cast<std::uint8_t>(layout.headerSize + 24);
    expected[layout.senseInfoOffsetAt] = static_cast<std::uint8_t>(layout.headerSize);
    std::memcpy(expected.data() + layout.cdbAt, cdb, 10);
    std::memcpy(expected.data() + layout.headerSize + 24, data, 5);
    EXPECT_EQ(Hex(Bytes(block, block + length)), Hex(expected)) << layout.headerSize;
    EXPECT_EQ(block[length], 0xCC) << "wrote past the request";
  }
}

TEST(PassThrough, SenseInFixedAndDescriptorFormats) {
  struct Case {
    Bytes head;  // the first sense bytes; the rest of the 24 are zero
    unsigned key, asc, ascq;
  };
  const Case cases[] = {
      {{0xF0, 0, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0x01}, 5, 0x24, 1},  // valid bit, ILI
      {{0x71, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x00}, 3, 0x11, 0},
      {{0x72, 0x06, 0x29, 0x02}, 6, 0x29, 2},
      {{0x73, 0x04, 0x44, 0x00}, 4, 0x44, 0},
      {{0x00, 0x06, 0x29, 0x02}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Bytes sense = c.head;
    sense.resize(24);
    SenseSummary s = SummarizeSense(sense.data());
    EXPECT_EQ(std::vector<unsigned>({s.key, s.asc, s.ascq}),
              std::vector<unsigned>({c.key, c.asc, c.ascq}))
        << Hex(c.head);
  }
}

class CommandTest : public BridgeTest {};

// The request each command puts on the wire; ScsiStatus, the alignment, the CDB tail and the
// sense area go out as zeros.
TEST_F(CommandTest, RequestsAreExact) {
  struct Case {
    const char* cdb;
    std::uint8_t dataIn;
    std::size_t requestSize;
    std::uint8_t timeOut;  // seconds
  };
  static std::uint8_t buffer[0x10000];
  const Bytes sector = Pattern(512, 3);
  const Case cases[] = {
      {"E0 F4 E7 00 00 00 00 00 00 00 00 00", 1, 84, 2},
      {"3C 03 01 00 00 00 00 00 04 00", 1, 72, 2},
      {"3C 01 01 01 FC 00 00 04 00 00", 1, 1092, 2},
      {"3C 01 01 00 00 00 01 00 00 00", 1, 65604, 2},
      {"3C 01 01 00 00 00 00 00 00 00", 1, 68, 2},
      {"DF 10 00 02 00 00 00 00 01 0C 00 FA", 1, 580, 2},
      {"DF 01 00 02 00 00 00 00 01 0C 00 FB", 0, 580, 30},
  };
  EXPECT_EQ(Captured([&] {
              EXPECT_TRUE(IdentifyFirmware(drive_, buffer));
              EXPECT_TRUE(ReadBufferDescriptor(drive_, buffer));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0x01FC, 1024));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0, 65536));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0, 0));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0x010C));
              EXPECT_TRUE(WriteNvramSector(drive_, sector.data(), 0x010C));
            }),
            "");
  ASSERT_EQ(Sim().requests.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Bytes& b = Sim().requests[i].block;
    EXPECT_EQ(Hex(RequestCdb(Sim().requests[i])), cases[i].cdb);
    EXPECT_EQ(b[8], cases[i].dataIn) << cases[i].cdb;
    EXPECT_EQ(b.size(), cases[i].requestSize) << cases[i].cdb;
    EXPECT_EQ(Hex(Bytes(b.begin() + 16, b.begin() + 20)), Hex(Bytes{cases[i].timeOut, 0, 0, 0}))
        << cases[i].cdb;
    EXPECT_TRUE(std::all_of(b.begin() + 28 + b[6], b.begin() + 68, [](auto x) { return x == 0; }) &&
                b[2] == 0 && b[9] == 0 && b[10] == 0 && b[11] == 0)
        << cases[i].cdb;
  }
  EXPECT_EQ(Bytes(Sim().requests.back().block.begin() + 68, Sim().requests.back().block.end()),
            sector);
}

// What fails is reported in one line and leaves the destination as it was; what cannot be sent
// is refused before it goes.
TEST_F(CommandTest, FailuresLeaveTheDestinationUntouched) {
  using C = sim::Command;
  using K = sim::FaultKind;
  using Call = bool (*)(DriveHandle, std::uint8_t*);
  const Call block = [](DriveHandle d, std::uint8_t* p) {
    return ReadFirmwareBlock(d, p, 0, 1024);
  };
  const Call nvram = [](DriveHandle d, std::uint8_t* p) { return ReadNvramSector(d, p, 0x10C); };
  const Call identify = [](DriveHandle d, std::uint8_t* p) { return IdentifyFirmware(d, p); };
  const Call huge = [](DriveHandle d, std::uint8_t* p) {
    return ReadFirmwareBlock(d, p, 0, 65537);
  };
  const Call far = [](DriveHandle d, std::uint8_t* p) { return ReadNvramSector(d, p, 0x10000); };
  const Call farOut = [](DriveHandle d, std::uint8_t* p) {
    return WriteNvramSector(d, p, 0x1000B);
  };
  struct Case {
    C command;
    sim::Fault fault;
    Call call;
    std::string out;
    bool sent;
  };
  const sim::Fault check = {K::kCheckCondition, 0, 5, 0x24, 0};
  const sim::Fault short511 = {K::kShortTransfer, 0, 0, 0, 0, 511};
  const Case cases[] = {
      {C::kFirmwareBlock, {K::kPlatformError, 0x79}, block, "IOCtl: failed 0x79!\n", true},
      {C::kFirmwareBlock, check, block, "IOCtl: status 0x2, sense 5/24/00!\n", true},
      {C::kReadNvram, short511, nvram, "Nvram short read: 511 of 512 bytes!\n", true},
      {C::kIdentify, {K::kZeroReply}, identify, "", true},  // all zero is no identity
      {C::kIdentify, {K::kShortTransfer, 0, 0, 0, 0, 15}, identify, "", true},
      {C::kUnknown, {}, huge, "Max Size exceed(65537>65536)!\n", false},
      {C::kUnknown, {}, far, "Nvram ofs 10000 out of range!\n", false},
      {C::kUnknown, {}, farOut, "Nvram ofs 1000b out of range!\n", false},
  };
  for (const Case& c : cases) {
    Sim().requests.clear();
    Sim().bridge.commandFaults = {};
    if (c.command != C::kUnknown) {
      Sim().bridge.commandFaults[static_cast<int>(c.command)] = c.fault;
    }
    static std::uint8_t data[0x10001];
    std::memset(data, 0xAB, sizeof data);
    bool ok = true;
    EXPECT_EQ(Captured([&] { ok = c.call(drive_, data); }), c.out);
    EXPECT_FALSE(ok) << c.out;
    EXPECT_EQ(Sim().requests.empty(), !c.sent) << c.out;
    EXPECT_TRUE(std::all_of(data, data + sizeof data, [](auto b) { return b == 0xAB; })) << c.out;
  }
  EXPECT_TRUE(Sim().bridge.nvram.empty());
}

// A short inbound transfer hands back what came, the rest zero, whatever the destination held.
TEST_F(CommandTest, ShortBlockEndsInZeros) {
  Sim().bridge.commandFaults[static_cast<int>(sim::Command::kFirmwareBlock)] = {
      sim::FaultKind::kShortTransfer, 0, 0, 0, 0, 100};
  Bytes data(1024, 0xAB);
  std::uint32_t moved = 0;
  EXPECT_TRUE(ReadFirmwareBlock(drive_, data.data(), 0, 1024, &moved));
  Bytes expected(Sim().bridge.firmware.begin(), Sim().bridge.firmware.begin() + 100);
  expected.resize(1024, 0);
  EXPECT_EQ(data, expected);
  EXPECT_EQ(moved, 100u);
}

}  // namespace
