#include "sim/platform_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/byteorder.h"
#include "bridge/passthrough.h"

namespace {

SimMachine* g_machine = nullptr;

// Handles are 1000 + the drive's index, so a stale or foreign handle shows.
constexpr DriveHandle kHandleBase = 1000;

SimDrive* DriveOf(DriveHandle handle) {
  SimMachine& m = Sim();
  DriveHandle index = handle - kHandleBase;
  if (index < 0 || index >= static_cast<DriveHandle>(m.drives.size())) {
    return nullptr;
  }
  return &m.drives[static_cast<std::size_t>(index)];
}

void LogRequest(std::FILE* log, const std::uint8_t* block, const PassThroughLayout& layout) {
  std::uint8_t cdbLength = block[kCdbLengthAt];
  std::uint32_t n = GetLe(block + kDataTransferLengthAt, 4);
  bool in = block[kDataInAt] == 1;
  for (int i = 0; i < cdbLength && i < 16; ++i) {
    std::fprintf(log, "%02X", block[layout.cdbAt + i]);
  }
  std::fprintf(log, " %s %u", in ? "in" : "out", n);
  if (!in && n > 0) {
    std::fputc(' ', log);
    const std::uint8_t* data = block + layout.headerSize + kSenseAreaSize;
    for (std::uint32_t i = 0; i < n; ++i) {
      std::fprintf(log, "%02X", data[i]);
    }
  }
  std::fputc('\n', log);
  std::fflush(log);
}

}  // namespace

SimMachine& Sim() {
  if (g_machine == nullptr) {
    g_machine = new SimMachine();
  }
  return *g_machine;
}

void SimReset() {
  Sim() = SimMachine();
}

SimDrive SimBridgeDrive(std::int32_t number) {
  SimDrive d;
  d.number = number;
  d.vendor = "JMicron ";
  d.product = "Generic         ";
  d.bus = 7;
  d.bridge = true;
  return d;
}

DriveHandle PlatformOpenDrive(std::int32_t number, bool exclusive) {
  SimMachine& m = Sim();
  if (m.recordRequests) {
    m.opens.push_back({number, exclusive});
  }
  m.failure = {};
  for (std::size_t i = 0; i < m.drives.size(); ++i) {
    const SimDrive& d = m.drives[i];
    if (d.number == number) {
      if (exclusive && d.workingOpenFails) {
        m.failure = {true, true, number};
        return kInvalidDriveHandle;
      }
      ++m.openHandles;
      return kHandleBase + static_cast<DriveHandle>(i);
    }
  }
  m.failure = {true, true, number};
  return kInvalidDriveHandle;
}

void PlatformCloseDrive(DriveHandle drive) {
  if (DriveOf(drive) != nullptr) {
    --Sim().openHandles;
  }
}

bool PlatformQueryDescriptor(DriveHandle drive, std::uint8_t* area, std::uint32_t* returned) {
  const SimDrive* d = DriveOf(drive);
  Sim().failure = {};
  if (d == nullptr || d->queryFails) {
    Sim().failure = {d != nullptr, false, d != nullptr ? d->number : 0};
    return false;
  }
  if (!d->rawDescriptor.empty()) {
    std::size_t n = d->rawDescriptor.size() < kDescriptorAreaSize ? d->rawDescriptor.size()
                                                                  : kDescriptorAreaSize;
    std::memcpy(area, d->rawDescriptor.data(), n);
    *returned = d->rawReturned;
    return true;
  }
  // The STORAGE_DEVICE_DESCRIPTOR layout, texts behind the header; an empty text is
  // given as offset 0, as Windows does for a missing one.
  std::uint32_t at = kDescriptorHeaderSize;
  auto place = [&](const std::string& text, std::uint32_t field) {
    if (text.empty() || at + text.size() + 1 > kDescriptorAreaSize) {
      return;
    }
    PutLe(area + field, at, 4);
    std::memcpy(area + at, text.data(), text.size());
    at += static_cast<std::uint32_t>(text.size()) + 1;
  };
  place(d->vendor, kVendorIdOffsetField);
  place(d->product, kProductIdOffsetField);
  PutLe(area + 0, kDescriptorHeaderSize, 4);  // Version
  PutLe(area + 4, at, 4);                     // Size
  PutLe(area + kBusTypeField, d->bus, 4);
  *returned = at;
  return true;
}

