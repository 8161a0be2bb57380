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

class CommandTest : public BridgeTest {};

// The request each command puts on the wire; ScsiStatus, the alignment, the CDB tail and the
// sense area go out as zeros.
TEST_F(CommandTest, RequestsAreExact) {
  static std::uint8_t buffer[0x10000];
  const Bytes sector = Pattern(512, 3);
  // The CDB, DataIn, the request's size, the time-out in seconds.
  const std::tuple<const char*, std::uint8_t, std::size_t, std::uint8_t> cases[] = {
      {"E0 F4 E7 00 00 00 00 00 00 00 00 00", 1, 84, 2},
      {"3C 03 01 00 00 00 00 00 04 00", 1, 72, 2},
      {"3C 01 01 01 FC 00 00 04 00 00", 1, 1092, 2},
      {"3C 01 01 00 00 00 01 00 00 00", 1, 65604, 2},
      {"3C 01 01 00 00 00 00 00 00 00", 1, 68, 2},
      {"DF 10 00 02 00 00 00 00 01 0C 00 FA", 1, 580, 2},
      {"DF 10 00 02 00 00 00 00 FF FF 00 FA", 1, 580, 2},  // the highest address there is
      {"DF 01 00 02 00 00 00 00 01 0C 00 FB", 0, 580, 30},
  };
  EXPECT_EQ(Captured([&] {
              EXPECT_TRUE(IdentifyFirmware(drive_, buffer));
              EXPECT_TRUE(ReadBufferDescriptor(drive_, buffer));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0x01FC, 1024));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0, 65536));
              EXPECT_TRUE(ReadFirmwareBlock(drive_, buffer, 0, 0));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0x010C));
              EXPECT_TRUE(ReadNvramSector(drive_, buffer, 0xFFFF));
              EXPECT_TRUE(WriteNvramSector(drive_, sector.data(), 0x010C));
            }),
            "");
  ASSERT_EQ(Sim().requests.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [cdb, dataIn, size, timeOut] = cases[i];
    const Bytes& b = Sim().requests[i].block;
    EXPECT_EQ(Hex(RequestCdb(Sim().requests[i])), cdb);
    EXPECT_EQ(std::tuple(b[8], b.size()), std::tuple(dataIn, size)) << cdb;
    EXPECT_EQ(Hex(Bytes(b.begin() + 16, b.begin() + 20)), Hex(Bytes{timeOut, 0, 0, 0})) << cdb;
    EXPECT_TRUE(std::all_of(b.begin() + 28 + b[6], b.begin() + 68, [](auto x) { return x == 0; }) &&
                b[2] == 0 && b[9] == 0 && b[10] == 0 && b[11] == 0)
        << cdb;
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
