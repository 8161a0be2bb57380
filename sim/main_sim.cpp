// jmreader over the simulated platform: the same run, with drives and a bridge from a scenario
// file named by JMREADER_SIM (or the built-in one).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/run.h"
#include "base/console.h"
#include "sim/platform_sim.h"
#include "sim/scenario.h"

namespace {

const ProgramText kSimText = {
    "jmreader-sim",
    "jmreader over a simulated machine, for trying every path without hardware: the drives,\n"
    "the bridge and its faults come from the scenario file named by the environment variable\n"
    "JMREADER_SIM (without it: drive 0 a SATA disk, drive 1 a bridge). It needs no rights and\n"
    "touches no drive; its files are real files in the current folder.\n",
    "  3   the scenario file, or a file it names, could not be read or written, or the run\n"
    "      sent a request that a replayed trace does not hold next\n"};

int Refuse(const std::string& what) {
  std::fprintf(stderr, "jmreader-sim: %s\n", what.c_str());
  return kExitBadScenario;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName(kSimText.name);
  ScenarioOutputs outputs;
  const char* path = std::getenv("JMREADER_SIM");
  // Help and options need no machine; a selection and a device path are looked up in it.
  const int first = 1 + TraceArguments(argc, argv);
  ArgumentKind kind = argc <= first ? ArgumentKind::kSelection : ClassifyArgument(argv[first]);
  bool machine = kind == ArgumentKind::kSelection || kind == ArgumentKind::kDevicePath;
  if (machine && path != nullptr && *path != '\0') {
    std::string error;
    if (!LoadScenarioFile(path, &outputs, &error)) {
      return Refuse(error);
    }
  } else {
    LoadDefaultScenario();
  }
  Sim().waits = true;
  if (!outputs.requestLog.empty()) {
    Sim().requestLog = std::fopen(outputs.requestLog.c_str(), "w");
    if (Sim().requestLog == nullptr) {
      return Refuse("cannot write " + outputs.requestLog);
    }
  }
  int status = RunTool(argc, argv, kSimText);
  if (Sim().replayed < Sim().replay.size()) {
    std::fprintf(stderr, "jmreader-sim: replay %s: the run sent %zu of the trace's %zu requests\n",
                 Sim().replayName.c_str(), Sim().replayed, Sim().replay.size());
  }
  if (Sim().requestLog != nullptr) {
    std::fclose(Sim().requestLog);
  }
  if (!outputs.nvramOut.empty() && !SaveNvramStore(outputs.nvramOut.c_str())) {
    return Refuse("cannot write " + outputs.nvramOut);
  }
  if (!outputs.state.empty() && !SaveState(outputs.state, Sim().bridge)) {
    return Refuse("cannot write " + outputs.state);
  }
  return status;
}
