// The Windows backend's internals, exposed so that they can be tested without a driver.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// While a file is saved (between these two calls): Ctrl+C and Ctrl+Break are held until the save
// is done, and closing the console, logging off or shutting down removes `temporary` (a name that
// must stay valid meanwhile) unless the save ends within a few seconds.
void HoldConsoleEvents(const char* temporary);
// The temporary file's handle (opened with DELETE access) while it is open, or
// INVALID_HANDLE_VALUE once it is closed: an open file is removed through it.
void ConsoleEventsFile(void* file);
void ReleaseConsoleEvents();
// Runs the handler for console event `event` (CTRL_C_EVENT, ...) on the calling thread, as the
// system runs it on a thread of its own; it returns when the event may go on to end the tool.
void RunConsoleEventHandler(unsigned long event);
