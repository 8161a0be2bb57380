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

// Whether a file with these attributes and reparse tag is a regular file: one with a
// name-surrogate tag (a symbolic link, a mount point) stands for another and is not, while a
// cloud, deduplicated or compressed one is read through its driver like any other.
bool IsPlainFile(std::uint32_t attributes, std::uint32_t tag);
// What a failed CreateHardLinkW's error code means for a backup: a name that is taken, or else
// (no hard links on this file system, or refused by a network share) a move to do instead.
FileError LinkFailure(std::uint32_t code);
// Whether a move that failed with `code` may pass when tried again: a sharing or lock violation,
// or access denied where the target (attributes `target`, INVALID_FILE_ATTRIBUTES when there is
// none) is a file that another program may hold, neither read-only nor a folder.
bool RenameMayPass(std::uint32_t code, std::uint32_t target);
