#include <cstdlib>
#include <fstream>
#include <regex>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "sim/replay.h"
#include "sim/scenario.h"
#include "sim/scenario_files.h"
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
      {"bogus 1", ": unknown keyword \"bogus\" (known: drive, identity, "},
      {"os 1 2 3 \"x", ": unclosed quote"},
      {"os 1 2 3\r\r\nos 0x1 2\r", "3 \"os 0x1 2\": expected os "},
      {"bogus" + std::string(500, 'x'), "1 \"bogus" + std::string(72, 'x') +
                                            "...\": unknown keyword \"bogus" +
                                            std::string(16, 'x') + "...\" (known"},
      {"drive -1 usb J G", ": \"-1" + no + "drive"},
      {"drive 99 usb J G", ": \"99" + no + "drive number (decimal or 0x hex, 0 to 98)"},
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
      {"replay id3.bin", ": id3.bin: no trace line"},
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

// A trace line is read whole or refused: one without its request, with a CDB of 17 bytes, with a
// word past its end.
TEST(Replay, TraceLinesAreReadWholeOrRefused) {
  const std::string tail = " in 1 timeout 2 -> error 0x1 ms 0";
  const std::string lines[] = {
      "trace: error 0x1 ms 0", "trace: cdb 00" + tail + " 0",
      "trace: cdb 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00" + tail};
  std::vector<TracedRequest> read;
  for (const std::string& line : lines) {
    const std::string said = "line 2 \"" + Shown(line) + "\": expected trace: cdb <hex bytes> ";
    EXPECT_EQ(ReadTrace("jmreader: \"\n" + line, &read).substr(0, said.size()), said);
  }
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

// What a run's status and error stream tell, over the built-in bridge (0x100 units): a device that
// goes away stops the dump at once (partial: 4); each failure line has its reason; a console made
// for the run waits for a key even with Y, and takes every key waiting (an arrow key's two codes
// too). The reason of a failed command names the device and says why: the system's text (with a
// hint for a time-out) or the bridge's verdict; a failed identify adds that the device is probably
// no such bridge, with what came back. Done and declined (0) and the other outcomes are in the
// jobs' tables.
TEST_F(ScenarioTest, StatusAndReasonOfEachOutcome) {
  WriteFileBytes("jm_nvram.bin", Pattern(512, 9));
  const std::string device = "jmreader: \\\\.\\PhysicalDrive1", noId = "Get fw version error!\n";
  auto identify = [&](const std::string& reason, const std::string& answer) {
    return (reason.empty() ? "" : device + ": " + reason + "\n") + device +
           " is probably not a JMicron bridge of this family: the identify command came back "
           "with " +
           answer + "\n";
  };
  const std::string partial = "Fw+nvram saved to jmSIM_01_02_A0_FF.partial.bin\n";
  // The scenario, the selection, the status, the end of standard output, the requests sent and
  // the error stream but for the files' lines.
  const std::tuple<std::string, const char*, int, std::string, std::size_t, std::string> cases[] = {
      {"fault identify ioctl 0x79", "1y", 4, noId, 1,
       identify("The semaphore timeout period has expired (the bridge did not answer within 2 s)",
                "\"The semaphore timeout period has expired\"")},
      {"fault identify ioctl 1", "1y", 4, noId, 1,
       identify("Incorrect function", "\"Incorrect function\"")},
      {"fault identify check 05 24 00", "1y", 4, noId, 1,
       identify("the bridge refused the command: illegal request",
                "\"illegal request\" (sense 5/24/00)")},
      {"fault identify short 15", "1y", 4, noId, 1, identify("", "15 of 16 bytes")},
      {"fault identify zero", "1y", 4, noId, 1, identify("", "16 zero bytes")},
      {"fault block 8 gone", "1y", 4,
       "IOCtl: failed 0x48f!\nFw block #8 read error\nDevice gone: 62 blocks not read\n" + partial,
       5,
       device + ": The device is not connected\n" + device +
           " went away during the dump: block #8 on and the NVRAM sector not read; connect the "
           "enclosure again and dump again\n"},
      {"fault block 8 short 100\nfault read-nvram short 500", "1y", 4, partial, 67,
       device + ": the bridge sent 100 of the 1024 bytes of block #8\n" + device +
           ": the bridge sent 500 of the sector's 512 bytes: a part is no sector\n"},
      {"fault write-nvram short 256", "1uy", 5, "Fw nvram update error\n", 5,
       device + ": the bridge took 256 of the sector's 512 bytes: the sector may now hold part of "
                "the new one\njmreader: jmSIM_01_02_A0_FF.nvram-before.bin holds the sector as it "
                "was: to write it back, copy it to jm_nvram.bin and update again\n"},
      {"descriptor 00 00 00 00", "1y", 4, "Fw empty!\n", 3,
       device + ": all 512 bytes read are zero: a file of zeros is no backup\n"},
      {"descriptor 00 00 00 00\nnvram 12 01", "1y", 1, "saved to jmSIM_01_02_A0_FF.bin\n", 3, ""},
      {"fault descriptor short 3", "1n", 4, "Fw empty!\n\nPress any key to exit\n", 2,
       device +
           ": the bridge sent 3 of the firmware length's 4 bytes: no firmware is read, no "
           "NVRAM address known\n" +
           device + ": no firmware to read (size 0), and with N nothing else: dump without N\n"},
      {"own-console\nkeys 224 72 113", "1y", 1, ".bin\n\nPress any key to exit\n", 67, ""},
  };
  for (const auto& [scenario, selection, status, tail, requests, errors] : cases) {
    ScenarioOutputs outputs;
    std::string error;
    ASSERT_TRUE(LoadScenarioText(scenario, "", &outputs, &error)) << error;
    const RunResult r = RunWith({selection});
    SCOPED_TRACE(scenario);
    EXPECT_EQ(std::tuple(r.status, r.output.substr(r.output.size() - tail.size()),
                         Sim().requests.size(), Sim().keys.size()),
              std::tuple(status, tail, requests, 0u));
    EXPECT_EQ(std::regex_replace(r.errors, std::regex("jmreader: (read|saved|kept) .*\n"), ""),
              errors);
  }
}

#if !defined(_WIN32)
std::string Text(const char* path) {
  Bytes b = ReadFileBytes(path);
  return std::string(b.begin(), b.end());
}

// Runs jmreader-sim over `scenario` with `args` and "1" typed; standard output goes to `name`, the
// error stream to `name`.err. Gives the exit status.
int RunSim(const std::string& scenario, const std::string& args, const std::string& name) {
  return std::system(("echo 1 | JMREADER_SIM=" + scenario + " '" JMREADER_SIM_PATH "' " + args +
                      " >" + name + " 2>" + name + ".err")
                         .c_str()) >>
         8;
}

// jmreader-sim as a process: a scenario file in; the dump and the request log out.
TEST_F(ScenarioTest, SimulatorRunsAScenarioFile) {
  WriteFileBytes("fw.bin", Pattern(1536, 6));
  std::ofstream("scenario.txt") << "drive 3 usb \"JMicron \" \"Generic\" bridge\n"
                                   "identity 01 00 00 00 00 00 00 00 53 49 4D 00 01 02 A0 FF\n"
                                   "descriptor 00 00 06 00\n"
                                   "firmware file fw.bin\n"
                                   "nvram 18 AA BB CC\n"
                                   "log requests.txt\n";
  ASSERT_EQ(RunSim("scenario.txt", "3y", "dump"), 1);
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
  ASSERT_EQ(RunSim(".", "1", "none"), 3);
  EXPECT_EQ(Text("none.err"), "jmreader-sim: . is not a regular file\n");
}

// A run with --trace, its standard error taken back as "replay" over a bridge without the faults:
// the same transcript, dump and trace. A run that departs from the trace, or goes past its end,
// is stopped with status 3.
TEST_F(ScenarioTest, TraceReplaysTheRunItTells) {
  std::ofstream("faults.txt") << "fault block 4 check 05 24 00\nfault block 8 stall\n"
                                 "fault read-nvram short 100\n";
  std::ofstream("replay.txt") << "replay run.err\n";
  WriteFileBytes("jm_nvram.bin", Bytes(512));
  auto trace = [](const char* path) {
    return std::regex_replace(Text(path), std::regex(" ms \\d+"), "");
  };
  ASSERT_EQ(RunSim("faults.txt", "--trace", "run"), 4);  // a partial dump
  ASSERT_EQ(RunSim("replay.txt", "--trace", "replayed"), 4);
  EXPECT_EQ(Text("replayed"), Text("run"));
  EXPECT_EQ(trace("replayed.err"), trace("run.err"));
  EXPECT_FALSE(std::filesystem::exists("jmSIM_01_02_A0_FF.partial.bin.~1~"));  // the same dump
  // The last line of the error stream.
  auto said = [](const char* path) {
    std::string text = Text(path);
    return text.substr(text.rfind('\n', text.size() - 2) + 1);
  };
  EXPECT_EQ(RunSim("replay.txt", "1uy", "update"), 3);
  EXPECT_EQ(said("update.err"),
            "jmreader-sim: replay run.err: request 3 is DF 10 00 02 00 00 00 00 01 0C 00 FA in "
            "512; the trace has 3C 01 01 00 00 00 00 04 00 00 in 1024 (line 3)\n");
  std::ofstream("run.err") << "trace: cdb E0 F4 E7 00 00 00 00 00 00 00 00 00 in 16 timeout 2 -> "
                              "status 0x00 sense - moved 16 ms 0\n";
  EXPECT_EQ(RunSim("replay.txt", "1y", "short"), 3);
  EXPECT_EQ(said("short.err"),
            "jmreader-sim: replay run.err: request 2 (3C 03 01 00 00 00 00 00 04 00 in 4) comes "
            "after the trace's 1 requests\n");
}

#endif

}  // namespace