void PlatformDriveName(DriveHandle drive, char* text, std::uint32_t size) {
  const SimDrive* d = DriveOf(drive);
  if (d != nullptr) {
    SimDrivePath(d->number, text, size);
  } else {
    std::snprintf(text, size, "drive handle %ld", static_cast<long>(drive));
  }
}

const PassThroughLayout& PlatformPassThroughLayout() {
  return Sim().layout;
}

bool PlatformPassThrough(DriveHandle drive, std::uint8_t* block, std::uint32_t length,
                         std::uint32_t* error) {
  SimMachine& m = Sim();
  const PassThroughLayout& layout = m.layout;
  if (m.recordRequests) {
    m.requests.push_back({std::vector<std::uint8_t>(block, block + length)});
  }
  if (m.requestLog != nullptr) {
    LogRequest(m.requestLog, block, layout);
  }
  const SimDrive* d = DriveOf(drive);
  if (d == nullptr) {
    *error = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  if (!d->bridge) {
    *error = 1;  // ERROR_INVALID_FUNCTION: a disk that does not take the bridge's commands
    return false;
  }

  // Decode the block as the device side of a pass-through sees it.
  sim::Exchange x;
  x.cdbLength = block[kCdbLengthAt];
  if (x.cdbLength > 16) {
    *error = 87;  // ERROR_INVALID_PARAMETER
    return false;
  }
  std::memcpy(x.cdb, block + layout.cdbAt, x.cdbLength);
  x.dataLength = GetLe(block + kDataTransferLengthAt, 4);
  std::uint32_t dataAt = GetLe(block + layout.dataBufferOffsetAt, 4);
  std::uint32_t senseAt = GetLe(block + layout.senseInfoOffsetAt, 4);
  std::uint32_t senseLength = block[kSenseInfoLengthAt];
  if (dataAt > length || x.dataLength > length - dataAt || senseAt > length ||
      senseLength > length - senseAt) {
    *error = 87;
    return false;
  }
  x.direction = x.dataLength == 0       ? sim::Direction::kNone
                : block[kDataInAt] == 1 ? sim::Direction::kIn
                                        : sim::Direction::kOut;
  x.data = block + dataAt;
  m.bridge.Execute(x);
  if (x.transportError) {
    *error = x.errorCode;
    return false;
  }
  if (x.stallMs > 0) {
    if (x.stallMs >= std::uint64_t{GetLe(block + kTimeOutValueAt, 4)} * 1000) {
      *error = 121;  // ERROR_SEM_TIMEOUT, as a USB time-out shows on Windows
      return false;
    }
    // The device answers late but within the time-out: the command runs as it would have.
    sim::Bridge held = m.bridge;
    m.bridge.commandFaults = {};
    m.bridge.blockFaults.clear();
    m.bridge.Execute(x);
    held.nvram = m.bridge.nvram;
    m.bridge = held;
  }
  block[kScsiStatusAt] = x.status;
  PutLe(block + kDataTransferLengthAt, x.transferred, 4);  // the count moved, as Windows reports it
  std::uint32_t senseCopy = x.senseLength < senseLength ? x.senseLength : senseLength;
  std::memcpy(block + senseAt, x.sense, senseCopy);
  return true;
}

void PlatformQueryOsVersion(OsVersion* version) {
  *version = Sim().os;
}

KeyPoll PlatformPollKey(int waitMs) {
  SimMachine& m = Sim();
  ++m.keyPolls;
  if (!m.console) {
    return KeyPoll::kNoConsole;
  }
  (void)waitMs;
  if (!m.keys.empty()) {
    m.idlePolls = 0;
    return KeyPoll::kWaiting;
  }
  // A scripted console that has run out of keys hangs up, so a test cannot wait forever.
  if (++m.idlePolls > kIdlePollsBeforeHangUp) {
    m.console = false;
    return KeyPoll::kNoConsole;
  }
  return KeyPoll::kNone;
}

int PlatformTakeKey() {
  SimMachine& m = Sim();
  if (!m.console || m.keys.empty()) {
    return -1;  // a scripted console that has run dry cannot be waited on
  }
  int code = m.keys.front();
  m.keys.pop_front();
  return code;
}

void PlatformRestoreConsole() {}
