// The Windows error codes and texts the simulated platform reports, as the real backend would,
// and the simulated drives' names.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorNoSuchDevice = 433;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// The system's text for `code` in `text` (cut to fit); "error <code>" for one it has none for.
void SimErrorText(std::uint32_t code, char* text, std::uint32_t size);

// "\\.\PhysicalDriveN", the name of simulated drive `number`.
void SimDrivePath(std::int32_t number, char* text, std::uint32_t size);
