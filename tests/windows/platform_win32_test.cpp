// The Windows backend against the real system calls (under Wine when cross-built).
#include <gtest/gtest.h>

#include <utility>

#include "platform/platform.h"
#include "platform/win32/win32.h"

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

// The system's text converted to a given code page (ReasonCodePage picks the console's), cut to
// fit; a code without text is numbered.
TEST(Win32Errors, TextInTheConsolesCodePage) {
  const DWORD french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
  char text[128];
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, 850, text, sizeof text));
  EXPECT_STREQ(text, "Acc\x8As refus\x82");
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, 1252, text, sizeof text));
  EXPECT_STREQ(text, "Acc\xE8s refus\xE9");
  ASSERT_TRUE(FormatErrorText(ERROR_ACCESS_DENIED, french, CP_UTF8, text, 8));
  EXPECT_STREQ(text, "Acc\xC3\xA8s ");  // cut to fit
  EXPECT_FALSE(FormatErrorText(0xDEADBEEF, 0, 850, text, sizeof text));
  SystemErrorText(0xDEADBEEF, text, sizeof text);
  EXPECT_STREQ(text, "error 3735928559");
}

}  // namespace
