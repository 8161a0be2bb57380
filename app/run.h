// The tool's one run, from the banner to the exit status.
#pragma once

#include "app/arguments.h"

// Exit statuses. Scripts test them, so each keeps its value whatever the messages say.
// The job did what was asked (or the user answered no at the update's question), after the key
// wait.
inline constexpr int kExitDone = 0;
// The job did what was asked, with Y.
inline constexpr int kExitAutoYes = 1;
// An argument was refused and nothing was opened: the usual status of a usage error.
inline constexpr int kExitRefused = 2;
// The two early stops keep the values they always had (once the lengths of their messages):
// the drive could not be opened, and no usable drive number was typed.
inline constexpr int kExitOpenFailed = 16;
inline constexpr int kExitBadNumber = 23;
// The drive was open, the job was not done, and nothing was written to the bridge.
inline constexpr int kExitNotDone = 4;
// The NVRAM write was sent and did not end verified: the sector may have changed.
inline constexpr int kExitWriteUnverified = 5;

// Runs the tool with the program's arguments and returns its exit status.
int RunTool(int argc, const char* const* argv, const ProgramText& program = kJmreaderText);
