// The Linux backend without hardware: the SG_IO request as the kernel receives it (ioctl is wrapped
// at link time), drive naming, sysfs on a fake tree, the working open on a loop device, the failure
// texts.
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
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "base/byteorder.h"
#include "bridge/platform.h"
#include "bridge/platform_linux.h"

namespace fs = std::filesystem;
using namespace linuxplatform;

namespace {

// What the fake kernel answers to SG_IO: errno (nonzero: the ioctl fails), status, host status,
// driver status, resid. It keeps the request it was last given, and on which descriptor.
std::tuple<int, int, int, int, int> g_reply;
sg_io_hdr_t g_io;
int g_fd = -1;

}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  auto* io = va_arg(args, sg_io_hdr_t*);
  va_end(args);
  if (request != SG_IO) {
    return __real_ioctl(fd, request, io);
  }
  g_fd = fd;
  g_io = *io;
  if (io->dxfer_direction == SG_DXFER_FROM_DEV) {
    std::memset(io->dxferp, 0xA5, io->dxfer_len);  // the sg driver copies its whole buffer back
  }
  std::tie(errno, io->status, io->host_status, io->driver_status, io->resid) = g_reply;
  return errno == 0 ? 0 : -1;
}

namespace {

// A request block as the portable layer lays it out: 44-byte header, 24-byte sense, data.
std::vector<std::uint8_t> Block(std::uint32_t cdbLength, std::uint32_t dataIn,
                                std::uint32_t dataLength, std::uint32_t timeOut = 2) {
  std::vector<std::uint8_t> b(68 + dataLength, 0);
  // Length, CdbLength, SenseInfoLength, DataIn, DataTransferLength, TimeOutValue,
  // DataBufferOffset, SenseInfoOffset: offset, value, width.
  const std::uint32_t fields[][3] = {{0, 44, 2},     {6, cdbLength, 1},   {7, 24, 1},
                                     {8, dataIn, 1}, {12, dataLength, 4}, {16, timeOut, 4},
                                     {20, 68, 4},    {24, 44, 4}};
  for (auto [at, value, width] : fields) {
    PutLe(&b[at], value, static_cast<int>(width));
  }
  return b;
}

// The request as the kernel received it, and on which descriptor; its pointers as offsets into
// `block` (-1: none).
std::string Seen(const std::vector<std::uint8_t>& block) {
  auto at = [&](const void* p) {
    return p == nullptr ? -1L : static_cast<const std::uint8_t*>(p) - block.data();
  };
  char text[160];
  std::snprintf(
      text, sizeof text, "fd %d %c %d cdb %u@%ld data %u@%ld %ums sense %u@%ld iov %u flags %u",
      g_fd, g_io.interface_id, g_io.dxfer_direction, g_io.cmd_len, at(g_io.cmdp), g_io.dxfer_len,
      at(g_io.dxferp), g_io.timeout, g_io.mx_sb_len, at(g_io.sbp), g_io.iovec_count, g_io.flags);
  return text;
}

// One exchange a row: the request as the kernel received it (directions: -3 from the device, -2 to
// it, -1 none), and the kernel's answer back in the block as Windows reports it: the error code (0:
// success), the status byte (0xAA: left alone) and, on success, the length moved and how many
// leading data bytes hold the device's data, the rest zero.
TEST(SgIo, ExchangeWithTheKernel) {
  using Reply = std::tuple<int, int, int, int, int>;  // as g_reply
  constexpr char kIn[] = "-3 cdb 10@28 data 16@68 2000ms";
  const std::tuple<int, int, int, unsigned, Reply, const char*, int, int, int, int> cases[] = {
      {10, 1, 16, 2, {}, kIn, 0, 0, 16, 16},
      {12, 0, 512, 2, {}, "-2 cdb 12@28 data 512@68 2000ms", 0, 0, 512, 0},
      {16, 1, 0, 2, {}, "-1 cdb 16@28 data 0@-1 2000ms", 0, 0, 0, 0},
      {6, 1, 16, UINT_MAX / 1000, {}, "-3 cdb 6@28 data 16@68 4294967000ms", 0, 0, 16, 16},
      {6, 1, 16, UINT_MAX / 1000 + 1, {}, "-3 cdb 6@28 data 16@68 4294967295ms", 0, 0, 16, 16},
      {10, 1, 16, 2, {0, 0x02, 0, 0x08, 0}, kIn, 0, 0x02, 16, 16},  // check condition, sense
      {10, 1, 16, 2, {EPERM, 0, 0, 0, 0}, kIn, EPERM, 0xAA, 0, 0},
      {10, 1, 16, 2, {0, 0, 0x03, 0, 0}, kIn, ETIMEDOUT, 0xAA, 0, 0},  // host time-out
      {10, 1, 16, 2, {0, 0, 0, 0x06, 0}, kIn, ETIMEDOUT, 0xAA, 0, 0},  // driver time-out
      {10, 1, 16, 2, {0, 0, 0x01, 0, 0}, kIn, EIO, 0xAA, 0, 0},        // no connect
      {10, 1, 16, 2, {0, 0, 0, 0x04, 0}, kIn, EIO, 0xAA, 0, 0},        // driver error
      {10, 1, 16, 2, {0, 0, 0, 0, 9}, kIn, 0, 0, 7, 7},                // short
      {10, 1, 16, 2, {0, 0, 0, 0, 16}, kIn, 0, 0, 0, 0},               // nothing delivered
      {10, 1, 16, 2, {0, 0, 0, 0, 17}, kIn, 0, 0, 16, 16},             // resid past the length
      {10, 0, 16, 2, {0, 0, 0, 0, 4}, "-2 cdb 10@28 data 16@68 2000ms", 0, 0, 12, 0}};
  for (const auto& [cdbLength, dataIn, dataLength, timeOut, reply, seen, error, status, moved,
                    delivered] : cases) {
    g_reply = reply;
    std::vector<std::uint8_t> block = Block(cdbLength, dataIn, dataLength, timeOut);
    std::vector<std::uint8_t> expected = block;
    block[2] = 0xAA;
    std::uint32_t got = 0;
    EXPECT_EQ(PassThroughOnFd(77, block.data(), static_cast<std::uint32_t>(block.size()), &got),
              error == 0);
    EXPECT_EQ(Seen(block), "fd 77 S " + std::string(seen) + " sense 24@44 iov 0 flags 0");
    EXPECT_EQ(got, static_cast<std::uint32_t>(error)) << seen;
    EXPECT_EQ(block[2], status);
    if (error == 0) {
      PutLe(&expected[12], static_cast<std::uint32_t>(moved), 4);
      expected[2] = static_cast<std::uint8_t>(status);
      std::fill_n(expected.begin() + 68, delivered, 0xA5);
      EXPECT_EQ(block, expected) << seen;
    }
  }
}

TEST(SgIo, MalformedBlocksAreRefusedUnsent) {
  // The field changed (offset, value, width), and by how much the length handed over falls short.
  const std::tuple<std::size_t, std::uint32_t, int, std::uint32_t> cases[] = {
      {0, 44, 2, 41}, {0, 56, 2, 0},             // shorter than the header; wrong header length
      {6, 0, 1, 0},   {6, 17, 1, 0},             // no cdb; cdb too long
      {8, 2, 1, 0},   {12, 17, 4, 0},            // direction unknown; data past the end
      {20, 40, 4, 0}, {24, 0xFFFFFFF0u, 4, 0}};  // offsets: inside the header, huge
  g_fd = -1;
  for (auto [at, value, width, cut] : cases) {
    std::vector<std::uint8_t> block = Block(10, 1, 16);
    PutLe(&block[at], value, width);
    std::uint32_t error = 0;
    EXPECT_FALSE(
        PassThroughOnFd(5, block.data(), static_cast<std::uint32_t>(block.size()) - cut, &error))
        << at << " " << value;
    EXPECT_EQ(error, std::uint32_t{EINVAL});
  }
  EXPECT_EQ(g_fd, -1);
  std::vector<std::uint8_t> block = Block(6, 1, 0);
  std::uint32_t error = 0;
  EXPECT_FALSE(PlatformPassThrough(3, block.data(), 68, &error));  // no such handle
  EXPECT_EQ(error, std::uint32_t{EBADF});
  EXPECT_EQ(&PlatformPassThroughLayout(), &kPassThroughLayout32);
}

TEST(PlatformLinux, DriveNumbersNameWholeDisks) {
  const std::pair<std::int32_t, std::string> cases[] = {
      {0, "/dev/sda"},   {25, "/dev/sdz"},    {26, "/dev/sdaa"},
      {98, "/dev/sdcu"}, {701, "/dev/sdzz"},  {702, "/dev/sdaaa"},
      {-1, "none"},      {INT32_MIN, "none"}, {INT32_MAX, "/dev/sdfxshrxx"}};
  char name[32];
  for (const auto& [number, expected] : cases) {
    EXPECT_EQ(DiskNodeName(number, name, sizeof name) ? name : "none", expected) << number;
  }
  EXPECT_FALSE(DiskNodeName(0, name, 8));  // "/dev/sda" needs 9 bytes
  // A number without a node has no reason to tell, nor keeps the one of the open before.
  EXPECT_EQ(PlatformOpenDrive(700, false), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(name, sizeof name), DriveFailure::kNoDrive);
  EXPECT_EQ(PlatformOpenDrive(-1, true), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(name, 0), DriveFailure::kUnknown);
  EXPECT_EQ(name[0], '/');  // no room: nothing written
  EXPECT_EQ(PlatformDriveFailure(name, 1), DriveFailure::kUnknown);
  EXPECT_STREQ(name, "");
}

// A sysfs tree with one SCSI disk, device number `dev`, whose device sits at `device`; its sg node,
// when it has one, is "<root>/sg3", a link to `sg` (relative: in the device). The root's own name
// holds "/usb": only the part of the path below it may tell the bus.
struct FakeSysfs {
  FakeSysfs(const std::string& device, const char* vendor, const char* model,
            const char* sg = nullptr, const std::string& dev = "8:0")
      : dir(root / "devices" / device) {
    fs::create_directories(dir / "block/sda");
    fs::create_directory_symlink("../..", dir / "block/sda/device");
    fs::create_directories(root / "dev/block");
    fs::create_directory_symlink("../../devices/" + device + "/block/sda",
                                 root / "dev/block" / dev);
    std::ofstream(dir / "vendor") << vendor;
    std::ofstream(dir / "model") << model;
    if (sg != nullptr) {
      fs::create_directories(dir / "scsi_generic/sg3");
      fs::create_symlink(dir / sg, root / "sg3");
    }
  }
  ~FakeSysfs() { fs::remove_all(root); }
  std::string pattern = "/tmp/usb.XXXXXX";
  fs::path root = mkdtemp(pattern.data());
  fs::path dir;  // the SCSI device
};

constexpr char kUsbDevice[] = "pci0000:00/usb2/2-1/host6/6:0:0:0";

TEST(PlatformLinux, SysfsGivesTheDescriptorInTheWindowsLayout) {
  // The device's place, the vendor and model files, the bus type, the texts in the descriptor.
  const std::tuple<const char*, const char*, const char*, int, std::string, std::string> cases[] = {
      {kUsbDevice, "JMicron \n", "Generic         \n", 7, "JMicron ", "Generic         "},
      {"pci0000:00/ata3/host2/2:0:0:0", "ATA     \n", "SSD 860\n", 11, "ATA     ", "SSD 860"},
      {"pci0000:00/virtio1/host0/0:0:0:0", "QEMU\n", "HARDDISK\n", 1, "QEMU", "HARDDISK"},
      {kUsbDevice, "ab", "c\n\n", 7, "ab", "c\n"},
      {kUsbDevice, "\n", "", 7, "", ""}};
  std::vector<std::uint8_t> area(kDescriptorAreaSize);
  std::uint32_t returned = 0;
  for (const auto& [device, vendor, model, bus, vendorText, modelText] : cases) {
    FakeSysfs sysfs(device, vendor, model);
    std::fill(area.begin(), area.end(), 0);
    ASSERT_TRUE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned)) << device;
    // Header of 40 bytes, then each text with its terminating zero; the rest stays zero.
    auto modelAt = static_cast<std::uint32_t>(41 + vendorText.size());
    auto used = static_cast<std::uint32_t>(modelAt + modelText.size() + 1);
    std::vector<std::uint8_t> expected(kDescriptorAreaSize, 0);
    const std::uint32_t header[][2] = {
        {0, used}, {4, used}, {12, 40}, {16, modelAt}, {28, 0u + bus}};
    for (auto [at, value] : header) {
      PutLe(&expected[at], value, 4);
    }
    std::copy(vendorText.begin(), vendorText.end(), expected.begin() + 40);
    std::copy(modelText.begin(), modelText.end(), expected.begin() + modelAt);
    EXPECT_EQ(area, expected) << vendorText;
    EXPECT_EQ(returned, used);
  }
  FakeSysfs sysfs(kUsbDevice, "v", "m"), noModel(kUsbDevice, "v", "m");
  fs::remove(sysfs.dir / "vendor");
  EXPECT_FALSE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned));
  fs::create_directory(sysfs.dir / "vendor");  // opens, but cannot be read
  EXPECT_FALSE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned));
  fs::remove(noModel.dir / "model");
  EXPECT_FALSE(ReadSysfsDescriptor(noModel.root.c_str(), 8, 0, area.data(), &returned));
}

