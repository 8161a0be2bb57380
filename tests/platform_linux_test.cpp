// The Linux backend without hardware: the SG_IO request as the kernel receives it (ioctl is wrapped
// at link time), drive naming, sysfs on a fake tree, the working open on a loop device, the failure
// kinds and the texts they give.
#include <fcntl.h>
#include <linux/loop.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/drives.h"
#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace linuxplatform;

int OpenDescriptors();  // the Linux file tests'

// What the fake kernel answers to SG_IO: errno (nonzero: the ioctl fails), status, host status,
// driver status, resid. It tells the request it was last given, and on which descriptor; inbound,
// it fills the whole data buffer (as the sg driver copies its whole buffer back), and it always
// puts sense bytes 0x72 0x05 into the sense buffer.
static std::tuple<int, int, int, int, int> g_reply;
static std::uint8_t* g_data = nullptr;
static std::string g_seen;

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  auto* io = va_arg(args, sg_io_hdr_t*);
  va_end(args);
  if (request != SG_IO) {
    return __real_ioctl(fd, request, io);
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "fd %d %c %d cdb %u:%u-%u data %u@%s %ums sense %u iov %u flags %u", fd,
                io->interface_id, io->dxfer_direction, io->cmd_len, io->cmdp[0],
                io->cmdp[io->cmd_len - 1], io->dxfer_len,
                !io->dxferp            ? "none"
                : io->dxferp == g_data ? "data"
                                       : "other",
                io->timeout, io->mx_sb_len, io->iovec_count, io->flags);
  g_seen = text;
  if (io->dxfer_direction == SG_DXFER_FROM_DEV) {
    std::memset(io->dxferp, 0xA5, io->dxfer_len);
  }
  io->sbp[0] = 0x72;
  io->sbp[io->mx_sb_len - 1] = 0x05;
  std::tie(errno, io->status, io->host_status, io->driver_status, io->resid) = g_reply;
  return errno == 0 ? 0 : -1;
}

