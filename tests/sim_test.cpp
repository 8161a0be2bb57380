#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/scenario.h"
#include "tests/test_support.h"

namespace {

class ScenarioTest : public SimTest {};

TEST_F(ScenarioTest, RejectsBadLines) {
  const char* bad[] = {"drive 1 usb \"unclosed\n",
                       "identity 01 02\n",
                       "fault identify melt\n",
                       "nvram 70000 01\n",
                       "bogus\n",
                       "drive x usb a b\n",
                       "identity -1 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"};
  for (const char* text : bad) {
    ScenarioOutputs out;
    std::string error;
    EXPECT_FALSE(LoadScenarioText(text, "", &out, &error)) << text;
    EXPECT_EQ(error.rfind("line 1:", 0), 0u) << error;
  }
}

#if !defined(_WIN32)
std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// jmreader-sim as a process: a scenario file in, the dump file, the request log and the NVRAM
// store out.
TEST_F(ScenarioTest, SimulatorRunsDumpAndUpdate) {
  WriteFileBytes("fw.bin", Pattern(1536, 6));
  std::ofstream("scenario.txt") << "drive 3 usb \"JMicron \" \"Generic\" bridge\n"
                                   "identity 01 00 00 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
                                   "descriptor 00 00 06 00\n"
                                   "firmware file fw.bin\n"
                                   "nvram 18 AA BB CC\n"
                                   "log requests.txt\n"
                                   "nvram-out store.txt\n";
  std::string run = std::string("JMREADER_SIM=scenario.txt '") + JMREADER_SIM_PATH + "' ";
  ASSERT_EQ(std::system((run + "3 </dev/null >out.txt").c_str()), 0);
  Bytes sector(512, 0);
  sector[0] = 0xAA, sector[1] = 0xBB, sector[2] = 0xCC;
  Bytes expected = Pattern(1536, 6);
  expected.insert(expected.end(), sector.begin(), sector.end());
  EXPECT_EQ(ReadFileBytes("jmSIM_01_02_A0_FF.bin"), expected);
  EXPECT_EQ(ReadText("requests.txt"),
            "E0F4E7000000000000000000 in 16\n"
            "3C030100000000000400 in 4\n"
            "3C010100000000040000 in 1024\n"
            "3C010100040000040000 in 1024\n"
            "DF10000200000000001200FA in 512\n");

  WriteFileBytes("jm_nvram.bin", Pattern(100, 8));
  ASSERT_EQ(std::system((run + "3uy </dev/null >out.txt").c_str()) >> 8, 1);
  std::string store = ReadText("store.txt");
  std::string expectedLine = "0012 ";
  for (std::uint8_t b : Pattern(100, 8)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    expectedLine += two;
  }
  expectedLine += std::string(412 * 2, '0') + "\n";
  EXPECT_EQ(store, expectedLine);
  EXPECT_EQ(ReadText("out.txt"),
            "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n"
            "OS: 10.0 build 19045 Simulated\n"
            "Drive      : 3(USB)\n"
            "Ctrl/Fw version : jmSIM_01_02_A0_FF\n"
            "Fw size: 1536\n"
            "Nvram ofs: 12\n");
}
#endif

}  // namespace
