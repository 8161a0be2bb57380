// One full dump (identify, descriptor, firmware blocks, NVRAM sector, file) against the
// zero-latency simulated bridge: CPU time per dump and per exchange, and heap allocations per
// dump, which must not depend on the firmware length because the tool's logic uses no heap.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/run.h"
#include "base/console.h"
#include "bridge/passthrough.h"
#include "sim/platform_sim.h"

// Every heap allocation of the process goes through these (operator new calls malloc); only
// those made while a dump runs are counted.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
}

namespace {
bool g_counting = false;
long g_allocations = 0;
}  // namespace

extern "C" void* malloc(std::size_t size) {
  g_allocations += g_counting ? 1 : 0;
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  g_allocations += g_counting ? 1 : 0;
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
  g_allocations += g_counting ? 1 : 0;
  return __libc_realloc(p, size);
}
extern "C" void free(void* p) {
  __libc_free(p);
}

namespace {

constexpr std::uint16_t kUnits128KiB = 0x200;
const char* const kArgv[] = {"jmreader", "1", nullptr};

// A bridge on drive 1 whose descriptor reports `units` 256-byte units of firmware, with a
// non-zero NVRAM sector where the dump will look for it.
void SetUpBridge(std::uint16_t units) {
  SimReset();
  SimMachine& m = Sim();
  m.recordRequests = false;
  m.drives.push_back(SimBridgeDrive(1));
  m.bridge.identity = {0x11, 0, 0, 0, 0, 0, 0, 0, 'B', 'E', 'N', 0, 0x01, 0x02, 0xA0, 0xFF};
  m.bridge.descriptor = {0, static_cast<std::uint8_t>(units >> 8), static_cast<std::uint8_t>(units),
                         0};
  m.bridge.SetFirmwarePattern(0x20000, 7);
  sim::NvramSector& sector = m.bridge.nvram[units + 12u];
  for (std::size_t i = 0; i < sector.size(); ++i) {
    sector[i] = static_cast<std::uint8_t>(i * 5 + 1);
  }
}

// One dump; the opens list of the simulator is emptied first so it never has to grow.
int Dump() {
  Sim().opens.clear();
  return RunTool(2, kArgv);
}

// The exchanges one dump makes, counted once with request recording on.
std::size_t ExchangesPerDump() {
  Sim().recordRequests = true;
  Sim().requests.clear();
  Dump();
  std::size_t n = Sim().requests.size();
  Sim().requests.clear();
  Sim().requests.shrink_to_fit();
  Sim().recordRequests = false;
  return n;
}

long AllocationsPerDump(std::uint16_t units) {
  SetUpBridge(units);
  Dump();  // warm-up: stdio buffers and the simulator's containers reach their size
  g_allocations = 0;
  g_counting = true;
  Dump();
  g_counting = false;
  return g_allocations;
}

void BM_FullDump(benchmark::State& state) {
  std::uint16_t units = static_cast<std::uint16_t>(state.range(0));
  SetUpBridge(units);
  std::size_t exchanges = ExchangesPerDump();
  long allocations = 0;
  for (auto _ : state) {
    g_allocations = 0;
    g_counting = true;
    int status = Dump();
    g_counting = false;
    allocations += g_allocations;
    if (status != 0) {
      state.SkipWithError("the dump run failed");
      break;
    }
  }
  state.counters["exchanges"] = static_cast<double>(exchanges);
  state.counters["per_exchange"] = benchmark::Counter(
      static_cast<double>(exchanges),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (units * 256 + 512));
}
BENCHMARK(BM_FullDump)->Arg(0)->Arg(kUnits128KiB)->Unit(benchmark::kMicrosecond);

// One 1024-byte firmware block read, the exchange a dump makes 128 times.
void BM_FirmwareBlockExchange(benchmark::State& state) {
  SetUpBridge(kUnits128KiB);
  DriveHandle drive = PlatformOpenDrive(1, true).drive;
  const std::uint8_t cdb[10] = {0x3C, 0x01, 0x01, 0, 4, 0, 0, 0x04, 0x00, 0};
  static std::uint8_t block[1024];
  for (auto _ : state) {
    bool ok =
        SendPassThroughRequest(drive, cdb, sizeof cdb, DataDirection::kIn, sizeof block, block);
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  PlatformCloseDrive(drive);
}
BENCHMARK(BM_FirmwareBlockExchange);

}  // namespace

int main(int argc, char** argv) {
  // Dumps are written to a scratch directory; the console goes nowhere.
  char dir[] = "/tmp/jmreader_bench_XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
    std::perror("jmreader bench: scratch directory");
    return 2;
  }
  std::FILE* out = std::fopen("/dev/null", "w");
  std::FILE* in = std::fopen("/dev/null", "r");
  SetConsoleStreams(out, in);

  // The measured run must be a real dump: check the file once for both lengths.
  bool ok = true;
  for (std::uint16_t units : {std::uint16_t{0}, kUnits128KiB}) {
    SetUpBridge(units);
    std::filesystem::remove("jmBEN_01_02_A0_FF.bin");
    int status = Dump();
    std::error_code ec;
    auto size = std::filesystem::file_size("jmBEN_01_02_A0_FF.bin", ec);
    if (status != 0 || ec || size != units * 256u + 512u) {
      std::fprintf(stderr, "dump of %u units: status %d, file %s, %ju bytes\n", units, status,
                   ec ? "missing" : "present", static_cast<std::uintmax_t>(ec ? 0 : size));
      ok = false;
    }
  }

  long small = AllocationsPerDump(0);
  long large = AllocationsPerDump(kUnits128KiB);
  std::printf("heap allocations per dump: 0 KiB firmware %ld, 128 KiB firmware %ld%s\n", small,
              large, small == large ? "" : "  <- DIFFERENT");
  std::fflush(stdout);
  ok = ok && small == large;

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  SetConsoleStreams(nullptr, nullptr);
  std::fclose(out);
  std::fclose(in);
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
