#include "tools/bridge-emu/uas_device.h"

#include "base/byteorder.h"
#include "tools/bridge-emu/usb_io.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace emu {

namespace {

constexpr std::uint8_t kClassMassStorage = 0x08;
constexpr std::uint8_t kSubclassScsi = 0x06;
constexpr std::uint8_t kProtocolBulkOnly = 0x50;
constexpr std::uint8_t kProtocolUas = 0x62;
constexpr std::uint8_t kDescriptorPipeUsage = 0x24;
constexpr std::uint8_t kConfigurationValue = 1;

// Information unit identifiers and their layouts (USB Attached SCSI).
constexpr std::uint8_t kIuCommand = 0x01;
constexpr std::uint8_t kIuSense = 0x03;
constexpr std::uint8_t kIuResponse = 0x04;
constexpr std::uint8_t kIuTaskManagement = 0x05;
constexpr std::uint8_t kIuReadReady = 0x06;
constexpr std::uint8_t kIuWriteReady = 0x07;
constexpr std::size_t kCommandIuCdbAt = 16;
constexpr std::size_t kSenseIuHeader = 16;
constexpr std::uint8_t kResponseTmfComplete = 0x00;
constexpr std::uint8_t kResponseInvalidIu = 0x02;

// The four pipes of the UAS alternate setting: endpoint address, pipe usage ID, and the file
// name dummy_udc gives that endpoint under gadgetfs. Alt 0 (Bulk-Only) names the first two.
struct Pipe {
  std::uint8_t address;
  std::uint8_t usage;
  const char* file;
};
constexpr Pipe kCommandPipe = {0x02, 1, "ep2out-bulk"};
constexpr Pipe kStatusPipe = {0x81, 2, "ep1in-bulk"};
constexpr Pipe kDataInPipe = {0x86, 3, "ep6in-bulk"};
constexpr Pipe kDataOutPipe = {0x07, 4, "ep7out-bulk"};
constexpr Pipe kPipes[] = {kCommandPipe, kStatusPipe, kDataInPipe, kDataOutPipe};
constexpr std::uint16_t kHighSpeedPacket = 512;

std::string g_dir;
int g_ep0 = -1;
int g_fds[4] = {-1, -1, -1, -1};  // by kPipes index
std::atomic<bool> g_configured{false};
bool g_verbose = false;

int CommandFd() {
  return g_fds[0];
}
int StatusFd() {
  return g_fds[1];
}
int DataInFd() {
  return g_fds[2];
}
int DataOutFd() {
  return g_fds[3];
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address, std::uint16_t maxPacket) {
  out.insert(out.end(), {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
  PutLe16(out, maxPacket);
  out.push_back(0);
}

// One configuration, one interface: alt 0 Bulk-Only, alt 1 UAS with its four pipes.
std::vector<std::uint8_t> Configuration(std::uint16_t maxPacket) {
  std::vector<std::uint8_t> out = {9, USB_DT_CONFIG, 0, 0, 1, kConfigurationValue, 0, 0xC0, 1};
  out.insert(out.end(), {9, USB_DT_INTERFACE, 0, 0, 2, kClassMassStorage, kSubclassScsi,
                         kProtocolBulkOnly, 0});
  PutEndpoint(out, kStatusPipe.address, maxPacket);
  PutEndpoint(out, kCommandPipe.address, maxPacket);
  out.insert(out.end(),
             {9, USB_DT_INTERFACE, 0, 1, 4, kClassMassStorage, kSubclassScsi, kProtocolUas, 0});
  for (const Pipe& pipe : kPipes) {
    PutEndpoint(out, pipe.address, maxPacket);
    out.insert(out.end(), {4, kDescriptorPipeUsage, pipe.usage, 0});
  }
  out[2] = static_cast<std::uint8_t>(out.size());
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

// What gadgetfs takes on dummy_udc: tag 0, the full- and high-speed configurations, the device.
std::vector<std::uint8_t> GadgetSetup() {
  std::vector<std::uint8_t> out = {0, 0, 0, 0};
  for (std::uint16_t maxPacket : {std::uint16_t{64}, kHighSpeedPacket}) {
    std::vector<std::uint8_t> config = Configuration(maxPacket);
    out.insert(out.end(), config.begin(), config.end());
  }
  out.insert(out.end(), {18, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64, 0x2D, 0x15, 0x78, 0x05, 0x08,
                         0x05, 0, 0, 0, 1});
  return out;
}

// Enables the four endpoints (tag 1, full- and high-speed descriptor). They stay enabled across
// host resets, so a second SET_CONFIGURATION finds them ready.
bool EnableEndpoints() {
  if (g_configured) {
    return true;
  }
  for (int i = 0; i < 4; ++i) {
    std::string path = g_dir + "/" + kPipes[i].file;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    std::vector<std::uint8_t> config = {1, 0, 0, 0};
    PutEndpoint(config, kPipes[i].address, 64);
    PutEndpoint(config, kPipes[i].address, kHighSpeedPacket);
    if (fd < 0 || write(fd, config.data(), config.size()) != static_cast<ssize_t>(config.size())) {
      Log("%s: %s\n", path.c_str(), std::strerror(errno));
      if (fd >= 0) {
        close(fd);  // gadgetfs takes no second configuration on the same open file
      }
      return false;
    }
    g_fds[i] = fd;
  }
  g_configured = true;
  return true;
}

void Acknowledge() {
  if (read(g_ep0, nullptr, 0) < 0) {
    Log("ep0 status: %s\n", std::strerror(errno));
  }
}

// Events and the control requests gadgetfs hands to user space, on their own thread so that the
// host's resets reach a command that stalls on purpose.
void* Ep0Loop(void*) {
  usb_gadgetfs_event events[5];
  for (;;) {
    ssize_t n = read(g_ep0, events, sizeof events);
    if (n < 0) {
      if (errno != EINTR) {
        Log("ep0 read: %s\n", std::strerror(errno));
        usleep(100000);
      }
      continue;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      const usb_gadgetfs_event& e = events[i];
      if (e.type == GADGETFS_DISCONNECT) {
        Log("host reset or disconnect\n");
        InterruptCommands();
        continue;
      }
      if (e.type != GADGETFS_SETUP) {
        continue;
      }
      const usb_ctrlrequest& s = e.u.setup;
      bool standardOut =
          s.bRequestType == USB_DIR_OUT || s.bRequestType == (USB_DIR_OUT | USB_RECIP_INTERFACE);
      if (standardOut && s.bRequest == USB_REQ_SET_CONFIGURATION) {
        if (s.wValue == kConfigurationValue && !EnableEndpoints()) {
          (void)!write(g_ep0, nullptr, 0);  // stall
          continue;
        }
        Acknowledge();
      } else if (standardOut && s.bRequest == USB_REQ_SET_INTERFACE) {
        if (g_verbose) {
          Log("alternate setting %u\n", s.wValue);
        }
        InterruptCommands();
        Acknowledge();
      } else if (s.bRequestType & USB_DIR_IN) {
        (void)!read(g_ep0, nullptr, 0);  // unsupported: stall
      } else {
        (void)!write(g_ep0, nullptr, 0);
      }
    }
  }
  return nullptr;
}

bool SendIu(std::uint8_t id, const std::uint8_t* tag, std::uint8_t byte6 = 0,
            const std::uint8_t* sense = nullptr, std::uint8_t senseLength = 0) {
  std::uint8_t iu[kSenseIuHeader + 32] = {id, 0, tag[0], tag[1]};
  std::size_t length = 4;
  if (id == kIuSense) {
    iu[6] = byte6;  // status
    iu[15] = senseLength;
    std::memcpy(iu + kSenseIuHeader, sense, senseLength);
    length = kSenseIuHeader + senseLength;
  } else if (id == kIuResponse) {
    iu[7] = byte6;  // response code
    length = 8;
  }
  return WriteAll(StatusFd(), iu, length, "status");
}

void Serve(Target& target, const std::uint8_t* iu, std::vector<std::uint8_t>& data) {
  unsigned generation = Generation();
  const std::uint8_t* tag = iu + 2;
  const std::uint8_t* cdb = iu + kCommandIuCdbAt;
  DataPhase phase = DataPhaseOf(cdb);
  if (g_verbose) {
    Log("command tag %u opcode %02x %s %u\n", GetBe(tag, 2), cdb[0],
        phase.direction == sim::Direction::kOut ? "out" : "in", phase.length);
  }
  if (phase.length > data.size()) {
    data.resize(phase.length);
  }
  std::memset(data.data(), 0, phase.length);
  if (phase.direction == sim::Direction::kOut &&
      (!SendIu(kIuWriteReady, tag) ||
       !ReadAll(DataOutFd(), data.data(), phase.length, "data out"))) {
    return;
  }
  Reply reply = target.Execute(cdb, phase.cdbLength, phase.direction, data.data(), phase.length);
  if (reply.stallMs > 0) {
    if (!Stall(reply.stallMs, generation)) {
      return;
    }
    reply = target.Execute(cdb, phase.cdbLength, phase.direction, data.data(), phase.length, false);
  }
  if (Generation() != generation) {
    return;  // the host reset the device: it expects no reply to this command
  }
  if (reply.phaseError) {
    Log("transport error: RESPONSE IU\n");
    SendIu(kIuResponse, tag, kResponseInvalidIu);
    return;
  }
  std::uint32_t moved = std::min(reply.transferred, phase.length);
  // A failed command without data goes straight to its status; a GOOD one has its data phase,
  // empty or not, so that the host counts what did not come.
  if (phase.direction == sim::Direction::kIn && phase.length > 0 &&
      (reply.status == 0 || moved > 0)) {
    if (!SendIu(kIuReadReady, tag) || !WriteAll(DataInFd(), data.data(), moved, "data in")) {
      return;
    }
    if (moved > 0 && moved < phase.length && moved % kHighSpeedPacket == 0 &&
        write(DataInFd(), data.data(), 0) < 0) {
      return;
    }
  }
  if (reply.status != 0) {
    Log("CHECK CONDITION for opcode %02x\n", cdb[0]);
  }
  SendIu(kIuSense, tag, reply.status, target.sense(), reply.status != 0 ? target.senseLength() : 0);
}

void CommandLoop(Target& target) {
  std::uint8_t iu[kHighSpeedPacket];
  std::vector<std::uint8_t> data(1 << 16);
  for (;;) {
    if (!g_configured) {
      usleep(10000);
      continue;
    }
    ssize_t n = read(CommandFd(), iu, sizeof iu);
    if (n < 0) {
      if (errno != EINTR) {
        usleep(10000);  // endpoint down while the host resets
      }
      continue;
    }
    if (n >= 4 && iu[0] == kIuTaskManagement) {
      Log("task management function %02x answered as complete\n", n > 4 ? iu[4] : 0);
      SendIu(kIuResponse, iu + 2, kResponseTmfComplete);
    } else if (n >= 32 && iu[0] == kIuCommand) {
      Serve(target, iu, data);
    } else {
      Log("information unit %02x of %zd bytes ignored\n", n > 0 ? iu[0] : 0, n);
    }
  }
}

}  // namespace

DataPhase DataPhaseOf(const std::uint8_t* cdb) {
  DataPhase p;
  static constexpr std::uint8_t kLengthByGroup[8] = {6, 10, 10, 10, 16, 12, 12, 12};
  p.cdbLength = kLengthByGroup[cdb[0] >> 5];
  p.direction = sim::Direction::kIn;
  switch (cdb[0]) {
    case 0x03:  // REQUEST SENSE
    case 0x1A:  // MODE SENSE(6)
      p.length = cdb[4];
      break;
    case 0x12:  // INQUIRY
      p.length = GetBe(cdb + 3, 2);
      break;
    case 0x25:  // READ CAPACITY(10)
      p.length = 8;
      break;
    case 0x5A:  // MODE SENSE(10)
      p.length = GetBe(cdb + 7, 2);
      break;
    case 0x28:  // READ(10)
    case 0x2A:  // WRITE(10)
      p.length = GetBe(cdb + 7, 2) * 512;
      p.direction = cdb[0] == 0x2A ? sim::Direction::kOut : sim::Direction::kIn;
      break;
    case 0x3C:  // READ BUFFER: the bridge's descriptor and firmware blocks
      p.length = GetBe(cdb + 6, 3);
      break;
    case 0x9E:  // READ CAPACITY(16)
      p.length = GetBe(cdb + 10, 4);
      break;
    case 0xA0:  // REPORT LUNS
    case 0xA3:  // REPORT SUPPORTED OPERATION CODES
      p.length = GetBe(cdb + 6, 4);
      break;
    case 0xE0:  // the bridge's identify
      p.length = 16;
      break;
    case 0xDF:  // the bridge's NVRAM sector, read or written
      p.length = sim::kNvramSectorSize;
      p.direction = cdb[1] == 0x01 ? sim::Direction::kOut : sim::Direction::kIn;
      break;
    default:
      p.direction = sim::Direction::kNone;
  }
  if (p.length == 0) {
    p.direction = sim::Direction::kNone;
  }
  return p;
}

int RunUasDevice(const Options& options, Target& target) {
  SetLogTag("uas");
  g_verbose = options.verbose;
  g_dir = options.ffsDir;
  std::string path = g_dir + "/dummy_udc";
  g_ep0 = open(path.c_str(), O_RDWR | O_CLOEXEC);
  std::vector<std::uint8_t> setup = GadgetSetup();
  if (g_ep0 < 0 || write(g_ep0, setup.data(), setup.size()) != static_cast<ssize_t>(setup.size())) {
    std::fprintf(stderr, "bridge-emu: %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  if (!StartControl(Ep0Loop, options.readyFile)) {
    return 1;
  }
  Log("ready: %s on %s (UAS)\n", options.product.c_str(), path.c_str());
  CommandLoop(target);
  return 0;
}

}  // namespace emu
