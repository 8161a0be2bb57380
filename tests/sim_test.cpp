#include <cstdlib>
#include <fstream>

#include "tests/test_support.h"

namespace {

class ScenarioTest : public SimTest {};

#if !defined(_WIN32)
// jmreader-sim as a process: a scenario file in; the transcript, the dump and the request log out.
TEST_F(ScenarioTest, SimulatorRunsAScenarioFile) {
  WriteFileBytes("fw.bin", Pattern(1536, 6));
  std::ofstream("scenario.txt") << "drive 3 usb \"JMicron \" \"Generic\" bridge\n"
                                   "identity 01 00 00 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
                                   "descriptor 00 00 06 00\n"
                                   "firmware file fw.bin\n"
                                   "nvram 18 AA BB CC\n"
                                   "log requests.txt\n";
  std::string run = std::string("JMREADER_SIM=scenario.txt '") + JMREADER_SIM_PATH + "' ";
  ASSERT_EQ(std::system((run + "3y </dev/null >out.txt").c_str()) >> 8, 1);
  Bytes expected = Pattern(1536, 6);
  expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});
  expected.resize(1536 + 512, 0);
  EXPECT_EQ(ReadFileBytes("jmSIM_01_02_A0_FF.bin"), expected);
  auto text = [](const char* path) {
    Bytes b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
  };
  EXPECT_EQ(text("requests.txt"),
            "E0F4E7000000000000000000 in 16\n"
            "3C030100000000000400 in 4\n"
            "3C010100000000040000 in 1024\n"
            "3C010100040000040000 in 1024\n"
            "DF10000200000000001200FA in 512\n");
  EXPECT_EQ(text("out.txt"),
            "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\n"
            "OS: 10.0 build 19045 Simulated\n"
            "Drive      : 3(USB)\n"
            "Ctrl/Fw version : jmSIM_01_02_A0_FF\n"
            "Fw size: 1536\n"
            "Fw+nvram saved to jmSIM_01_02_A0_FF.bin\n");
}
#endif

}  // namespace
