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
#include "platform/linux/backend.h"
#include "platform/platform.h"

namespace fs = std::filesystem;
using namespace linuxplatform;

int OpenDescriptors();  // the Linux file tests'

// What the fake kernel answers to SG_IO: errno (nonzero: the ioctl fails), status, host status,
// driver status, resid. It tells the request it was last given, and on which descriptor, with the
// pointers as offsets into the latest block built (-1: none).
static std::tuple<int, int, int, int, int> g_reply;
static const std::uint8_t* g_block = nullptr;
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
  auto at = [](const void* p) { return p ? static_cast<const std::uint8_t*>(p) - g_block : -1L; };
  char text[160];
  std::snprintf(
      text, sizeof text, "fd %d %c %d cdb %u@%ld data %u@%ld %ums sense %u@%ld iov %u flags %u", fd,
      io->interface_id, io->dxfer_direction, io->cmd_len, at(io->cmdp), io->dxfer_len,
      at(io->dxferp), io->timeout, io->mx_sb_len, at(io->sbp), io->iovec_count, io->flags);
  g_seen = text;
  if (io->dxfer_direction == SG_DXFER_FROM_DEV) {
    std::memset(io->dxferp, 0xA5, io->dxfer_len);  // the sg driver copies its whole buffer back
  }
  std::tie(errno, io->status, io->host_status, io->driver_status, io->resid) = g_reply;
  return errno == 0 ? 0 : -1;
}

namespace {

// A request block as the portable layer lays it out: 44-byte header, 24-byte sense, data. Its
// status byte reads 0xAA, which the kernel's answer overwrites.
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
  b[2] = 0xAA;
  g_block = b.data();  // a move keeps it
  return b;
}

// One exchange a row: the request as the kernel received it (directions: -3 from the device, -2 to
// it, -1 none), and the kernel's answer back in the block as Windows reports it: the error code (0:
// success), the status byte (0xAA: left alone) and the length field; on reads, as many leading
// data bytes as that length hold what the kernel copied back, the rest zero.
TEST(SgIo, ExchangeWithTheKernel) {
  constexpr char kIn[] = "-3 cdb 10@28 data 16@68 2000ms";
  const std::tuple<int, int, int, unsigned, decltype(g_reply), const char*, int, int, int> cases[] =
      {{10, 1, 16, 2, {}, kIn, 0, 0, 16},
       {12, 0, 512, 2, {}, "-2 cdb 12@28 data 512@68 2000ms", 0, 0, 512},
       {16, 1, 0, 2, {}, "-1 cdb 16@28 data 0@-1 2000ms", 0, 0, 0},
       {6, 1, 16, UINT_MAX / 1000, {}, "-3 cdb 6@28 data 16@68 4294967000ms", 0, 0, 16},
       {6, 1, 16, UINT_MAX / 1000 + 1, {}, "-3 cdb 6@28 data 16@68 4294967295ms", 0, 0, 16},
       {10, 1, 16, 2, {0, 0x02, 0, 0x08, 0}, kIn, 0, 0x02, 16},  // check condition, sense
       {10, 1, 16, 2, {EPERM, 0, 0, 0, 0}, kIn, EPERM, 0xAA, 16},
       {10, 1, 16, 2, {0, 0, 0x03, 0, 0}, kIn, ETIMEDOUT, 0xAA, 16},  // host time-out
       {10, 1, 16, 2, {0, 0, 0, 0x06, 0}, kIn, ETIMEDOUT, 0xAA, 16},  // driver time-out
       {10, 1, 16, 2, {0, 0, 0x01, 0, 0}, kIn, EIO, 0xAA, 16},        // no connect
       {10, 1, 16, 2, {0, 0, 0, 0x04, 0}, kIn, EIO, 0xAA, 16},        // driver error
       {10, 1, 16, 2, {0, 0, 0, 0, 1}, kIn, 0, 0, 15},                // short by one
       {10, 1, 16, 2, {0, 0, 0, 0, 16}, kIn, 0, 0, 0},                // nothing delivered
       {10, 1, 16, 2, {0, 0, 0, 0, 17}, kIn, EIO, 0xAA, 16},          // resid past the length
       {10, 1, 16, 2, {0, 0, 0, 0, -1}, kIn, EIO, 0xAA, 16},          // overflow
       {10, 0, 16, 2, {0, 0, 0, 0, 4}, "-2 cdb 10@28 data 16@68 2000ms", 0, 0, 12}};
  for (const auto& [cdb, dataIn, length, timeOut, reply, seen, error, status, moved] : cases) {
    g_reply = reply;
    auto block = Block(cdb, dataIn, length, timeOut), expected = block;
    std::uint32_t got = 0;
    EXPECT_EQ(PassThroughOnFd(77, block.data(), static_cast<std::uint32_t>(block.size()), &got),
              error == 0);
    EXPECT_EQ(g_seen, "fd 77 S " + std::string(seen) + " sense 24@44 iov 0 flags 0");
    EXPECT_EQ(got, static_cast<std::uint32_t>(error)) << seen;
    PutLe(&expected[12], static_cast<std::uint32_t>(moved), 4);
    expected[2] = static_cast<std::uint8_t>(status);
    std::fill_n(expected.begin() + 68, dataIn == 1 ? moved : 0, 0xA5);
    EXPECT_EQ(block, expected) << seen;
  }
}

