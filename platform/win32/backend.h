// The Windows backend's internals, exposed so that they can be tested without a driver.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Judges what DeviceIoControl gave back for a pass-through block of `length` bytes: fails (with
// ERROR_INVALID_DATA in `error`) when fewer bytes than the header came back, and for inbound data
// cuts the header's DataTransferLength to what came back past the data offset.
bool TakeReturnedCount(const PassThroughLayout& layout, std::uint8_t* block, std::uint32_t length,
                       std::uint32_t returned, std::uint32_t* error);

