// The Windows backend's internals, exposed so that they can be tested without a driver.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Judges what DeviceIoControl gave back for a pass-through block of `length` bytes: fails (with
// ERROR_INVALID_DATA in `error`) when fewer bytes than the header came back, and for inbound data
// cuts the header's DataTransferLength to what came back past the data offset.
bool TakeReturnedCount(const PassThroughLayout& layout, std::uint8_t* block, std::uint32_t length,
                       std::uint32_t returned, std::uint32_t* error);

// The temporary file's handle (opened with DELETE access) from its creation (`open`) until it is
// closed: a console close during a save removes an open file through it.
void ConsoleEventsFile(void* file, bool open);
// Runs the handler for console event `event` (CTRL_C_EVENT, ...) on the calling thread, as the
// system runs it on a thread of its own; it returns when the event may go on to end the tool.
void RunConsoleEventHandler(unsigned long event);
