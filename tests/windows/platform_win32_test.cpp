// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bridge/platform.h"
#include "tests/windows/windows_test_support.h"

namespace {

using wintest::UnderWine;

TEST(Win32Drives, OpenFollowsTheDriveNumber) {
  struct Case {
    std::int32_t number;
    bool exclusive;
    bool opens;
    bool wineOnly;  // Wine's fake PhysicalDrive0; Windows needs an elevated process for it
  };
  const Case cases[] = {
      {0, false, true, true},    {0, true, true, true},    {150, false, false, false},
      {150, true, false, false}, {-1, true, false, false},  // "\\.\PhysicalDrive-1" is no device
                                                            // name
  };
  for (const Case& c : cases) {
    if (c.wineOnly && !UnderWine()) {
      continue;
    }
    SCOPED_TRACE(testing::Message() << "drive " << c.number << (c.exclusive ? " exclusive" : ""));
    DriveHandle drive = PlatformOpenDrive(c.number, c.exclusive);
    EXPECT_EQ(drive != kInvalidDriveHandle, c.opens);
    if (drive != kInvalidDriveHandle) {
      PlatformCloseDrive(drive);
    }
  }
}

TEST(Win32Drives, DescriptorOfWinesFakeDisk) {
  if (!UnderWine()) {
    GTEST_SKIP() << "needs Wine's PhysicalDrive0";
  }
  DriveHandle drive = PlatformOpenDrive(0, false);
  ASSERT_NE(drive, kInvalidDriveHandle);
  std::uint8_t area[kDescriptorAreaSize] = {};
  std::uint32_t returned = 0;
  EXPECT_TRUE(PlatformQueryDescriptor(drive, area, &returned));
  PlatformCloseDrive(drive);
  // A STORAGE_DEVICE_DESCRIPTOR: Version and Size lead, BusType at 28 (Wine: SCSI, not USB).
  EXPECT_GE(returned, 40u);
  EXPECT_EQ(area[0], 40);
  EXPECT_EQ(area[28], 1);
}

TEST(Win32Drives, FailuresCarryTheSystemErrorCode) {
  std::uint8_t block[68 + 16] = {};
  std::uint32_t error = 0;
  // A handle that is no handle: the system's own error comes back.
  DriveHandle bogus = reinterpret_cast<DriveHandle>(reinterpret_cast<HANDLE>(0x1234));
  EXPECT_FALSE(PlatformPassThrough(bogus, block, sizeof block, &error));
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));

  std::uint8_t area[kDescriptorAreaSize] = {};
  std::uint32_t returned = 77;
  EXPECT_FALSE(PlatformQueryDescriptor(bogus, area, &returned));
  EXPECT_EQ(returned, 0u);

  if (UnderWine()) {
    // Wine's fake disk takes the open and the descriptor query, but no pass-through.
    DriveHandle drive = PlatformOpenDrive(0, true);
    ASSERT_NE(drive, kInvalidDriveHandle);
    error = 0;
    EXPECT_FALSE(PlatformPassThrough(drive, block, sizeof block, &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
    PlatformCloseDrive(drive);
  }
}

TEST(Win32OsVersion, MatchesTheSystemsOwnAnswer) {
  OsVersion version;
  std::memset(&version, 0x5A, sizeof version);
  PlatformQueryOsVersion(&version);
  OSVERSIONINFOA expected = {};
  expected.dwOSVersionInfoSize = sizeof expected;
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  ASSERT_TRUE(GetVersionExA(&expected));
  EXPECT_EQ(version.major, expected.dwMajorVersion);
  EXPECT_EQ(version.minor, expected.dwMinorVersion);
  EXPECT_EQ(version.build, expected.dwBuildNumber);
  EXPECT_STREQ(version.text, expected.szCSDVersion);
  EXPECT_GE(version.major, 5u);
}

}  // namespace
