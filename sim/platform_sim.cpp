#include "sim/platform_sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/platform_sim_errors.h"

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

const SimDrive* DriveNumbered(std::int32_t number) {
  for (const SimDrive& d : Sim().drives) {
    if (d.number == number) {
      return &d;
    }
  }
  return nullptr;
}

DriveError DriveErrorOf(std::int32_t number, DriveFault fault, std::uint32_t code) {
  DriveError error = {fault, {}, {}};
  SimDrivePath(number, error.device, sizeof error.device);
  SimErrorText(code, error.text, sizeof error.text);
  return error;
}

PassThroughResult Unsent(std::uint32_t code) {
  PassThroughResult result = {};
  result.error = code;
  result.timedOut = code == kErrorSemTimeout;  // as a USB time-out shows on Windows
  result.deviceGone = code == kErrorDeviceNotConnected || code == kErrorNoSuchDevice;
  SimErrorText(code, result.errorText, sizeof result.errorText);
  return result;
}

void LogRequest(std::FILE* log, const PassThroughRequest& request) {
  bool in = request.direction == DataDirection::kIn;
  for (int i = 0; i < request.cdbLength && i < 16; ++i) {
    std::fprintf(log, "%02X", request.cdb[i]);
  }
  std::fprintf(log, " %s %u", in ? "in" : "out", request.length);
  if (!in && request.length > 0) {
    std::fputc(' ', log);
    for (std::uint32_t i = 0; i < request.length; ++i) {
      std::fprintf(log, "%02X", request.data[i]);
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
  d.bus = kBusTypeUsb;
  d.bridge = true;
  return d;
}

const char kPlatformRightsHint[] = " (run as administrator)";

DriveOpening PlatformOpenDrive(std::int32_t number, bool exclusive) {
  SimMachine& m = Sim();
  if (m.recordRequests) {
    m.opens.push_back({number, exclusive});
  }
  for (std::size_t i = 0; i < m.drives.size(); ++i) {
    const SimDrive& d = m.drives[i];
    if (d.number == number) {
      if (exclusive && d.workingOpenFails) {
        return {kInvalidDriveHandle,
                DriveErrorOf(number, DriveFault::kBusy, kErrorSharingViolation)};
      }
      ++m.openHandles;
      return {kHandleBase + static_cast<DriveHandle>(i), {}};
    }
  }
  return {kInvalidDriveHandle, DriveErrorOf(number, DriveFault::kNoDrive, kErrorFileNotFound)};
}

void PlatformCloseDrive(DriveHandle drive) {
  if (DriveOf(drive) != nullptr) {
    --Sim().openHandles;
  }
}

DriveError PlatformQueryDrive(DriveHandle drive, DriveIdentity* identity) {
  std::memset(identity, 0, sizeof *identity);
  const SimDrive* d = DriveOf(drive);
  if (d == nullptr) {
    return DriveErrorOf(-1, DriveFault::kFailed, kErrorInvalidHandle);  // a stale handle
  }
  if (d->queryFails) {
    return DriveErrorOf(d->number, DriveFault::kFailed, kErrorInvalidFunction);
  }
  // The texts as a Windows descriptor area holds them, behind its 40-byte header: one that would
  // run past the area's end is left out.
  std::size_t room = kIdentityTextSize - 40;
  auto place = [&room](const std::string& text, char* into) {
    if (!text.empty() && text.size() < room) {
      std::snprintf(into, kIdentityTextSize, "%s", text.c_str());
      room -= text.size() + 1;
    }
  };
  place(d->vendor, identity->vendor);
  place(d->product, identity->product);
  // A bridge on USB that was given none has the IDs and a serial of a JMicron bridge.
  const bool bridgeDefaults = d->bridge && d->bus == kBusTypeUsb && d->usbVendor == 0 &&
                              d->usbProduct == 0 && d->serial.empty();
  place(bridgeDefaults ? "0123456789AB" : d->serial, identity->serial);
  identity->bus = d->bus;
  identity->usbIdsKnown = bridgeDefaults || d->usbVendor != 0 || d->usbProduct != 0;
  identity->usbVendor = bridgeDefaults ? 0x152D : d->usbVendor;
  identity->usbProduct = bridgeDefaults ? 0x0578 : d->usbProduct;
  return {};
}

void PlatformDriveName(DriveHandle drive, char* text, std::uint32_t size) {
  const SimDrive* d = DriveOf(drive);
  if (d != nullptr) {
    SimDrivePath(d->number, text, size);
  } else {
    std::snprintf(text, size, "drive handle %ld", static_cast<long>(drive));
  }
}

PathDrive PlatformDriveOfPath(const char* path, std::int32_t* number, char* text,
                              std::uint32_t size) {
  int n = 0;
  int end = 0;
  if (std::sscanf(path, "\\\\.\\PhysicalDrive%d%n", &n, &end) != 1 || path[end] != '\0' || n < 0) {
    std::snprintf(text, size, "not a \\\\.\\PhysicalDriveN drive");
    return PathDrive::kNoDrive;
  }
  if (DriveNumbered(n) == nullptr) {
    SimErrorText(kErrorFileNotFound, text, size);
    return PathDrive::kNoDrive;
  }
  *number = n;
  SimDrivePath(n, text, size);
  return PathDrive::kDrive;
}

namespace {

// The simulated bridge's answer to `request` on `drive`.
PassThroughResult Answer(DriveHandle drive, const PassThroughRequest& request) {
  SimMachine& m = Sim();
  const SimDrive* d = DriveOf(drive);
  if (d == nullptr) {
    return Unsent(kErrorInvalidHandle);
  }
  if (!d->bridge) {
    return Unsent(kErrorInvalidFunction);  // a disk that does not take the bridge's commands
  }
  if (request.cdbLength > 16 || (request.length > 0 && request.data == nullptr)) {
    return Unsent(kErrorInvalidParameter);
  }

  // The command as the device side of a pass-through sees it.
  sim::Exchange x;
  x.cdbLength = request.cdbLength;
  std::memcpy(x.cdb, request.cdb, x.cdbLength);
  x.dataLength = request.length;
  x.direction = x.dataLength == 0                         ? sim::Direction::kNone
                : request.direction == DataDirection::kIn ? sim::Direction::kIn
                                                          : sim::Direction::kOut;
  x.data = request.data;
  m.bridge.Execute(x);
  if (x.transportError) {
    return Unsent(x.deviceGone ? kErrorDeviceNotConnected : x.errorCode);
  }
  if (x.stallMs > 0) {
    const std::uint64_t limit = std::uint64_t{request.timeOutSeconds} * 1000;
    if (m.waits) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::min<std::uint64_t>(x.stallMs, limit)));
    }
    if (x.stallMs >= limit) {
      return Unsent(kErrorSemTimeout);
    }
    // The device answers late but within the time-out: the command runs as it would have.
    m.bridge.ExecuteWithoutFaults(x);
  }
  PassThroughResult result = {};
  result.sent = true;
  result.status = x.status;
  result.moved = x.transferred;
  std::memcpy(result.sense, x.sense, x.senseLength < kSenseSize ? x.senseLength : kSenseSize);
  return result;
}

}  // namespace

PassThroughResult PlatformPassThrough(DriveHandle drive, const PassThroughRequest& request) {
  SimMachine& m = Sim();
  if (m.recordRequests) {
    bool out = request.direction == DataDirection::kOut && request.data != nullptr;
    std::uint8_t cdbLength = request.cdbLength < 16 ? request.cdbLength : 16;
    m.requests.push_back(
        {std::vector<std::uint8_t>(request.cdb, request.cdb + cdbLength), request.direction,
         request.length, request.timeOutSeconds,
         out ? std::vector<std::uint8_t>(request.data, request.data + request.length)
             : std::vector<std::uint8_t>()});
  }
  if (m.requestLog != nullptr) {
    LogRequest(m.requestLog, request);
  }
  const PassThroughResult result = Answer(drive, request);
  return m.replay.empty() ? result : Replay(request);
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

bool PlatformConsoleOwnedByRun() {
  return Sim().consoleOwnedByRun;
}