TEST(SgIo, MalformedBlocksAreRefusedUnsent) {
  // The field changed (offset, value, width), and by how much the length handed over falls short.
  const std::tuple<std::size_t, std::uint32_t, int, std::uint32_t> cases[] = {
      {0, 44, 2, 41}, {0, 56, 2, 0},             // shorter than the header; wrong header length
      {6, 0, 1, 0},   {6, 17, 1, 0},             // no cdb; cdb too long
      {8, 2, 1, 0},   {12, 17, 4, 0},            // direction unknown; data past the end
      {20, 40, 4, 0}, {24, 0xFFFFFFF0u, 4, 0}};  // offsets: inside the header, huge
  g_seen.clear();
  for (auto [at, value, width, cut] : cases) {
    std::vector<std::uint8_t> block = Block(10, 1, 16);
    PutLe(&block[at], value, width);
    std::uint32_t error = 0;
    EXPECT_FALSE(
        PassThroughOnFd(5, block.data(), static_cast<std::uint32_t>(block.size()) - cut, &error) ||
        error != EINVAL)
        << at << " " << value << " " << error;
  }
  EXPECT_EQ(g_seen, "");
  std::uint32_t error = 0;
  EXPECT_FALSE(PlatformPassThrough(3, nullptr, 68, &error) || error != EBADF);  // no such handle
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
  // A negative number names no node: no drive, and its reason is its own, not that of the open
  // before.
  EXPECT_EQ(PlatformOpenDrive(700, false), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(name, sizeof name), DriveFailure::kNoDrive);
  EXPECT_EQ(PlatformOpenDrive(-1, true), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(name, 0), DriveFailure::kNoDrive);
  EXPECT_EQ(name[0], '/');  // no room: nothing written
  EXPECT_EQ(PlatformDriveFailure(name, sizeof name), DriveFailure::kNoDrive);
  EXPECT_STREQ(name, "drive -1: No such device or add");  // cut to fit
  // A handle that holds no drive is named by its number, and asking it leaves no failure.
  PlatformDriveName(kInvalidDriveHandle, name, sizeof name);
  EXPECT_STREQ(name, "drive handle -1");
  std::uint32_t returned = 0;
  EXPECT_FALSE(PlatformQueryDescriptor(kInvalidDriveHandle, nullptr, &returned));
  EXPECT_EQ(PlatformDriveFailure(name, 0), DriveFailure::kUnknown);
  EXPECT_EQ(name[0], 'd');  // no room: nothing written
}

// A device path given as the argument is followed through links to its node, whose name says
// which drive it is; nothing else counts as a drive. Nodes are made under a scratch /dev.
// The OS line's numbers: the first three of the kernel release.
TEST(PlatformLinux, KernelReleaseNumbers) {
  const std::tuple<const char*, std::uint32_t, std::uint32_t, std::uint32_t> cases[] = {
      {"6.1.0-13-amd64", 6, 1, 0}, {"5.19.9x", 5, 19, 9}, {"9", 9, 0, 0}, {"x.1", 0, 0, 0}};
  for (const auto& [release, major, minor, build] : cases) {
    std::uint32_t got[3] = {7, 7, 7};
    ParseKernelRelease(release, &got[0], &got[1], &got[2]);
    EXPECT_EQ(std::make_tuple(got[0], got[1], got[2]), std::make_tuple(major, minor, build))
        << release;
  }
}

