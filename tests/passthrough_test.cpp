#include <cstring>

#include "base/byteorder.h"
#include "bridge/passthrough.h"
#include "tests/test_support.h"

namespace {

// Every header byte of both layouts: the fields that carry values, and zero everywhere else.
TEST(BuildPassThroughRequest, LaysOutHeaderSenseAndDataForBothLayouts) {
  struct Case {
    PassThroughLayout layout;
    std::uint32_t length;  // header + sense + 5 data bytes
  };
  const Case cases[] = {{kPassThroughLayout32, 44 + 24 + 5}, {kPassThroughLayout64, 56 + 24 + 5}};
  const std::uint8_t cdb[10] = {0x3C, 0x01, 0x01, 0x01, 0xFC, 0, 0, 0x04, 0, 0};
  const std::uint8_t data[5] = {1, 2, 3, 4, 5};
  for (const Case& c : cases) {
    static std::uint8_t block[kMaxRequestSize];
    std::memset(block, 0xCC, sizeof block);
    ASSERT_EQ(BuildPassThroughRequest(c.layout, block, cdb, 10, DataDirection::kOut, 5, data),
              c.length);
    Bytes b(block, block + c.length);
    const std::uint32_t sense = c.layout.headerSize;
    const std::uint32_t dataAt = sense + 24;
    Bytes expected(c.length, 0);
    expected[0] = static_cast<std::uint8_t>(c.layout.headerSize);
    expected[6] = 10;
    expected[7] = 24;
    expected[8] = 0;   // data out
    expected[16] = 2;  // seconds
    expected[c.layout.dataBufferOffsetAt] = static_cast<std::uint8_t>(dataAt);
    expected[c.layout.senseInfoOffsetAt] = static_cast<std::uint8_t>(sense);
    std::memcpy(expected.data() + c.layout.cdbAt, cdb, 10);
    expected[12] = 5;
    std::memcpy(expected.data() + dataAt, data, 5);
    EXPECT_EQ(Hex(b), Hex(expected)) << "header size " << c.layout.headerSize;
    EXPECT_EQ(block[c.length], 0xCC) << "wrote past the request";
  }
}

TEST(SummarizeSense, ReadsFixedAndDescriptorFormats) {
  struct Case {
    Bytes sense;
    unsigned key, asc, ascq;
  };
  Bytes fixed(24, 0), descriptor(24, 0), none(24, 0);
  fixed[0] = 0xF0;  // valid bit set
  fixed[2] = 0x25;  // ILI bit above the key
  fixed[12] = 0x24;
  fixed[13] = 0x01;
  descriptor[0] = 0x72;
  descriptor[1] = 0x06;
  descriptor[2] = 0x29;
  descriptor[3] = 0x02;
  const Case cases[] = {{fixed, 5, 0x24, 1}, {descriptor, 6, 0x29, 2}, {none, 0, 0, 0}};
  for (const Case& c : cases) {
    SenseSummary s = SummarizeSense(c.sense.data());
    EXPECT_EQ(s.key, c.key);
    EXPECT_EQ(s.asc, c.asc);
    EXPECT_EQ(s.ascq, c.ascq);
  }
}

class SendTest : public BridgeTest {
 protected:
  bool ReadBlock(std::uint32_t n, std::uint8_t* destination, std::string* out) {
    const std::uint8_t cdb[10] = {0x3C,
                                  0x01,
                                  0x01,
                                  0,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(n >> 16),
                                  static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n),
                                  0};
    bool ok = false;
    *out = Captured(
        [&] { ok = SendPassThroughRequest(drive_, cdb, 10, DataDirection::kIn, n, destination); });
    return ok;
  }
};

TEST_F(SendTest, DataLengthLimit) {
  static std::uint8_t data[0x10001];
  std::string out;
  EXPECT_FALSE(ReadBlock(65537, data, &out));
  EXPECT_EQ(out, "Max Size exceed(65537>65536)!\n");
  EXPECT_TRUE(Sim().requests.empty());

  EXPECT_TRUE(ReadBlock(65536, data, &out));
  ASSERT_EQ(Sim().requests.size(), 1u);
  EXPECT_EQ(Sim().requests[0].block.size(), 65604u);
  EXPECT_EQ(0, std::memcmp(data, Sim().bridge.firmware.data(), 65536));

  EXPECT_TRUE(ReadBlock(0, data, &out));
  ASSERT_EQ(Sim().requests.size(), 2u);
  const Bytes& zero = Sim().requests[1].block;
  EXPECT_EQ(zero.size(), 68u);
  EXPECT_EQ(zero[8], 1) << "DataIn";
  EXPECT_EQ(GetLe(zero.data() + 12, 4), 0u);
}

// Failures print one line and leave the destination as it was; a short transfer succeeds with a
// zero tail.
TEST_F(SendTest, FailuresAndShortTransfers) {
  struct Case {
    sim::Fault fault;
    bool ok;
    std::string message;
  };
  sim::Fault ioctl5{sim::FaultKind::kPlatformError, 5};
  sim::Fault ioctl79{sim::FaultKind::kPlatformError, 0x79};
  sim::Fault check{sim::FaultKind::kCheckCondition, 0, 5, 0x24, 0};
  sim::Fault shortFault{sim::FaultKind::kShortTransfer, 0, 0, 0, 0, 100};
  const Case cases[] = {
      {ioctl5, false, "IOCtl: failed 0x5!\n"},
      {ioctl79, false, "IOCtl: failed 0x79!\n"},
      {check, false, "IOCtl: status 0x2, sense 5/24/00!\n"},
      {shortFault, true, ""},
  };
  for (const Case& c : cases) {
    Sim().bridge.commandFaults[static_cast<int>(sim::Command::kFirmwareBlock)] = c.fault;
    Bytes data(1024, 0xAB);
    std::string out;
    EXPECT_EQ(ReadBlock(1024, data.data(), &out), c.ok);
    EXPECT_EQ(out, c.message);
    if (c.ok) {
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, Sim().bridge.firmware.begin()));
      EXPECT_TRUE(std::all_of(data.begin() + 100, data.end(), [](auto b) { return b == 0; }));
    } else {
      EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](auto b) { return b == 0xAB; }));
    }
  }
}

}  // namespace
