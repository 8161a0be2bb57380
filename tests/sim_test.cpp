#include <cstdlib>
#include <fstream>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "sim/scenario.h"
#include "tests/test_support.h"

namespace {

class ScenarioTest : public SimTest {};

// A scenario line that cannot be used stops the loading: its number (CR, LF and CRLF all end a
// line), the line cut to 80 characters and what is wrong with it. Numbers are decimal or 0x hex
// within their range; files are regular and no bigger than what a bridge holds.
TEST_F(ScenarioTest, BadScenarioLinesAreToldExactly) {
  WriteFileBytes("id17.bin", Bytes(17));
  WriteFileBytes("id3.bin", Bytes(3));
  WriteFileBytes("fw.bin", Bytes(131073));
  std::ofstream("bad.state") << "jmreader-sim state 1\nfirmware 64\n" << std::string(64, 'A');
  const std::string units16 = "descriptor 00 00 10 00\n";
  const std::string unread = ": blocks start at every 4th unit below the firmware length (16 units";
  const std::string no = "\" is no ";
  // A row whose error starts with ":" is about its one line, line 1.
  std::vector<std::pair<std::string, std::string>> cases = {
      {units16 + "fault block 12 short 100\n", ""},
      {units16 + "fault block ioctl 5\n", ""},  // every block
      {"layout 64\nlayout 32\n", ""},  // older scenarios' layouts: accepted, and nothing to do
      {units16 + "fault block 2 zero\n",
       "2 \"fault block 2 zero\": no dump reads block 2" + unread},
      {"fault block 16 zero\n" + units16,
       "1 \"fault block 16 zero\": no dump reads block 16" + unread},
      {units16 + "fault block 010 zero", "2 \"fault block 010 zero\": no dump reads block 10:"},
      {"drive 1 usb \"J\" \"G\" bridge flying\r\n",
       "1 \"drive 1 usb \"J\" \"G\" bridge flying\": expected drive <number> <bus: "},
      {"\nfirmware file none.bin\n", "2 \"firmware file none.bin\": cannot read none.bin"},
      {"firmware 1", ": expected firmware pattern <bytes, at most 131072>"},
      {"bogus 1", ": unknown keyword \"bogus\" (known: drive, identity, "},
      {"os 1 2 3 \"x", ": unclosed quote"},
      {"os 1 2 3\r\r\nos 0x1 2\r", "3 \"os 0x1 2\": expected os "},
      {"bogus" + std::string(500, 'x'), "1 \"bogus" + std::string(72, 'x') +
                                            "...\": unknown keyword \"bogus" +
                                            std::string(16, 'x') + "...\" (known"},
      {"drive 4294967297 usb J G",
       ": \"4294967297" + no + "drive number (decimal or 0x hex, 0 to 98)"},
      {"drive -1 usb J G", ": \"-1" + no + "drive"},
      {"drive 99 usb J G", ": \"99" + no + "drive"},
      {"drive 1 usb J G\ndrive 0x1 sata A B", "2 \"drive 0x1 sata A B\": drive 1 is set up twice"},
      {"fault identify short 4294967297", ": \"4294967297" + no + "byte count"},
      {"fault identify stall 600001", ": \"600001" + no + "time in ms"},
      {"fault write-nvram busy 600001", ": \"600001" + no + "time in ms"},
      {"fault read-nvram busy 5", ": expected fault identify|"},  // only a write leaves it busy
      {"keys 13 256", ": \"256" + no + "key code"},
      {"nvram 65536 AA", ": \"65536" + no + "NVRAM address"},
      {"firmware pattern 131073", ": \"131073" + no + "firmware"},
      {"firmware file fw.bin", ": fw.bin holds more than 131072 bytes"},
      {"identity file id17.bin", ": id17.bin holds more than 16 bytes"},
      {"identity file id3.bin", ": id3.bin holds 3 bytes, not 16"},
      {"state bad.state", ": bad.state, line 4: expected 32 bytes of firmware in hex"},
  };
#if !defined(_WIN32)
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  cases.push_back({"nvram 1 file fifo", ": fifo is not a regular file"});
#endif
  for (auto [scenario, error] : cases) {
    std::ofstream("scenario.txt", std::ios::binary) << scenario;
    error = error[0] == ':' ? "1 \"" + scenario + "\"" + error : error;
    error = error.empty() ? "" : "scenario.txt: line " + error;
    ScenarioOutputs outputs;
    std::string said;
    EXPECT_EQ(LoadScenarioFile("scenario.txt", &outputs, &said), error.empty()) << scenario;
    EXPECT_EQ(said.substr(0, error.size()), error) << scenario;
  }
  // JMREADER_SIM itself.
  std::string said;
  ScenarioOutputs outputs;
  std::ofstream("scenario.txt") << std::string((1 << 20) + 1, '#');
  EXPECT_FALSE(LoadScenarioFile("scenario.txt", &outputs, &said));
  EXPECT_EQ(said, "scenario.txt holds more than 1048576 bytes");
  EXPECT_FALSE(LoadScenarioFile(".", &outputs, &said));
  EXPECT_EQ(said, ". is not a regular file");
}

// What a scenario leaves out is the built-in machine's: a bridge-only scenario dumps with the
// built-in identity and firmware, one without drive lines keeps drives 0 and 1.
TEST_F(ScenarioTest, ScenarioKeepsTheDefaultsItDoesNotSet) {
  const std::pair<std::string, std::string> cases[] = {
      {"drive 4 usb \"JMicron \" \"Generic\" bridge\n", "4y"},
      {"nvram 0100 AA\nnvram 0x10C BB\n", "1y"},
  };
  for (const auto& [scenario, selection] : cases) {
    ScenarioOutputs outputs;
    std::string error;
    ASSERT_TRUE(LoadScenarioText(scenario, "", &outputs, &error)) << error;
    EXPECT_EQ(RunWith({selection}).status, 1) << scenario;
    Bytes dump = ReadFileBytes("jmSIM_01_02_A0_FF.bin");
    ASSERT_EQ(dump.size(), 65536u + 512) << scenario;
    EXPECT_EQ(dump[65536], scenario[0] == 'n' ? 0xBB : 1) << scenario;  // 0x10C, not 0100
  }
  EXPECT_EQ(Sim().drives.size(), 2u);
  EXPECT_EQ(Sim().bridge.nvram.size(), 2u);  // at 100 (decimal, not octal) and 0x10C
  EXPECT_EQ(Sim().bridge.nvram.count(100), 1u);
}

// A state file keeps the firmware and the NVRAM store over the scenario's, and is replaced whole.
TEST_F(ScenarioTest, StateFileKeepsTheBridge) {
  ScenarioOutputs outputs;
  std::string error;
  ASSERT_TRUE(LoadScenarioText("firmware pattern 100\nstate st.txt\n", "", &outputs, &error));
  Sim().bridge.nvram[7].fill(0x77);
  ASSERT_TRUE(SaveState("st.txt", Sim().bridge));
  ASSERT_TRUE(SaveState("st.txt", Sim().bridge));  // over the first
  sim::Bridge kept = Sim().bridge;
  ASSERT_TRUE(LoadScenarioText("state st.txt\nnvram 7 00\n", "", &outputs, &error)) << error;
  EXPECT_EQ(Sim().bridge.firmware, kept.firmware);
  EXPECT_EQ(Sim().bridge.nvram, kept.nvram);
  EXPECT_FALSE(std::filesystem::exists("st.txt.new"));
}

#if !defined(_WIN32)
std::string Text(const char* path) {
  Bytes b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

const std::string kRun = std::string("'") + JMREADER_SIM_PATH + "' ";

// jmreader-sim as a process: a scenario file in; the dump and the request log out.
TEST_F(ScenarioTest, SimulatorRunsAScenarioFile) {
  WriteFileBytes("fw.bin", Pattern(1536, 6));
  std::ofstream("scenario.txt") << "drive 3 usb \"JMicron \" \"Generic\" bridge\n"
                                   "identity 01 00 00 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
                                   "descriptor 00 00 06 00\n"
                                   "firmware file fw.bin\n"
                                   "nvram 18 AA BB CC\n"
                                   "log requests.txt\n";
  ASSERT_EQ(
      std::system(("JMREADER_SIM=scenario.txt " + kRun + "3y </dev/null >/dev/null").c_str()) >> 8,
      1);
  Bytes expected = Pattern(1536, 6);
  expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});
  expected.resize(1536 + 512, 0);
  EXPECT_EQ(ReadFileBytes("jmSIM_01_02_A0_FF.bin"), expected);
  EXPECT_EQ(Text("requests.txt"),
            "E0F4E7000000000000000000 in 16\n"
            "3C030100000000000400 in 4\n"
            "3C010100000000040000 in 1024\n"
            "3C010100040000040000 in 1024\n"
            "DF10000200000000001200FA in 512\n");
  // A scenario that cannot be used: status 3, and the simulator names itself.
  ASSERT_EQ(std::system(("JMREADER_SIM=. " + kRun + "1 2>err.txt").c_str()) >> 8, 3);
  EXPECT_EQ(Text("err.txt"), "jmreader-sim: . is not a regular file\n");
}

#endif

}  // namespace