TEST(PlatformLinux, DevicePathsLeadToDriveNumbers) {
  const fs::path dev = mkdtemp(std::string("/tmp/dev.XXXXXX").data());
  for (const char* node : {"sdb", "sdaa", "sdb10", "sdB", "sdzzzzzzzz", "sd"}) {
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
      {"sdc", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},  // not a block device
      {"sdB", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},
      {"sdzzzzzzzz", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},  // past the numbers
      {"sd", PathDrive::kNoDrive, -1, "not a disk /dev/sdX"},
  };
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

TEST(PlatformLinux, SysfsGivesTheDescriptorInTheWindowsLayout) {
  // The device's place, the vendor and model files, the bus type, the texts in the descriptor.
  const std::tuple<const char*, const char*, const char*, int, std::string, std::string> cases[] = {
      {kUsbDevice, "JMicron \n", "Generic         \n", 7, "JMicron ", "Generic         "},
      {"pci0000:00/ata3/host2/2:0:0:0", "ATA     \n", "SSD 860\n", 11, "ATA     ", "SSD 860"},
      {"pci0000:00/virtio1/host0/0:0:0:0", "QEMU\n", "HARDDISK\n", 1, "QEMU", "HARDDISK"},
      {kUsbDevice, "ab", "c\n\n", 7, "ab", "c\n"},
      {kUsbDevice, "\n", "", 7, "", ""}};
  std::uint32_t returned = 0;
  for (const auto& [device, vendor, model, bus, vendorText, modelText] : cases) {
    FakeSysfs sysfs(device, vendor, model);
    std::vector<std::uint8_t> area(kDescriptorAreaSize, 0), expected = area;
    ASSERT_TRUE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned)) << device;
    // Header of 40 bytes (the fields put: offset, value), then each text with its terminating
    // zero; the rest stays zero.
    auto modelAt = static_cast<std::uint32_t>(41 + vendorText.size());
    auto size = static_cast<std::uint32_t>(modelAt + modelText.size() + 1);
    const std::uint32_t put[][2] = {{0, size}, {4, size}, {12, 40}, {16, modelAt}, {28, 0u + bus}};
    for (auto [at, value] : put) {
      PutLe(&expected[at], value, 4);
    }
    std::copy(vendorText.begin(), vendorText.end(), expected.begin() + 40);
    std::copy(modelText.begin(), modelText.end(), expected.begin() + modelAt);
    EXPECT_EQ(area, expected) << vendorText;
    EXPECT_EQ(returned, size);
  }
  FakeSysfs sysfs(kUsbDevice, "v", "m"), noModel(kUsbDevice, "v", "m");
  std::vector<std::uint8_t> area(kDescriptorAreaSize);
  fs::remove(sysfs.dir / "vendor");
  EXPECT_FALSE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned));
  fs::create_directory(sysfs.dir / "vendor");  // opens, but cannot be read
  EXPECT_FALSE(ReadSysfsDescriptor(sysfs.root.c_str(), 8, 0, area.data(), &returned));
  fs::remove(noModel.dir / "model");
  EXPECT_FALSE(ReadSysfsDescriptor(noModel.root.c_str(), 8, 0, area.data(), &returned));
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
    ASSERT_EQ(OpenWorkingDisk(disk.c_str(), root, root, &opened), code == 0) << code;
    char reason[256], expected[256];
    if (code != 0) {
      std::string failed = node == FailedNode::kGeneric ? sysfs.root.string() + "/sg3" : disk;
      EXPECT_EQ(PlatformDriveFailure(reason, sizeof reason),
                DescribeFailure(failed.c_str(), code, node, expected, sizeof expected));
      EXPECT_STREQ(reason, expected);
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

// The code and the node that failed; the likely cause told after the system's words (0: none).
// "No such drive" alone makes the failure kNoDrive.
TEST(PlatformLinux, FailureTextsGiveTheSystemsWordsAndTheLikelyCause) {
  const std::string causes[] = {"", " (run as root)", " (another program holds the drive)",
                                " (no such drive)"};
  using enum FailedNode;
  const std::tuple<int, FailedNode, int> cases[] = {
      {EACCES, kDisk, 1}, {EPERM, kGeneric, 1}, {EBUSY, kGeneric, 2},  {EWOULDBLOCK, kDisk, 2},
      {ENXIO, kDisk, 3},  {ENOENT, kDisk, 3},   {ENOENT, kGeneric, 0}, {EIO, kDisk, 0}};
  for (auto [code, node, cause] : cases) {
    char got[128];
    EXPECT_EQ(DescribeFailure("/dev/sdb", code, node, got, sizeof got),
              cause == 3 ? DriveFailure::kNoDrive : DriveFailure::kFailed);
    EXPECT_EQ(got, "/dev/sdb: " + std::string(std::strerror(code)) + causes[cause]) << code;
  }
}

}  // namespace
