// The simulated platform: a table of drives, one of which may be a bridge (sim::Bridge), a
// scripted console and a record of everything the tool asked of the platform.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "sim/replay.h"
#include "sim/sim_bridge.h"

struct SimDrive {
  std::int32_t number = 0;
  std::string vendor;
  std::string product;
  std::uint8_t bus = 0;
  // USB IDs (0:0 when the system tells none) and serial; a bridge on USB given none of them
  // reports 152d:0578 and serial 0123456789AB.
  std::uint16_t usbVendor = 0;
  std::uint16_t usbProduct = 0;
  std::string serial;
  bool bridge = false;            // pass-through requests go to the simulated bridge
  bool workingOpenFails = false;  // the exclusive open fails (another process holds the drive)
  bool queryFails = false;        // the identity query fails
};

// A request as handed to the platform.
struct SimRequest {
  std::vector<std::uint8_t> cdb;
  DataDirection direction;
  std::uint32_t length;
  std::uint32_t timeOutSeconds;
  std::vector<std::uint8_t> data;  // the data sent; empty for an inbound request
};

struct SimOpen {
  std::int32_t number;
  bool exclusive;
};

struct SimMachine {
  std::vector<SimDrive> drives;
  sim::Bridge bridge;
  OsVersion os = {10, 0, 19045, "Simulated"};

  bool console = false;            // without a console the key wait ends at once
  bool consoleOwnedByRun = false;  // a console made for this run: the end waits even with Y
  bool waits = false;    // a held command takes its time (jmreader-sim); tests only count it
  std::deque<int> keys;  // codes TakeKey hands out, oldest first

  std::vector<SimOpen> opens;
  int openHandles = 0;
  bool recordRequests = true;  // opens and requests; off for measurements, as recording allocates
  std::vector<SimRequest> requests;
  std::FILE* requestLog = nullptr;  // one line per request, when set
  // A trace replayed (when it holds any request): the requests the run must send, in order, and
  // how many it has sent.
  std::vector<TracedRequest> replay;
  std::string replayName;  // the trace file as the scenario names it
  std::size_t replayed = 0;
  int keyPolls = 0;
  int idlePolls = 0;  // polls in a row that found no key
};
inline constexpr int kIdlePollsBeforeHangUp = 20;

// A USB drive behind the simulated bridge, with the texts a JMicron bridge reports.
SimDrive SimBridgeDrive(std::int32_t number);

// The one simulated machine of the process.
SimMachine& Sim();
// Back to an empty machine (no drives, blank bridge, no console).
void SimReset();
