#include "sim/replay.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/platform_sim.h"
#include "sim/platform_sim_errors.h"
#include "sim/scenario.h"
#include "sim/scenario_files.h"

namespace {

// The words of a line, split at blanks alone: the tool's other lines may hold quotes and "#".
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  for (std::size_t at = line.find_first_not_of(" \t"); at != std::string::npos;) {
    std::size_t end = line.find_first_of(" \t", at);
    words.push_back(line.substr(at, end - at));
    at = line.find_first_not_of(" \t", end);
  }
  return words;
}

// Reads the words of one trace line from "cdb" on, as FormatTraceLine writes them.
struct TraceWords {
  const std::vector<std::string>& w;
  std::size_t at;

  bool Is(const char* word) { return at < w.size() && w[at] == word && ++at > 0; }
  bool Number(unsigned long long max, std::uint32_t* value) {
    unsigned long long v = 0;
    if (at >= w.size() || !ParseNumber(w[at], max, &v)) {
      return false;
    }
    *value = static_cast<std::uint32_t>(v);
    return ++at > 0;
  }
  // Hex bytes up to the next word that is none, at least one and at most `most`.
  bool HexBytes(std::size_t most, std::uint8_t* bytes, std::size_t* count) {
    for (*count = 0; at < w.size() && *count < most && HexByte(w[at], &bytes[*count]); ++at) {
      ++*count;
    }
    return *count > 0;
  }

  bool Request(TracedRequest* r) {
    std::uint8_t cdb[kMaxCdbLength];
    std::size_t cdbLength = 0;
    std::uint32_t timeOut = 0;
    if (!Is("cdb") || !HexBytes(kMaxCdbLength, cdb, &cdbLength)) {
      return false;
    }
    r->cdb.assign(cdb, cdb + cdbLength);
    const bool in = Is("in");
    r->direction = in ? DataDirection::kIn : DataDirection::kOut;
    return (in || Is("out")) && Number(0xFFFFFFFF, &r->length) && Is("timeout") &&
           Number(0xFFFFFFFF, &timeOut) && Is("->");
  }

  bool Result(PassThroughResult* result) {
    std::uint32_t value = 0;
    std::size_t senseLength = 0;
    *result = {};
    if (Is("error")) {
      if (!Number(0xFFFFFFFF, &result->error)) {
        return false;
      }
      result->timedOut = Is("timed-out");
      result->deviceGone = Is("gone");
      SimErrorText(result->error, result->errorText, sizeof result->errorText);
    } else {
      result->sent = Is("status") && Number(0xFF, &value) && Is("sense") &&
                     (Is("-") || HexBytes(kSenseSize, result->sense, &senseLength)) &&
                     Is("moved") && Number(0xFFFFFFFF, &result->moved);
      result->status = static_cast<std::uint8_t>(value);
      if (!result->sent) {
        return false;
      }
    }
    return Is("ms") && Number(0xFFFFFFFF, &value) && at == w.size();
  }
};

std::string Described(const std::vector<std::uint8_t>& cdb, DataDirection direction,
                      std::uint32_t length) {
  std::string text;
  char hex[4];
  for (std::uint8_t b : cdb) {
    std::snprintf(hex, sizeof hex, "%02X ", b);
    text += hex;
  }
  return text + (direction == DataDirection::kIn ? "in " : "out ") + std::to_string(length);
}

}  // namespace

std::string ReadTrace(const std::string& text, std::vector<TracedRequest>* requests) {
  requests->clear();
  int number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::string line = NextLine(text, &at);
    ++number;
    const std::vector<std::string> w = Words(line);
    // "trace:", after the name of the program that wrote it.
    const std::size_t first = !w.empty() && w[0] != "trace:" && w[0].back() == ':' ? 1 : 0;
    if (first >= w.size() || w[first] != "trace:") {
      continue;
    }
    TracedRequest r = {};
    r.line = number;
    TraceWords words{w, first + 1};
    if (!words.Request(&r) || !words.Result(&r.result)) {
      return "line " + std::to_string(number) + " \"" + Shown(line) +
             "\": expected trace: cdb <hex bytes> in|out <length> timeout <s> -> status <n> sense "
             "-|<hex bytes> moved <bytes> ms <n>, or -> error <code> [timed-out] [gone] ms <n>";
    }
    requests->push_back(r);
  }
  return requests->empty() ? "no trace line" : "";
}

PassThroughResult Replay(const PassThroughRequest& request) {
  SimMachine& m = Sim();
  const std::vector<std::uint8_t> cdb(request.cdb, request.cdb + request.cdbLength);
  const std::string sent = Described(cdb, request.direction, request.length);
  const std::size_t index = m.replayed++;
  if (index >= m.replay.size()) {
    std::fprintf(stderr,
                 "jmreader-sim: replay %s: request %zu (%s) comes after the trace's %zu requests\n",
                 m.replayName.c_str(), index + 1, sent.c_str(), m.replay.size());
    std::exit(kExitBadScenario);
  }
  const TracedRequest& traced = m.replay[index];
  if (traced.cdb != cdb || traced.direction != request.direction ||
      traced.length != request.length) {
    std::fprintf(stderr, "jmreader-sim: replay %s: request %zu is %s; the trace has %s (line %d)\n",
                 m.replayName.c_str(), index + 1, sent.c_str(),
                 Described(traced.cdb, traced.direction, traced.length).c_str(), traced.line);
    std::exit(kExitBadScenario);
  }
  // The bridge's data came with the answer; what the trace says was not moved is not there.
  const PassThroughResult& result = traced.result;
  if (result.sent && request.direction == DataDirection::kIn && result.moved < request.length) {
    std::memset(request.data + result.moved, 0, request.length - result.moved);
  }
  return result;
}