int OpenDescriptors() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(PlatformLinux, WorkingOpenLocksTheDiskReadOnlyAndWritesOnlyToItsOwnNode) {
  // A free loop device stands in for the disk: nothing is sent to it.
  int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  int number = control < 0 ? -1 : ioctl(control, LOOP_CTL_GET_FREE, 0);
  close(control);
  std::string loop = "/dev/loop" + std::to_string(number);
  struct stat block;
  if (number < 0 || stat(loop.c_str(), &block) != 0 || !S_ISBLK(block.st_mode)) {
    GTEST_SKIP() << "needs a free loop device";
  }
  const std::string dev =
      std::to_string(major(block.st_rdev)) + ":" + std::to_string(minor(block.st_rdev));
  // The sg node sysfs names (a link to /dev/null, a character device; to the model file; none),
  // whether another open file holds the disk's flock, the disk (empty: the loop device), and the
  // failure ("" when the open succeeds; "@" stands for the failing node).
  const std::tuple<const char*, bool, std::string, std::string, DriveFailure> cases[] = {
      {"/dev/null", false, "", "", DriveFailure::kUnknown},
      {nullptr, false, "", "", DriveFailure::kUnknown},  // SG_IO goes to the disk, opened again
      {"model", false, "", "@/sg3: No such device", DriveFailure::kFailed},
      {"/dev/null", true, "",
       "@: Resource temporarily unavailable (another program holds the drive)",
       DriveFailure::kFailed},
      {"/dev/null", false, "/dev/null", "@: Block device required", DriveFailure::kFailed},
      {"/dev/null", false, "/dev/sdzzz", "@: No such file or directory (no such drive)",
       DriveFailure::kNoDrive}};
  for (const auto& [sg, held, diskPath, failure, kind] : cases) {
    FakeSysfs sysfs(kUsbDevice, "v\n", "m\n", sg, dev);
    const char* root = sysfs.root.c_str();
    std::string disk = diskPath.empty() ? loop : diskPath;
    int holder = open(loop.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, held ? LOCK_EX | LOCK_NB : LOCK_UN), 0);
    int before = OpenDescriptors();
    WorkingDisk opened = {-1, -1, 0, 0};
    ASSERT_EQ(OpenWorkingDisk(disk.c_str(), root, root, &opened), failure.empty()) << failure;
    if (!failure.empty()) {
      char reason[256];
      EXPECT_EQ(PlatformDriveFailure(reason, sizeof reason), kind) << failure;
      EXPECT_EQ(reason,
                (failure.find("sg3") == std::string::npos ? disk : root) + failure.substr(1));
      EXPECT_EQ(OpenDescriptors(), before);
      close(holder);
      continue;
    }
    EXPECT_EQ(fcntl(opened.diskFd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(fcntl(opened.passFd, F_GETFL) & O_ACCMODE, O_RDWR);
    struct stat pass = {};
    fstat(opened.passFd, &pass);
    EXPECT_EQ(pass.st_rdev, sg != nullptr ? makedev(1, 3) : block.st_rdev);  // 1:3 is /dev/null
    EXPECT_EQ(makedev(opened.major, opened.minor), block.st_rdev);
    EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), 0);
    close(opened.passFd);
    close(opened.diskFd);
    close(holder);
  }
}

TEST(PlatformLinux, FailureTextsGiveTheSystemsWordsAndTheLikelyCause) {
  const std::tuple<int, FailedNode, DriveFailure, std::string> cases[] = {
      {EACCES, FailedNode::kDisk, DriveFailure::kFailed, "Permission denied (run as root)"},
      {EPERM, FailedNode::kGeneric, DriveFailure::kFailed, "Operation not permitted (run as root)"},
      {EBUSY, FailedNode::kGeneric, DriveFailure::kFailed,
       "Device or resource busy (another program holds the drive)"},
      {ENXIO, FailedNode::kDisk, DriveFailure::kNoDrive,
       "No such device or address (no such drive)"},
      {ENOENT, FailedNode::kGeneric, DriveFailure::kFailed, "No such file or directory"},
      {EIO, FailedNode::kDisk, DriveFailure::kFailed, "Input/output error"}};
  for (const auto& [code, node, kind, text] : cases) {
    char got[128];
    EXPECT_EQ(DescribeFailure("/dev/sdb", code, node, got, sizeof got), kind) << text;
    EXPECT_EQ(got, "/dev/sdb: " + text);
  }
}

}  // namespace
