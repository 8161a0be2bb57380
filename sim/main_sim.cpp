// jmreader over the simulated platform: the same run, with drives and a bridge from a scenario
// file named by JMREADER_SIM (or the built-in one).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/run.h"
#include "sim/platform_sim.h"
#include "sim/scenario.h"

int main(int argc, char** argv) {
  ScenarioOutputs outputs;
  const char* path = std::getenv("JMREADER_SIM");
  if (path != nullptr && *path != '\0') {
    std::string error;
    if (!LoadScenarioFile(path, &outputs, &error)) {
      std::fprintf(stderr, "jmreader-sim: %s\n", error.c_str());
      return 2;
    }
  } else {
    LoadDefaultScenario();
  }
  if (!outputs.requestLog.empty()) {
    Sim().requestLog = std::fopen(outputs.requestLog.c_str(), "w");
    if (Sim().requestLog == nullptr) {
      std::fprintf(stderr, "jmreader-sim: cannot write %s\n", outputs.requestLog.c_str());
      return 2;
    }
  }
  int status = RunTool(argc, argv);
  if (Sim().requestLog != nullptr) {
    std::fclose(Sim().requestLog);
  }
  if (!outputs.nvramOut.empty() && !SaveNvramStore(outputs.nvramOut.c_str())) {
    std::fprintf(stderr, "jmreader-sim: cannot write %s\n", outputs.nvramOut.c_str());
    return 2;
  }
  return status;
}
