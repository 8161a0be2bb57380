#include "bridge/commands.h"
#include "tests/test_support.h"

namespace {

class CommandTest : public BridgeTest {};

// The request each command puts on the wire.
TEST_F(CommandTest, RequestsAreExact) {
  struct Case {
    const char* name;
    std::string cdb;
    std::uint8_t dataIn;
    std::size_t requestSize;
  };
  static std::uint8_t buffer[0x10000];
  const std::uint8_t sector[512] = {0x55, 0xAA, 7};
  const Case cases[] = {
      {"identify", "E0 F4 E7 00 00 00 00 00 00 00 00 00", 1, 84},
      {"descriptor", "3C 03 01 00 00 00 00 00 04 00", 1, 72},
      {"block 0x1FC", "3C 01 01 01 FC 00 00 04 00 00", 1, 1092},
      {"block 65536", "3C 01 01 00 00 00 01 00 00 00", 1, 65604},
      {"read nvram", "DF 10 00 02 00 00 00 00 01 0C 00 FA", 1, 580},
      {"write nvram", "DF 01 00 02 00 00 00 00 01 0C 00 FB", 0, 580},
  };
  Captured([&] {
    IdentifyFirmware(drive_, buffer);
    ReadBufferDescriptor(drive_, buffer);
    ReadFirmwareBlock(drive_, buffer, 0x01FC, 1024);
    ReadFirmwareBlock(drive_, buffer, 0, 65536);
    ReadNvramSector(drive_, buffer, 0x010C);
    WriteNvramSector(drive_, sector, 0x010C);
  });
  ASSERT_EQ(Sim().requests.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const SimRequest& r = Sim().requests[i];
    EXPECT_EQ(Hex(RequestCdb(r)), cases[i].cdb) << cases[i].name;
    EXPECT_EQ(r.block[8], cases[i].dataIn) << cases[i].name;
    EXPECT_EQ(r.block.size(), cases[i].requestSize) << cases[i].name;
    // ScsiStatus, alignment, the CDB tail and the sense area go out as zeros.
    EXPECT_EQ(r.block[2], 0) << cases[i].name;
    EXPECT_EQ(Hex(Bytes(r.block.begin() + 9, r.block.begin() + 12)), "00 00 00");
    EXPECT_TRUE(std::all_of(r.block.begin() + 28 + r.block[6], r.block.begin() + 68, [](auto b) {
      return b == 0;
    })) << cases[i].name;
  }
  EXPECT_EQ(RequestData(Sim().requests[5]), Bytes(sector, sector + 512));
  EXPECT_EQ(Hex(Bytes(Sim().bridge.nvram[0x010C].begin(), Sim().bridge.nvram[0x010C].end())),
            Hex(Bytes(sector, sector + 512)));
}

TEST_F(CommandTest, NvramAddressBeyond16BitsIsRefused) {
  std::uint8_t sector[512] = {1};
  std::string out = Captured([&] {
    EXPECT_FALSE(ReadNvramSector(drive_, sector, 0x10000));
    EXPECT_FALSE(WriteNvramSector(drive_, sector, 0x1000B));
  });
  EXPECT_EQ(out, "Nvram ofs 10000 out of range!\nNvram ofs 1000b out of range!\n");
  EXPECT_TRUE(Sim().requests.empty());
  EXPECT_TRUE(Sim().bridge.nvram.empty());
}

TEST_F(CommandTest, OversizedBlockIsRefusedUnsent) {
  static std::uint8_t buffer[0x10001];
  EXPECT_EQ(Captured([&] { EXPECT_FALSE(ReadFirmwareBlock(drive_, buffer, 0, 65537)); }),
            "Max Size exceed(65537>65536)!\n");
  EXPECT_TRUE(Sim().requests.empty());
}

// Any non-zero byte makes an identity; all zero (or nothing delivered) fails without a message.
TEST_F(CommandTest, IdentityMustNotBeAllZero) {
  struct Case {
    int nonZeroByte;  // -1: none
    sim::FaultKind fault;
    bool ok;
  };
  const Case cases[] = {
      {0, sim::FaultKind::kNone, true},
      {11, sim::FaultKind::kNone, true},
      {-1, sim::FaultKind::kNone, false},
      {8, sim::FaultKind::kShortTransfer, false},
  };
  for (const Case& c : cases) {
    Sim().bridge.identity.fill(0);
    if (c.nonZeroByte >= 0) {
      Sim().bridge.identity[static_cast<std::size_t>(c.nonZeroByte)] = 0x42;
    }
    Sim().bridge.commandFaults[0] = {c.fault};
    std::uint8_t identity[16];
    std::fill(std::begin(identity), std::end(identity), 0xEE);
    std::string out = Captured([&] { EXPECT_EQ(IdentifyFirmware(drive_, identity), c.ok); });
    EXPECT_EQ(out, "");
    if (c.ok) {
      EXPECT_EQ(identity[c.nonZeroByte], 0x42);
    } else {
      EXPECT_EQ(identity[0], 0xEE) << "destination must stay untouched";
    }
  }
}

}  // namespace
