// A trace taken back: the requests that a run made with --trace told, and what came of each, for
// jmreader-sim to answer a run with them in their order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct TracedRequest {
  std::vector<std::uint8_t> cdb;
  DataDirection direction;
  std::uint32_t length;
  PassThroughResult result;  // sent: status, sense and moved; else the error and the time-out
  int line;                  // in the trace file
};

// Reads the trace lines of `text` into `requests`; lines that are no trace line (the banner, the
// tool's other lines, a shell prompt) are skipped. "" when read, else what is wrong, with the line
// number.
std::string ReadTrace(const std::string& text, std::vector<TracedRequest>* requests);

// The answer to `request`, which the simulated bridge has run, while a trace is replayed: the
// traced status, sense and bytes moved (the data is the bridge's, inbound bytes past those moved
// zero), or the traced failure. A request that is not the next traced one ends the run: a
// message and exit status 3.
PassThroughResult Replay(const PassThroughRequest& request);
