// bridge-emu: a JMicron-style USB bridge emulated on FunctionFS, for trying the tool through the
// kernel's real USB and SCSI stack (dummy_hcd) without the hardware.
#include <cstdio>
#include <string>

#include "tools/bridge-emu/ffs_device.h"
#include "tools/bridge-emu/options.h"
#include "tools/bridge-emu/target.h"
#include "tools/bridge-emu/uas_device.h"

int main(int argc, char** argv) {
  emu::Options options;
  std::string error;
  if (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::fputs(emu::kUsage, stdout);
    return 0;
  }
  if (!emu::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "bridge-emu: %s\n%s", error.c_str(), emu::kUsage);
    return 2;
  }
  static emu::Target target;
  if (!target.Configure(options, &error)) {
    std::fprintf(stderr, "bridge-emu: %s\n", error.c_str());
    return 1;
  }
  if (!target.SaveState()) {
    std::fprintf(stderr, "bridge-emu: cannot write the state into %s\n", options.stateDir.c_str());
    return 1;
  }
  return options.uas ? emu::RunUasDevice(options, target) : emu::RunDevice(options, target);
}
