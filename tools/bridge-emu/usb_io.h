// What the two device modes (FunctionFS Bulk-Only, gadgetfs UAS) share: the log, whole transfers
// on an endpoint, and the host's resets reaching a command that is blocked or stalling on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

// Log lines start with "[<tag> <seconds>] " on standard error.
void SetLogTag(const char* tag);
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Moves all `length` bytes, in at least one write, so an empty write still goes out as a
// zero-length packet; false (logged with `what`) when the endpoint fails or ends.
bool WriteAll(int fd, const std::uint8_t* p, std::size_t length, const char* what);
bool ReadAll(int fd, std::uint8_t* p, std::size_t length, const char* what);

// Host resets: every reset bumps the generation and breaks the command thread out of a blocked
// transfer; a command that sees the generation change drops its reply.
unsigned Generation();
void InterruptCommands();
// Waits out a stall of `ms`; false when the host reset the device meanwhile.
bool Stall(std::uint32_t ms, unsigned generation);

// Makes the calling thread the command thread, starts `control` on a thread of its own and
// creates `readyFile` (when not empty). False when the thread cannot start.
bool StartControl(void* (*control)(void*), const std::string& readyFile);

}  // namespace emu