namespace {

// One exchange a row: the request (CDB length, direction, data length, time-out) as the kernel
// received it (directions: -3 from the device, -2 to it, -1 none; the CDB's length, first and last
// byte; none: refused unsent), and the result: the error (0: sent), the status and the count
// moved; on reads, as many leading data bytes as moved hold what the kernel copied back, the rest
// zero; data sent stays as it was.
TEST(SgIo, ExchangeWithTheKernel) {
  using enum DataDirection;
  constexpr char kRead[] = "-3 cdb 10:1-10 data 16@data 2000ms";
  const std::tuple<std::uint8_t, DataDirection, std::uint32_t, unsigned, decltype(g_reply),
                   const char*, int, int, int>
      cases[] = {
          {10, kIn, 16, 2, {}, kRead, 0, 0, 16},
          {12, kOut, 512, 2, {}, "-2 cdb 12:1-12 data 512@data 2000ms", 0, 0, 512},
          {16, kIn, 0, 2, {}, "-1 cdb 16:1-16 data 0@none 2000ms", 0, 0, 0},
          {6, kIn, 16, UINT_MAX / 1000, {}, "-3 cdb 6:1-6 data 16@data 4294967000ms", 0, 0, 16},
          {6, kIn, 16, UINT_MAX / 1000 + 1, {}, "-3 cdb 6:1-6 data 16@data 4294967295ms", 0, 0, 16},
          {10, kIn, 16, 2, {0, 0x02, 0, 0x08, 0}, kRead, 0, 0x02, 16},   // check condition, sense
          {10, kIn, 16, 2, {ENODEV, 0, 0, 0, 0}, kRead, ENODEV, 0, 0},   // detached: sg
          {10, kIn, 16, 2, {ENXIO, 0, 0, 0, 0}, kRead, ENXIO, 0, 0},     // detached: sd
          {10, kIn, 16, 2, {0, 0, 0x03, 0, 0}, kRead, ETIMEDOUT, 0, 0},  // host time-out
          {10, kIn, 16, 2, {0, 0, 0, 0x06, 0}, kRead, ETIMEDOUT, 0, 0},  // driver time-out
          {10, kIn, 16, 2, {0, 0, 0x01, 0, 0}, kRead, EIO, 0, 0},        // no connect
          {10, kIn, 16, 2, {0, 0, 0, 0x04, 0}, kRead, EIO, 0, 0},        // driver error
          {10, kIn, 16, 2, {0, 0, 0, 0, 16}, kRead, 0, 0, 0},            // nothing delivered
          {10, kIn, 16, 2, {0, 0, 0, 0, 17}, kRead, EIO, 0, 0},          // resid past the length
          {10, kIn, 16, 2, {0, 0, 0, 0, -1}, kRead, EIO, 0, 0},          // overflow
          {10, kOut, 16, 2, {0, 0, 0, 0, 4}, "-2 cdb 10:1-10 data 16@data 2000ms", 0, 0, 12},
          {0, kIn, 16, 2, {}, nullptr, EINVAL, 0, 0},  // no CDB
          {17, kIn, 16, 2, {}, nullptr, EINVAL, 0, 0}};
  for (const auto& [cdbLength, direction, length, timeOut, reply, seen, error, status, moved] :
       cases) {
    g_reply = reply;
    g_seen.clear();
    std::vector<std::uint8_t> data(length, 0x3C), expected = data;
    PassThroughRequest request = {{}, cdbLength, direction, g_data = data.data(), length, timeOut};
    std::iota(request.cdb, request.cdb + 16, 1);
    PassThroughResult r = PassThroughOnFd(77, request);
    EXPECT_EQ(g_seen, seen ? "fd 77 S " + std::string(seen) + " sense 24 iov 0 flags 0" : "");
    EXPECT_EQ(
        std::tuple(r.sent, r.error, std::string(r.errorText), r.timedOut, r.deviceGone, r.status,
                   r.moved, r.sense[0], r.sense[23]),
        std::tuple(error == 0, std::uint32_t(error), error ? std::strerror(error) : "",
                   error == ETIMEDOUT, error == ENODEV || error == ENXIO, std::uint8_t(status),
                   std::uint32_t(moved), error ? 0 : 0x72, error ? 0 : 0x05))
        << +cdbLength << seen;
    if (direction == kIn && seen) {
      expected.assign(length, 0);
      std::fill_n(expected.begin(), error == 0 ? moved : length, 0xA5);
    }
    EXPECT_EQ(data, expected) << seen;
  }
  // No data where data should be, and no drive.
  EXPECT_EQ(PassThroughOnFd(5, {{}, 10, kIn, nullptr, 16, 2}).error, std::uint32_t{EINVAL});
  const PassThroughResult none = PlatformPassThrough(3, {{}, 10, kIn, nullptr, 0, 2});
  EXPECT_EQ(std::tuple(none.error, none.deviceGone), std::tuple(std::uint32_t{EBADF}, true));
}

TEST(PlatformLinux, DriveNumbersNameWholeDisks) {
  char name[32];
  std::string names;
  for (std::int32_t number : {0, 25, 26, 701, 702, -1, INT32_MAX}) {
    names += DiskNodeName(number, name, sizeof name) ? name + std::string(" ") : "none ";
  }
  EXPECT_EQ(names, "/dev/sda /dev/sdz /dev/sdaa /dev/sdzz /dev/sdaaa none /dev/sdfxshrxx ");
  EXPECT_FALSE(DiskNodeName(0, name, 8));  // "/dev/sda" needs 9 bytes
  // A negative number names no node: no drive.
  DriveError error = PlatformOpenDrive(-1, true).error;
  EXPECT_EQ(std::tuple(error.fault, std::string(error.device), std::string(error.text)),
            std::tuple(DriveFault::kNoDrive, "drive -1", std::strerror(ENXIO)));
  // A handle that holds no drive is named by its number.
  PlatformDriveName(kInvalidDriveHandle, name, sizeof name);
  EXPECT_STREQ(name, "drive handle -1");
  static DriveIdentity identity;
  error = PlatformQueryDrive(kInvalidDriveHandle, &identity);
  EXPECT_EQ(std::tuple(error.fault, std::string(error.device)),
            std::tuple(DriveFault::kFailed, "drive handle -1"));
}

// The OS line's numbers: the first three of the kernel release.
TEST(PlatformLinux, KernelReleaseNumbers) {
  std::string got;
  for (const char* release : {"6.1.0-13-amd64", "5.19.9x", "9", "x.1"}) {
    std::uint32_t n[3] = {7, 7, 7};
    ParseKernelRelease(release, &n[0], &n[1], &n[2]);
    got += std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + " ";
  }
  EXPECT_EQ(got, "6.1.0 5.19.9 9.0.0 0.0.0 ");
}

// A device path given as the argument is followed through links to its node, whose name says
// which drive it is; nothing else counts as a drive. Nodes are made under a scratch /dev.
TEST(PlatformLinux, DevicePathsLeadToDriveNumbers) {
  const fs::path dev = mkdtemp(std::string("/tmp/dev.XXXXXX").data());
  for (const char* node : {"sdb", "sdaa", "sdb10", "sdzzzzzzzz", "sd"}) {
    if (mknod((dev / node).c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0) {
      fs::remove_all(dev);
      GTEST_SKIP() << "making block nodes needs root";
    }
  }
  mknod((dev / "sdc").c_str(), S_IFCHR | 0600, makedev(1, 3));
  fs::create_directories(dev / "disk/by-id");
  fs::create_symlink("../../sdb", dev / "disk/by-id/usb-JMicron_Generic-0:0-uy");
  fs::create_symlink("../../sdd", dev / "disk/by-id/gone");
  const std::tuple<std::string, PathDrive, std::int32_t, std::string> cases[] = {
      {"sdb", PathDrive::kDrive, 1, "sdb"},
      {"disk/by-id/usb-JMicron_Generic-0:0-uy", PathDrive::kDrive, 1, "sdb"},
      {"sdaa", PathDrive::kDrive, 26, "sdaa"},
      {"sdb10", PathDrive::kPartition, 1, "sdb"},
      {"disk/by-id/gone", PathDrive::kNoDrive, -1, "No such file or directory"},
      {"sdc", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},         // not a block device
      {"sdzzzzzzzz", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},  // past the numbers
      {"sd", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"}};
  const std::string root = fs::canonical(dev).string();
  for (const auto& [path, kind, number, text] : cases) {
    std::int32_t got = -1;
    char said[256];
    EXPECT_EQ(DriveOfDevicePath((dev / path).c_str(), root.c_str(), &got, said, sizeof said), kind)
        << path;
    EXPECT_EQ(got, number) << path;
    EXPECT_EQ(said, kind == PathDrive::kNoDrive ? text : root + "/" + text) << path;
  }
  fs::remove_all(dev);
}

// A sysfs tree with one SCSI disk, device number `dev`, whose device sits at `device`; its sg node,
// when it has one, is "<root>/sg3", a link to `sg` (relative: in the device). The root's own name
// holds "/usb": only the path below it may tell the bus.
struct FakeSysfs {
  FakeSysfs(const std::string& device, const char* vendor, const char* model,
            const char* sg = nullptr, dev_t dev = makedev(8, 0))
      : dir(root / "devices" / device) {
    fs::create_directories(dir / "block/sda");
    fs::create_directory_symlink("../..", dir / "block/sda/device");
    fs::create_directories(root / "dev/block");
    fs::create_directory_symlink(
        "../../devices/" + device + "/block/sda",
        root / "dev/block" / (std::to_string(major(dev)) + ":" + std::to_string(minor(dev))));
    std::ofstream(dir / "vendor") << vendor;
    std::ofstream(dir / "model") << model;
    if (sg != nullptr) {
      fs::create_directories(dir / "scsi_generic/sg3");
      fs::create_symlink(dir / sg, root / "sg3");
    }
  }
  ~FakeSysfs() { fs::remove_all(root); }
  fs::path root = mkdtemp(std::string("/tmp/usb.XXXXXX").data());
  fs::path dir;  // the SCSI device
};

constexpr char kUsbDevice[] = "pci0000:00/usb2/2-1/host6/6:0:0:0";

TEST(PlatformLinux, SysfsTellsWhatTheDriveIs) {
  // The device's place, the vendor and model files, the bus type, the texts.
  const std::tuple<const char*, const char*, const char*, int, std::string, std::string> cases[] = {
      {kUsbDevice, "JMicron \n", "Generic         \n", 7, "JMicron ", "Generic         "},
      {"pci0000:00/ata3/host2/2:0:0:0", "ATA     \n", "SSD 860\n", 11, "ATA     ", "SSD 860"},
      {"pci0000:00/virtio1/host0/0:0:0:0", "QEMU\n", "HARDDISK\n", 1, "QEMU", "HARDDISK"},
      {kUsbDevice, "ab", "c\n\n", 7, "ab", "c\n"},
      {kUsbDevice, "\n", "", 7, "", ""}};
  static DriveIdentity identity;
  for (const auto& [device, vendor, model, bus, vendorText, modelText] : cases) {
    FakeSysfs sysfs(device, vendor, model);
    ASSERT_TRUE(ReadSysfsIdentity(sysfs.root.c_str(), 8, 0, &identity)) << device;
    EXPECT_EQ(std::tuple(std::string(identity.vendor), std::string(identity.product), identity.bus),
              std::tuple(vendorText, modelText, bus))
        << vendorText;
  }
  // A USB drive's IDs and serial are those of the nearest USB device above it, the root hub's
  // only when that device has no IDs; a missing serial is none.
  FakeSysfs usb(kUsbDevice, "v", "m");
  const fs::path hub = usb.root / "devices/pci0000:00/usb2";
  std::ofstream(hub / "idVendor") << "1d6b\n";
  std::ofstream(hub / "idProduct") << "0002\n";
  std::ofstream(hub / "2-1/idVendor") << "152d\n";
  std::ofstream(hub / "2-1/idProduct") << "0578\n";
  std::ofstream(hub / "2-1/serial") << "E2E000000001\n";
  auto ids = [&] {
    char text[64];
    EXPECT_TRUE(ReadSysfsIdentity(usb.root.c_str(), 8, 0, &identity));
    std::snprintf(text, sizeof text, "%d %04x:%04x ", identity.usbIdsKnown, identity.usbVendor,
                  identity.usbProduct);
    return text + std::string(identity.serial);
  };
  EXPECT_EQ(ids(), "1 152d:0578 E2E000000001");
  fs::remove(hub / "2-1/serial");
  EXPECT_EQ(ids(), "1 152d:0578 ");
  std::ofstream(hub / "2-1/idProduct") << "x\n";
  EXPECT_EQ(ids(), "1 1d6b:0002 ");
  fs::remove(hub / "idProduct");
  EXPECT_EQ(ids(), "0 0000:0000 ");

  // A vendor file that opens but cannot be read, and a missing model file: no identity.
  FakeSysfs sysfs(kUsbDevice, "v", "m");
  fs::remove(sysfs.dir / "vendor");
  fs::create_directory(sysfs.dir / "vendor");
  EXPECT_FALSE(ReadSysfsIdentity(sysfs.root.c_str(), 8, 0, &identity));
  fs::remove(usb.dir / "model");
  EXPECT_FALSE(ReadSysfsIdentity(usb.root.c_str(), 8, 0, &identity));
}

TEST(PlatformLinux, WorkingOpenLocksTheDiskReadOnlyAndWritesOnlyToItsOwnNode) {
  // A free loop device stands in for the disk: nothing is sent to it.
  int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  const std::string loop = "/dev/loop" + std::to_string(ioctl(control, LOOP_CTL_GET_FREE, 0));
  close(control);
  struct stat block;
  if (stat(loop.c_str(), &block) != 0 || !S_ISBLK(block.st_mode)) {
    GTEST_SKIP() << "needs a free loop device";
  }
  // The sg node sysfs names (a link to /dev/null, a character device; to the model file; none),
  // whether another open file holds the loop device's flock, the disk, and the failure the open
  // records: errno (0: it succeeds), and whether on the sg node or the disk.
  const std::tuple<const char*, bool, std::string, int, FailedNode> cases[] = {
      {"/dev/null", false, loop, 0, FailedNode::kDisk},
      {nullptr, false, loop, 0, FailedNode::kDisk},  // SG_IO goes to the disk, opened again
      {"model", false, loop, ENODEV, FailedNode::kGeneric},
      {"/dev/null", true, loop, EWOULDBLOCK, FailedNode::kDisk},
      {"/dev/null", false, "/dev/null", ENOTBLK, FailedNode::kDisk},
      {"/dev/null", false, "/dev/sdzzz", ENOENT, FailedNode::kDisk}};
  for (const auto& [sg, held, disk, code, node] : cases) {
    FakeSysfs sysfs(kUsbDevice, "v\n", "m\n", sg, block.st_rdev);
    int holder = open(loop.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, held ? LOCK_EX | LOCK_NB : LOCK_UN), 0);
    int before = OpenDescriptors();
    WorkingDisk opened = {-1, -1, 0, 0};
    const char* root = sysfs.root.c_str();
    DriveError error = OpenWorkingDisk(disk.c_str(), root, root, &opened);
    ASSERT_EQ(error.fault == DriveFault::kNone, code == 0) << code;
    if (code != 0) {
      std::string failed = node == FailedNode::kGeneric ? sysfs.root.string() + "/sg3" : disk;
      DriveError expected = FailureOf(failed.c_str(), code, node);
      EXPECT_EQ(std::tuple(error.fault, std::string(error.device) + ": " + error.text),
                std::tuple(expected.fault, std::string(expected.device) + ": " + expected.text));
      EXPECT_EQ(OpenDescriptors(), before);
    } else {
      EXPECT_EQ(fcntl(opened.diskFd, F_GETFL) & O_ACCMODE, O_RDONLY);
      EXPECT_EQ(fcntl(opened.passFd, F_GETFL) & O_ACCMODE, O_RDWR);
      EXPECT_EQ(fs::read_symlink("/proc/self/fd/" + std::to_string(opened.passFd)).string(),
                sg != nullptr ? "/dev/null" : loop);
      EXPECT_EQ(makedev(opened.major, opened.minor), block.st_rdev);
      EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    close(opened.passFd);
    close(opened.diskFd);
    close(holder);
  }
}

// The code and the node that failed sort the failure; the likely cause is told after the
// system's words (0: none). Only a missing disk node is no drive.
TEST(PlatformLinux, FailuresGiveTheSystemsWordsAndTheLikelyCause) {
  const std::string causes[] = {"", " (run as root)", " (another program holds the drive)",
                                " (no such drive)"};
  using enum DriveFault;
  const DriveFault faults[] = {kFailed, kNoRights, kBusy, kNoDrive};
  using enum FailedNode;
  const std::tuple<int, FailedNode, int> cases[] = {
      {EACCES, kDisk, 1},      {EPERM, kGeneric, 1}, {EBUSY, kGeneric, 2},
      {EWOULDBLOCK, kDisk, 2}, {ENXIO, kDisk, 3},    {ENOENT, kDisk, 3},
      {ENOENT, kGeneric, 0},   {EIO, kDisk, 0},      {0, kSysfs, 0}};
  for (auto [code, node, cause] : cases) {
    DriveError error = FailureOf("/dev/sdb", code, node);
    char got[128];
    DescribeDriveError(error, got, sizeof got);
    std::string text = std::strerror(code != 0 ? code : EIO) + causes[cause];
    EXPECT_EQ(std::tuple(error.fault, std::string(got)),
              std::tuple(faults[cause], "/dev/sdb: " + text));
  }
}

}  // namespace
