// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <utility>

#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Wine's PhysicalDrive0 is a fake SCSI disk that anyone may open; on Windows it needs rights.
bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
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
  // A STORAGE_DEVICE_DESCRIPTOR: Version (its size) first, BusType at 28 (SCSI, not USB).
  EXPECT_GE(returned, 40u);
  EXPECT_EQ(area[0], 40);
  EXPECT_EQ(area[kBusTypeField], 1);
}

TEST(Win32Drives, FailuresCarryTheSystemErrorCode) {
  const DriveHandle fake = UnderWine() ? PlatformOpenDrive(0, true) : kInvalidDriveHandle;
  ASSERT_EQ(fake != kInvalidDriveHandle, UnderWine());
  const std::pair<DriveHandle, DWORD> cases[] = {
      {0x1234, ERROR_INVALID_HANDLE},  // a handle that is no handle
      {fake, ERROR_NOT_SUPPORTED},     // Wine's fake disk takes no pass-through
  };
  for (const auto& [drive, code] : cases) {
    if (drive != kInvalidDriveHandle) {
      std::uint8_t block[68 + 16] = {};
      std::uint32_t error = 0;
      EXPECT_FALSE(PlatformPassThrough(drive, block, sizeof block, &error));
      EXPECT_EQ(error, code);
    }
  }
  if (fake != kInvalidDriveHandle) {
    PlatformCloseDrive(fake);
  }
}

}  // namespace
