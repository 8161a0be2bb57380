// The Linux backend without hardware: drive naming, sysfs on a fake tree, the SG_IO request as the
// kernel would receive it (ioctl is wrapped at link time), release parsing and the key decoder.
#include <fcntl.h>
#include <linux/loop.h>
#include <poll.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/platform.h"
#include "bridge/keys_linux.h"
#include "bridge/platform_linux.h"

namespace fs = std::filesystem;
using namespace linuxplatform;

// ---- ioctl seen by the kernel ----------------------------------------------------------------

namespace {

struct SgCall {
  int fd = -1;
  sg_io_hdr_t io = {};
  std::vector<std::uint8_t> cdb;
};

// What the fake kernel answers to SG_IO.
struct SgReply {
  int result = 0;
  int errnoValue = 0;
  unsigned char status = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  int resid = 0;
};

bool g_fakeSgIo = false;
SgReply g_reply;
std::vector<SgCall> g_calls;

}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (!g_fakeSgIo || request != SG_IO) {
    return __real_ioctl(fd, request, argument);
  }
  auto* io = static_cast<sg_io_hdr_t*>(argument);
  g_calls.push_back({fd, *io, {io->cmdp, io->cmdp + io->cmd_len}});
  if (g_reply.result < 0) {
    errno = g_reply.errnoValue;
    return -1;
  }
  io->status = g_reply.status;
  io->host_status = g_reply.hostStatus;
  io->driver_status = g_reply.driverStatus;
  io->resid = g_reply.resid;
  if (io->dxfer_direction == SG_DXFER_FROM_DEV) {
    // The sg driver copies its whole buffer back, whatever the device delivered.
    std::memset(io->dxferp, 0xA5, io->dxfer_len);
  }
  return 0;
}

namespace {

class SgIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fakeSgIo = true;
    g_reply = {};
    g_calls.clear();
  }
  void TearDown() override { g_fakeSgIo = false; }
};

