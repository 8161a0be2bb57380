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

// A scenario line that cannot be used stops jmreader-sim with status 3 before anything runs: its
// number, the line and what is wrong with it. A fault on a block that no dump reads is refused.
TEST_F(ScenarioTest, BadScenarioLinesAreToldExactly) {
  const std::string head = "jmreader-sim: scenario.txt: line ";
  const std::string units16 = "descriptor 00 00 10 00\n";
  const std::string unread = ": blocks start at every 4th unit below the firmware length (16 units";
  const std::pair<std::string, std::string> cases[] = {
      {units16 + "fault block 12 short 100\n", ""},
      {units16 + "fault block ioctl 5\n", ""},  // every block
      {"layout 64\nlayout 32\n", ""},  // older scenarios' layouts: accepted, and nothing to do
      {units16 + "fault block 2 zero\n",
       head + "2 \"fault block 2 zero\": no dump reads block 2" + unread},
      {"fault block 16 zero\n" + units16,
       head + "1 \"fault block 16 zero\": no dump reads block 16" + unread},
      {"drive 1 usb \"J\" \"G\" bridge flying\r\n",
       head + "1 \"drive 1 usb \"J\" \"G\" bridge flying\": expected drive <number> <bus: "},
      {"\nfirmware file none.bin\n", head + "2 \"firmware file none.bin\": cannot read none.bin\n"},
      {"firmware 1\n",
       head + "1 \"firmware 1\": expected firmware pattern <bytes> [<seed>] | file"},
      {"bogus 1\n", head + "1 \"bogus 1\": unknown keyword \"bogus\" (known: drive, identity, "},
      {"os 1 2 3 \"x\n", head + "1 \"os 1 2 3 \"x\": unclosed quote\n"},
  };
  const std::string run = std::string("JMREADER_SIM=scenario.txt '") + JMREADER_SIM_PATH + "' ";
  for (const auto& [scenario, errors] : cases) {
    std::ofstream("scenario.txt", std::ios::binary) << scenario;
    int status = std::system((run + "0y </dev/null >out.txt 2>err.txt").c_str()) >> 8;
    Bytes said = ReadFileBytes("err.txt");
    std::string err(said.begin(), said.end());
    EXPECT_EQ(err.substr(0, errors.size()), errors) << scenario;
    EXPECT_EQ(status == 3, !errors.empty()) << scenario;
  }
}
#endif

}  // namespace
