// The Windows backend's internals, exposed so that they can be tested without a driver.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The temporary file's handle (opened with DELETE access) from its creation (`open`) until it is
// closed: a console close during a save removes an open file through it.
void ConsoleEventsFile(void* file, bool open);
// Runs the handler for console event `event` (CTRL_C_EVENT, ...) on the calling thread, as the
// system runs it on a thread of its own; it returns when the event may go on to end the tool.
void RunConsoleEventHandler(unsigned long event);
