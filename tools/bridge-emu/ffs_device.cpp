#include "tools/bridge-emu/ffs_device.h"

#include "base/byteorder.h"
#include "tools/bridge-emu/usb_io.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
constexpr std::uint8_t kRequestGetMaxLun = 0xFE;
constexpr std::uint8_t kRequestReset = 0xFF;
constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr std::uint8_t kCswPhaseError = 0x02;
constexpr char kInterfaceName[] = "Bridge emulator Bulk-Only";

int g_ep0 = -1;
int g_epIn = -1;
int g_epOut = -1;
bool g_verbose = false;

void AppendLe(std::vector<std::uint8_t>& out, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

// One interface with a bulk IN (ep 1) and a bulk OUT (ep 2) endpoint.
void PutInterface(std::vector<std::uint8_t>& out, std::uint16_t maxPacket) {
  const std::uint8_t interface[9] = {
      9, USB_DT_INTERFACE, 0, 0, 2, kClassMassStorage, kSubclassScsi, kProtocolBulkOnly, 1};
  out.insert(out.end(), interface, interface + 9);
  for (std::uint8_t address : {std::uint8_t{1 | USB_DIR_IN}, std::uint8_t{2 | USB_DIR_OUT}}) {
    const std::uint8_t endpoint[7] = {7,
                                      USB_DT_ENDPOINT,
                                      address,
                                      USB_ENDPOINT_XFER_BULK,
                                      static_cast<std::uint8_t>(maxPacket),
                                      static_cast<std::uint8_t>(maxPacket >> 8),
                                      0};
    out.insert(out.end(), endpoint, endpoint + 7);
  }
}

std::vector<std::uint8_t> Descriptors() {
  std::vector<std::uint8_t> body;
  AppendLe(body, 3, 4);  // full-speed descriptor count
  AppendLe(body, 3, 4);  // high-speed descriptor count
  PutInterface(body, 64);
  PutInterface(body, 512);
  std::vector<std::uint8_t> out;
  AppendLe(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2, 4);
  AppendLe(out, static_cast<std::uint32_t>(12 + body.size()), 4);
  AppendLe(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC, 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<std::uint8_t> Strings() {
  std::vector<std::uint8_t> out;
  AppendLe(out, FUNCTIONFS_STRINGS_MAGIC, 4);
  AppendLe(out, static_cast<std::uint32_t>(16 + 2 + sizeof kInterfaceName), 4);
  AppendLe(out, 1, 4);       // strings
  AppendLe(out, 1, 4);       // languages
  AppendLe(out, 0x0409, 2);  // en-US
  out.insert(out.end(), kInterfaceName, kInterfaceName + sizeof kInterfaceName);
  return out;
}

// Control requests and gadget events. The host's class requests must be answered while the bulk
// side may be busy (or stalled on purpose), so they run on their own thread.
void* Ep0Loop(void*) {
  usb_functionfs_event events[4];
  for (;;) {
    ssize_t n = read(g_ep0, events, sizeof events);
    if (n < 0) {
      if (errno != EINTR) {
        Log("ep0 read: %s\n", std::strerror(errno));
        sleep(1);
      }
      continue;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
      const usb_functionfs_event& e = events[i];
      if (e.type == FUNCTIONFS_ENABLE || e.type == FUNCTIONFS_DISABLE) {
        if (g_verbose) {
          Log("%s\n", e.type == FUNCTIONFS_ENABLE ? "enabled" : "disabled");
        }
        InterruptCommands();
        continue;
      }
      if (e.type != FUNCTIONFS_SETUP) {
        continue;
      }
      const usb_ctrlrequest& s = e.u.setup;
      if (s.bRequestType == (USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE) &&
          s.bRequest == kRequestGetMaxLun) {
        std::uint8_t maxLun = 0;
        if (write(g_ep0, &maxLun, 1) < 0) {
          Log("ep0 max LUN: %s\n", std::strerror(errno));
        }
      } else if (s.bRequestType == (USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE) &&
                 s.bRequest == kRequestReset) {
        Log("Bulk-Only reset\n");
        InterruptCommands();
        if (read(g_ep0, nullptr, 0) < 0) {
          Log("ep0 reset status: %s\n", std::strerror(errno));
        }
      } else if (s.bRequestType & USB_DIR_IN) {
        // Unsupported: a transfer in the wrong direction stalls the control endpoint.
        (void)!read(g_ep0, nullptr, 0);
      } else {
        (void)!write(g_ep0, nullptr, 0);
      }
    }
  }
  return nullptr;
}

std::uint16_t InMaxPacket() {
  usb_endpoint_descriptor d{};
  if (ioctl(g_epIn, FUNCTIONFS_ENDPOINT_DESC, &d) == 0 && d.wMaxPacketSize != 0) {
    return d.wMaxPacketSize;
  }
  return 512;
}

// Waits out a stall. False when the host reset the device meanwhile.
void BulkLoop(Target& target) {
  std::uint8_t cbw[512];
  std::vector<std::uint8_t> data(1 << 16);
  for (;;) {
    ssize_t n = read(g_epOut, cbw, sizeof cbw);
    if (n < 0) {
      if (errno != EINTR) {
        usleep(10000);  // endpoint down while the host resets or reconfigures
      }
      continue;
    }
    unsigned generation = Generation();
    if (n != 31 || GetLe(cbw, 4) != kCbwSignature) {
      Log("invalid CBW of %zd bytes ignored\n", n);
      continue;
    }
    std::uint32_t length = GetLe(cbw + 8, 4);
    bool in = (cbw[12] & 0x80) != 0;
    std::uint8_t cdbLength = cbw[14] & 0x1F;
    const std::uint8_t* cdb = cbw + 15;
    sim::Direction direction =
        length == 0 ? sim::Direction::kNone : (in ? sim::Direction::kIn : sim::Direction::kOut);
    if (g_verbose) {
      std::string text;
      for (int i = 0; i < cdbLength; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", cdb[i]);
        text += hex;
      }
      Log("CBW %s%s %u\n", text.c_str(), in ? "in" : "out", length);
    }
    if (length > data.size()) {
      data.resize(length);
    }
    std::memset(data.data(), 0, length);
    if (direction == sim::Direction::kOut && !ReadAll(g_epOut, data.data(), length, "bulk out")) {
      continue;
    }

    Reply reply = target.Execute(cdb, cdbLength, direction, data.data(), length);
    if (reply.stallMs > 0) {
      if (!Stall(reply.stallMs, generation)) {
        continue;
      }
      reply = target.Execute(cdb, cdbLength, direction, data.data(), length, false);
    }
    if (Generation() != generation) {
      continue;  // the host reset the device: it expects no reply to this command
    }
    std::uint32_t moved = std::min(reply.transferred, length);
    if (reply.phaseError) {
      Log("phase error\n");
      moved = 0;
    }
    if (reply.status != 0) {
      Log("CHECK CONDITION for opcode %02x\n", cdb[0]);
    }
    if (direction == sim::Direction::kIn) {
      if (moved > 0 && !WriteAll(g_epIn, data.data(), moved, "bulk in")) {
        continue;
      }
      // Data that ends early on a packet boundary needs a zero-length packet to end the stage.
      if (moved < length && moved % InMaxPacket() == 0 && write(g_epIn, data.data(), 0) < 0) {
        Log("zero-length packet: %s\n", std::strerror(errno));
        continue;
      }
    }
    std::uint8_t csw[13];
    PutLe(csw, kCswSignature, 4);
    std::memcpy(csw + 4, cbw + 4, 4);   // the tag
    PutLe(csw + 8, length - moved, 4);  // residue
    csw[12] = reply.phaseError ? kCswPhaseError : reply.status == 0 ? 0 : 1;
    WriteAll(g_epIn, csw, sizeof csw, "bulk in");
  }
}

int OpenEndpoint(const std::string& dir, const char* name) {
  std::string path = dir + "/" + name;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bridge-emu: %s: %s\n", path.c_str(), std::strerror(errno));
  }
  return fd;
}

}  // namespace

int RunDevice(const Options& options, Target& target) {
  SetLogTag("emu");
  g_verbose = options.verbose;
  g_ep0 = OpenEndpoint(options.ffsDir, "ep0");
  if (g_ep0 < 0) {
    return 1;
  }
  std::vector<std::uint8_t> descriptors = Descriptors();
  std::vector<std::uint8_t> strings = Strings();
  if (write(g_ep0, descriptors.data(), descriptors.size()) !=
          static_cast<ssize_t>(descriptors.size()) ||
      write(g_ep0, strings.data(), strings.size()) != static_cast<ssize_t>(strings.size())) {
    std::fprintf(stderr, "bridge-emu: descriptors refused: %s\n", std::strerror(errno));
    return 1;
  }
  g_epIn = OpenEndpoint(options.ffsDir, "ep1");
  g_epOut = OpenEndpoint(options.ffsDir, "ep2");
  if (g_epIn < 0 || g_epOut < 0) {
    return 1;
  }

  if (!StartControl(Ep0Loop, options.readyFile)) {
    return 1;
  }
  Log("ready: %s on %s\n", options.product.c_str(), options.ffsDir.c_str());
  BulkLoop(target);
  return 0;
}

}  // namespace emu