void Put(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// A request block as the portable layer lays it out: 44-byte header, 24-byte sense, data.
std::vector<std::uint8_t> Block(std::vector<std::uint8_t> cdb, std::uint8_t dataIn,
                                std::uint32_t dataLength) {
  std::vector<std::uint8_t> b(68 + dataLength, 0);
  Put(b, 0, 44, 2);
  b[6] = static_cast<std::uint8_t>(cdb.size());
  b[7] = 24;
  b[8] = dataIn;
  Put(b, 12, dataLength, 4);
  Put(b, 16, 2, 4);
  Put(b, 20, 68, 4);
  Put(b, 24, 44, 4);
  std::memcpy(&b[28], cdb.data(), cdb.size());
  return b;
}

TEST_F(SgIoTest, RequestReachesTheKernelFieldByField) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> cdb;
    std::uint8_t dataIn;
    std::uint32_t dataLength;
    int direction;
  };
  const Case cases[] = {
      {"inbound", {0xDF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x10}, 1, 16, SG_DXFER_FROM_DEV},
      {"outbound", {0xE0, 0xF1, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0}, 0, 512, SG_DXFER_TO_DEV},
      {"no data", {0x3C, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 0, SG_DXFER_NONE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_calls.clear();
    std::vector<std::uint8_t> block = Block(c.cdb, c.dataIn, c.dataLength);
    std::uint32_t error = 0;
    ASSERT_TRUE(
        PassThroughOnFd(77, block.data(), static_cast<std::uint32_t>(block.size()), &error));
    ASSERT_EQ(g_calls.size(), 1u);
    const sg_io_hdr_t& io = g_calls[0].io;
    EXPECT_EQ(g_calls[0].fd, 77);
    EXPECT_EQ(io.interface_id, 'S');
    EXPECT_EQ(io.dxfer_direction, c.direction);
    EXPECT_EQ(io.cmd_len, c.cdb.size());
    EXPECT_EQ(io.cmdp, block.data() + 28);
    EXPECT_EQ(g_calls[0].cdb, c.cdb);
    EXPECT_EQ(io.dxfer_len, c.dataLength);
    EXPECT_EQ(io.dxferp, c.dataLength == 0 ? nullptr : block.data() + 68);
    EXPECT_EQ(io.sbp, block.data() + 44);
    EXPECT_EQ(io.mx_sb_len, 24);
    EXPECT_EQ(io.timeout, 2000u);
    EXPECT_EQ(io.iovec_count, 0);
    EXPECT_EQ(io.flags, 0u);
  }
}

TEST_F(SgIoTest, TransportOutcomeMapsToStatusOrErrorCode) {
  struct Case {
    const char* name;
    SgReply reply;
    bool ok;
    std::uint32_t error;
    std::uint8_t statusByte;
  };
  const Case cases[] = {
      {"good", {0, 0, 0x00, 0x00, 0x00}, true, 0, 0x00},
      {"check condition with sense", {0, 0, 0x02, 0x00, 0x08}, true, 0, 0x02},
      {"ioctl refused", {-1, EPERM, 0, 0, 0}, false, 0x1, 0xAA},
      {"ioctl no device", {-1, ENODEV, 0, 0, 0}, false, 0x13, 0xAA},
      {"host time-out", {0, 0, 0x00, 0x03, 0x00}, false, 0x6E, 0xAA},
      {"driver time-out", {0, 0, 0x00, 0x00, 0x06}, false, 0x6E, 0xAA},
      {"no connect", {0, 0, 0x00, 0x01, 0x00}, false, 0x5, 0xAA},
      {"driver error", {0, 0, 0x00, 0x00, 0x04}, false, 0x5, 0xAA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_reply = c.reply;
    std::vector<std::uint8_t> block = Block({0xDF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x10}, 1, 16);
    block[2] = 0xAA;  // shows whether the status was written back
    std::uint32_t error = 0;
    EXPECT_EQ(PassThroughOnFd(5, block.data(), static_cast<std::uint32_t>(block.size()), &error),
              c.ok);
    if (!c.ok) {
      EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(block[2], c.statusByte);
  }
}

TEST_F(SgIoTest, ShortTransferLeavesTheUndeliveredTailZero) {
  struct Case {
    const char* name;
    std::uint8_t dataIn;
    int resid;
    std::uint32_t reportedLength;
    std::uint32_t delivered;  // inbound bytes that hold the device's data
  };
  const Case cases[] = {
      {"full inbound", 1, 0, 16, 16},           {"short inbound", 1, 9, 7, 7},
      {"nothing delivered", 1, 16, 0, 0},       {"short outbound", 0, 4, 12, 0},
      {"resid past the length", 1, 17, 16, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_reply.resid = c.resid;
    std::vector<std::uint8_t> block = Block({0xDF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x10}, c.dataIn, 16);
    std::uint32_t error = 0;
    ASSERT_TRUE(PassThroughOnFd(5, block.data(), static_cast<std::uint32_t>(block.size()), &error));
    std::uint32_t reported = 0;
    std::memcpy(&reported, &block[12], 4);  // little-endian host
    EXPECT_EQ(reported, c.reportedLength);
    std::vector<std::uint8_t> data(16, 0);
    std::fill_n(data.begin(), c.delivered, 0xA5);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 68, block.end()), data);
  }
}

TEST_F(SgIoTest, MalformedBlocksAreRefusedUnsent) {
  struct Case {
    const char* name;
    std::size_t at;
    std::uint32_t value;
    int width;
    std::int32_t lengthDelta;
  };
  const Case cases[] = {
      {"shorter than the header", 0, 44, 2, -40},
      {"wrong header length", 0, 56, 2, 0},
      {"no cdb", 6, 0, 1, 0},
      {"cdb too long", 6, 17, 1, 0},
      {"direction unknown", 8, 2, 1, 0},
      {"data past the end", 12, 17, 4, 0},
      {"data offset past the end", 20, 69, 4, 0},
      {"data offset inside the header", 20, 40, 4, 0},
      {"sense past the end", 7, 41, 1, 0},
      {"sense offset huge", 24, 0xFFFFFFF0u, 4, 0},
      {"block cut short", 0, 44, 2, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> block = Block({0xDF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x10}, 1, 16);
    Put(block, c.at, c.value, c.width);
    std::uint32_t error = 0;
    EXPECT_FALSE(PassThroughOnFd(5, block.data(),
                                 static_cast<std::uint32_t>(block.size() + c.lengthDelta), &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(EINVAL));
  }
  EXPECT_TRUE(g_calls.empty());
}

TEST(PlatformLinux, PassThroughOnAnUnknownHandleFails) {
  std::vector<std::uint8_t> block = Block({0x00, 0, 0, 0, 0, 0}, 1, 0);
  std::uint32_t error = 0;
  EXPECT_FALSE(PlatformPassThrough(3, block.data(), 68, &error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(EBADF));
  EXPECT_EQ(&PlatformPassThroughLayout(), &kPassThroughLayout32);
}

// ---- Drive names -----------------------------------------------------------------------------

TEST(PlatformLinux, DriveNumbersNameWholeDisks) {
  struct Case {
    std::int32_t number;
    const char* name;  // nullptr: no name
  };
  const Case cases[] = {{0, "/dev/sda"},   {25, "/dev/sdz"},     {26, "/dev/sdaa"},
                        {98, "/dev/sdcu"}, {701, "/dev/sdzz"},   {702, "/dev/sdaaa"},
                        {-1, nullptr},     {INT32_MIN, nullptr}, {INT32_MAX, "/dev/sdfxshrxx"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    char name[32] = "unchanged";
    ASSERT_EQ(DiskNodeName(c.number, name, sizeof name), c.name != nullptr);
    if (c.name != nullptr) {
      EXPECT_STREQ(name, c.name);
    }
  }
  char small[8];
  EXPECT_FALSE(DiskNodeName(0, small, sizeof small));  // "/dev/sda" needs 9 bytes
  // A number without a node has no reason to tell, nor keeps the one of the open before.
  char reason[64];
  EXPECT_EQ(PlatformOpenDrive(700, false), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(reason, sizeof reason), DriveFailure::kNoDrive);
  EXPECT_STREQ(reason, "/dev/sdzy: No such file or directory (no such drive)");
  EXPECT_EQ(PlatformOpenDrive(-1, false), kInvalidDriveHandle);
  EXPECT_EQ(PlatformDriveFailure(reason, sizeof reason), DriveFailure::kUnknown);
  EXPECT_EQ(PlatformOpenDrive(-1, true), kInvalidDriveHandle);
}

// ---- sysfs -----------------------------------------------------------------------------------

// A sysfs tree with one SCSI disk `dev` whose device sits under `devicePath`.
class FakeSysfs {
 public:
  FakeSysfs(const std::string& devicePath, std::optional<std::string> vendor,
            std::optional<std::string> model, bool withSg, const std::string& dev = "8:0") {
    char pattern[] = "/tmp/jmsysfs.XXXXXX";
    root_ = mkdtemp(pattern);
    fs::path scsiDevice = root_ / "devices" / devicePath;
    fs::create_directories(scsiDevice / "block" / "sda");
    fs::create_directory_symlink(scsiDevice, scsiDevice / "block" / "sda" / "device");
    fs::create_directories(root_ / "dev" / "block");
    fs::create_directory_symlink("../../devices/" + devicePath + "/block/sda",
                                 root_ / "dev" / "block" / dev);
    if (vendor) {
      std::ofstream(scsiDevice / "vendor") << *vendor;
    }
    if (model) {
      std::ofstream(scsiDevice / "model") << *model;
    }
    if (withSg) {
      fs::create_directories(scsiDevice / "scsi_generic" / "sg3");
    }
  }
  ~FakeSysfs() { fs::remove_all(root_); }
  const char* root() const { return root_.c_str(); }

 private:
  fs::path root_;
};

constexpr char kUsbDevice[] = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
constexpr char kAtaDevice[] = "pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";
constexpr char kVirtioDevice[] = "pci0000:00/0000:00:04.0/virtio1/host0/target0:0:0/0:0:0:0";

TEST(PlatformLinux, SysfsGivesTheDescriptorInTheWindowsLayout) {
  struct Case {
    const char* name;
    const char* device;
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    bool ok;
    std::uint32_t bus;
    std::string vendorText;
    std::string modelText;
  };
  const Case cases[] = {
      {"usb", kUsbDevice, "JMicron \n", "Generic         \n", true, 7, "JMicron ",
       "Generic         "},
      {"ata", kAtaDevice, "ATA     \n", "Samsung SSD 860 \n", true, 11, "ATA     ",
       "Samsung SSD 860 "},
      {"other", kVirtioDevice, "QEMU    \n", "QEMU HARDDISK   \n", true, 1, "QEMU    ",
       "QEMU HARDDISK   "},
      {"no newline", kUsbDevice, "ab", "c\n\n", true, 7, "ab", "c\n"},
      {"empty texts", kUsbDevice, "\n", "", true, 7, "", ""},
      {"no vendor", kUsbDevice, std::nullopt, "Generic         \n", false, 0, "", ""},
      {"no model", kUsbDevice, "JMicron \n", std::nullopt, false, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSysfs sysfs(c.device, c.vendor, c.model, false);
    std::vector<std::uint8_t> area(kDescriptorAreaSize, 0);
    std::uint32_t returned = 0xDEAD;
    ASSERT_EQ(ReadSysfsDescriptor(sysfs.root(), 8, 0, area.data(), &returned), c.ok);
    if (!c.ok) {
      EXPECT_EQ(returned, 0xDEADu);
      continue;
    }
    // Header of 40 bytes, then each text with its terminating zero; the rest stays zero.
    std::uint32_t modelAt = 40 + static_cast<std::uint32_t>(c.vendorText.size()) + 1;
    std::uint32_t used = modelAt + static_cast<std::uint32_t>(c.modelText.size()) + 1;
    std::vector<std::uint8_t> expected(kDescriptorAreaSize, 0);
    Put(expected, 0, used, 4);
    Put(expected, 4, used, 4);
    Put(expected, 12, 40, 4);
    Put(expected, 16, modelAt, 4);
    Put(expected, 28, c.bus, 4);
    std::memcpy(&expected[40], c.vendorText.c_str(), c.vendorText.size() + 1);
    std::memcpy(&expected[modelAt], c.modelText.c_str(), c.modelText.size() + 1);
    EXPECT_EQ(area, expected);
    EXPECT_EQ(returned, used);
  }
}

TEST(PlatformLinux, SysfsFindsTheGenericNode) {
  char node[32] = "";
  {
    FakeSysfs sysfs(kUsbDevice, "v\n", "m\n", true);
    ASSERT_TRUE(FindGenericNode(sysfs.root(), "/dev", 8, 0, node, sizeof node));
    EXPECT_STREQ(node, "/dev/sg3");
    EXPECT_FALSE(FindGenericNode(sysfs.root(), "/dev", 8, 16, node, sizeof node));
  }
  FakeSysfs sysfs(kUsbDevice, "v\n", "m\n", false);
  EXPECT_FALSE(FindGenericNode(sysfs.root(), "/dev", 8, 0, node, sizeof node));
  std::vector<std::uint8_t> area(kDescriptorAreaSize, 0);
  std::uint32_t returned = 0;
  EXPECT_FALSE(ReadSysfsDescriptor(sysfs.root(), 8, 16, area.data(), &returned));
}

// ---- Working open ------------------------------------------------------------------------------

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
  struct stat null;
  ASSERT_EQ(stat("/dev/null", &null), 0);
  struct Case {
    const char* name;
    const char* sg;       // what the sg node sysfs names is: "char", "file", or nullptr for none
    bool held;            // another open file holds the disk's flock
    std::string disk;     // empty: the loop device
    std::string failure;  // empty when the open succeeds; "@" stands for the failing node
    DriveFailure kind;
  };
  const Case cases[] = {
      {"sg node", "char", false, "", "", DriveFailure::kUnknown},
      {"no sg node: the disk once more, writable", nullptr, false, "", "", DriveFailure::kUnknown},
      {"sg node no character device", "file", false, "", "@/sg3: No such device",
       DriveFailure::kFailed},
      {"held", "char", true, "",
       "@: Resource temporarily unavailable (another program holds the drive)",
       DriveFailure::kFailed},
      {"no block device", "char", false, "/dev/null", "@: Block device required",
       DriveFailure::kFailed},
      {"no such disk", "char", false, "/dev/sdzzz", "@: No such file or directory (no such drive)",
       DriveFailure::kNoDrive},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSysfs sysfs(
        kUsbDevice, "v\n", "m\n", c.sg != nullptr,
        std::to_string(major(block.st_rdev)) + ":" + std::to_string(minor(block.st_rdev)));
    fs::path sg = fs::path(sysfs.root()) / "sg3";
    if (c.sg != nullptr && std::string(c.sg) == "char") {
      fs::create_symlink("/dev/null", sg);
    } else if (c.sg != nullptr) {
      std::ofstream(sg) << "";
    }
    std::string disk = c.disk.empty() ? loop : c.disk;
    int holder = open(loop.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, (c.held ? LOCK_EX : LOCK_UN) | LOCK_NB), 0);
    int before = OpenDescriptors();
    WorkingDisk opened = {-1, -1, 0, 0};
    bool ok = OpenWorkingDisk(disk.c_str(), sysfs.root(), sysfs.root(), &opened);
    ASSERT_EQ(ok, c.failure.empty());
    if (!ok) {
      std::string failure = c.failure;
      failure.replace(0, 1, failure.find("sg3") != std::string::npos ? sysfs.root() : disk);
      char reason[256];
      EXPECT_EQ(PlatformDriveFailure(reason, sizeof reason), c.kind);
      EXPECT_EQ(reason, failure);
      EXPECT_EQ(OpenDescriptors(), before);
      close(holder);
      continue;
    }
    EXPECT_EQ(fcntl(opened.diskFd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(fcntl(opened.passFd, F_GETFL) & O_ACCMODE, O_RDWR);
    struct stat pass;
    ASSERT_EQ(fstat(opened.passFd, &pass), 0);
    EXPECT_EQ(pass.st_rdev, c.sg != nullptr ? null.st_rdev : block.st_rdev);
    EXPECT_NE(opened.passFd, opened.diskFd);
    EXPECT_EQ(opened.major, major(block.st_rdev));
    EXPECT_EQ(opened.minor, minor(block.st_rdev));
    EXPECT_NE(flock(holder, LOCK_EX | LOCK_NB), 0);
    close(opened.passFd);
    close(opened.diskFd);
    close(holder);
  }
}

TEST(PlatformLinux, FailureTextsGiveTheSystemsWordsAndTheLikelyCause) {
  struct Case {
    int code;
    FailedNode node;
    const char* text;
    DriveFailure kind;
  };
  const Case cases[] = {
      {EACCES, FailedNode::kDisk, "/dev/sdb: Permission denied (run as root)",
       DriveFailure::kFailed},
      {EPERM, FailedNode::kGeneric, "/dev/sdb: Operation not permitted (run as root)",
       DriveFailure::kFailed},
      {EBUSY, FailedNode::kGeneric,
       "/dev/sdb: Device or resource busy (another program holds the drive)",
       DriveFailure::kFailed},
      {ENXIO, FailedNode::kDisk, "/dev/sdb: No such device or address (no such drive)",
       DriveFailure::kNoDrive},
      {ENOENT, FailedNode::kGeneric, "/dev/sdb: No such file or directory", DriveFailure::kFailed},
      {EIO, FailedNode::kDisk, "/dev/sdb: Input/output error", DriveFailure::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char text[128];
    EXPECT_EQ(DescribeFailure("/dev/sdb", c.code, c.node, text, sizeof text), c.kind);
    EXPECT_STREQ(text, c.text);
  }
}

// ---- OS version ------------------------------------------------------------------------------

TEST(PlatformLinux, KernelReleaseGivesThreeNumbers) {
  struct Case {
    const char* release;
    std::uint32_t major, minor, build;
  };
  const Case cases[] = {
      {"6.1.0-13-amd64", 6, 1, 0},
      {"6.18.44-fc-v1272", 6, 18, 44},
      {"5.10", 5, 10, 0},
      {"4.19.0.7", 4, 19, 0},
      {"3", 3, 0, 0},
      {"5.4-rc1.2", 5, 4, 0},
      {"", 0, 0, 0},
      {"abc", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.release);
    std::uint32_t major = 99, minor = 99, build = 99;
    ParseKernelRelease(c.release, &major, &minor, &build);
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(minor, c.minor);
    EXPECT_EQ(build, c.build);
  }
  OsVersion version;
  PlatformQueryOsVersion(&version);
  EXPECT_STREQ(version.text, "Linux");
}

// ---- Keys ------------------------------------------------------------------------------------

TEST(PlatformLinux, TerminalBytesDecodeToConsoleKeyCodes) {
  struct Case {
    std::string bytes;
    bool complete;
    DecodedKey key;
  };
  const Case cases[] = {
      {"a", false, {1, 'a', -1}},
      {"\r\n", false, {1, '\r', -1}},
      {"\xC3\xA9", false, {1, 0xC3, -1}},
      {"\x1b", false, {0, -1, -1}},
      {"\x1b", true, {1, 27, -1}},
      {"\x1bx", false, {1, 27, -1}},
      {"\x1b\x1b[A", false, {1, 27, -1}},
      {"\x1b[", false, {0, -1, -1}},
      {"\x1b[1;5", false, {0, -1, -1}},
      {"\x1b[A", false, {3, 0xE0, 72}},
      {"\x1b[Bq", false, {3, 0xE0, 80}},
      {"\x1b[D", false, {3, 0xE0, 75}},
      {"\x1b[C", false, {3, 0xE0, 77}},
      {"\x1bOA", false, {3, 0xE0, 72}},
      {"\x1b[1;5A", false, {6, 0xE0, 72}},
      {"\x1b[H", false, {3, 0xE0, 71}},
      {"\x1bOF", false, {3, 0xE0, 79}},
      {"\x1b[1~", false, {4, 0xE0, 71}},
      {"\x1b[4~", false, {4, 0xE0, 79}},
      {"\x1b[2~", false, {4, 0xE0, 82}},
      {"\x1b[3~", false, {4, 0xE0, 83}},
      {"\x1b[3;2~", false, {6, 0xE0, 83}},
      {"\x1b[5~", false, {4, 0xE0, 73}},
      {"\x1b[6~", false, {4, 0xE0, 81}},
      {"\x1bOP", false, {3, 0, 59}},
      {"\x1bOS", false, {3, 0, 62}},
      {"\x1b[[A", false, {4, 0, 59}},
      {"\x1b[[E", false, {4, 0, 63}},
      {"\x1b[15~", false, {5, 0, 63}},
      {"\x1b[17~", false, {5, 0, 64}},
      {"\x1b[21~", false, {5, 0, 68}},
      {"\x1b[23~", false, {5, 0xE0, 133}},
      {"\x1b[24~", false, {5, 0xE0, 134}},
      {"\x1b[99~x", false, {5, 0xE0, 0}},
      {"\x1b[Z", false, {3, 0xE0, 0}},
      {"\x1b[12", true, {4, 0xE0, 0}},
      {"\x1b[", true, {2, 0xE0, 0}},
      {"\x1b[1\x03", false, {3, 0xE0, 0}},
      {"\x1b[111111111111111111111", false, {16, 0xE0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    DecodedKey key = DecodeKey(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                               c.bytes.size(), c.complete);
    EXPECT_EQ(key.consumed, c.key.consumed);
    if (key.consumed > 0) {
      EXPECT_EQ(key.first, c.key.first);
      EXPECT_EQ(key.second, c.key.second);
    }
  }
}

// Runs `body` in a child process whose controlling terminal is the slave of a fresh pty; the
// child reports through `report` (a pipe). The parent keeps the master to type with.
struct PtyChild {
  int master = -1;
  int report = -1;
  pid_t pid = -1;
  std::string slave;
};

PtyChild StartOnPty(void (*body)(int report)) {
  PtyChild child;
  child.master = posix_openpt(O_RDWR | O_NOCTTY);
  int fds[2];
  if (child.master < 0 || grantpt(child.master) != 0 || unlockpt(child.master) != 0 ||
      pipe(fds) != 0) {
    ADD_FAILURE() << "no pty";
    return child;
  }
  child.slave = ptsname(child.master);
  child.pid = fork();
  if (child.pid == 0) {
    close(fds[0]);
    setsid();
    int slave = open(child.slave.c_str(), O_RDWR);  // becomes the controlling terminal
    if (slave < 0) {
      _exit(2);
    }
    body(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  child.report = fds[0];
  return child;
}

// Reads the child's report up to `until` (or its end); gives up after 10 s.
std::string ReadReport(int fd, const std::string& until = "") {
  std::string text;
  char c;
  while (until.empty() || text.find(until) == std::string::npos) {
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 10000) <= 0 || read(fd, &c, 1) != 1) {
      break;
    }
    text += c;
  }
  return text;
}

// Waits for the child's end, killing it when it hangs; gives its wait status.
int FinishChild(pid_t pid) {
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= 10000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  return status;
}

void Say(int fd, const std::string& text) {
  if (write(fd, text.data(), text.size()) < 0) {
    _exit(3);
  }
}

std::string PollName(KeyPoll poll) {
  return poll == KeyPoll::kNone ? "none" : poll == KeyPoll::kWaiting ? "waiting" : "noconsole";
}

// What the child does on its terminal: every key operation's result, in order.
void TypeScript(int report) {
  Say(report, PollName(PlatformPollKey(0)) + "\n");
  termios mode;
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
  tcgetattr(tty, &mode);
  Say(report, std::string("raw ") + ((mode.c_lflag & ICANON) ? "icanon " : "") +
                  ((mode.c_lflag & ECHO) ? "echo " : "") + ((mode.c_lflag & ISIG) ? "isig" : "") +
                  "\nready\n");
  Say(report, PollName(PlatformPollKey(5000)));
  Say(report, " " + PollName(PlatformPollKey(0)));
  for (int i = 0; i < 6; ++i) {
    Say(report, " " + std::to_string(PlatformTakeKey()));
    Say(report, "/" + PollName(PlatformPollKey(0)));
  }
  PlatformRestoreConsole();
  tcgetattr(tty, &mode);
  Say(report, std::string("\nrestored ") + ((mode.c_lflag & ICANON) ? "icanon " : "") +
                  ((mode.c_lflag & ECHO) ? "echo" : "") + "\n");
}

TEST(PlatformLinux, KeysComeFromTheTerminalOneCodeAtATime) {
  PtyChild child = StartOnPty(TypeScript);
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(ReadReport(child.report, "ready\n"), "none\nraw isig\nready\n");
  // An arrow, a letter, F5, and a lone ESC: all at once, as a fast typist's terminal sends them.
  const std::string typed = "\x1b[Aq\x1b[15~\x1b";
  EXPECT_EQ(write(child.master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  EXPECT_EQ(ReadReport(child.report),
            "waiting waiting 224/waiting 72/waiting 113/waiting 0/waiting 63/waiting 27/none\n"
            "restored icanon echo\n");
  int status = FinishChild(child.pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(child.master);
  close(child.report);
}

void HoldKeyMode(int report) {
  prctl(PR_SET_DUMPABLE, 0);  // the core-dumping signals leave no core behind
  PlatformPollKey(0);
  Say(report, "ready\n");
  pause();
}

TEST(PlatformLinux, TerminalModeComesBackWhenTheToolIsKilled) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM, SIGABRT}) {
    SCOPED_TRACE(signal);
    PtyChild child = StartOnPty(HoldKeyMode);
    ASSERT_GT(child.pid, 0);
    if (ReadReport(child.report, "ready\n") != "ready\n") {
      ADD_FAILURE() << "the child never reached key mode";
      FinishChild(child.pid);
      continue;
    }
    kill(child.pid, signal);
    int status = FinishChild(child.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
    int slave = open(child.slave.c_str(), O_RDWR | O_NOCTTY);
    termios mode;
    ASSERT_EQ(tcgetattr(slave, &mode), 0);
    EXPECT_EQ(mode.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    close(slave);
    close(child.master);
    close(child.report);
  }
}

void NoTerminal(int report) {
  Say(report, PollName(PlatformPollKey(100)));
  Say(report, " " + std::to_string(PlatformTakeKey()) + "\n");
}

TEST(PlatformLinux, WithoutATerminalThereIsNoConsole) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    setsid();  // no controlling terminal
    NoTerminal(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  EXPECT_EQ(ReadReport(fds[0]), "noconsole -1\n");
  FinishChild(pid);
  close(fds[0]);
}

}  // namespace
