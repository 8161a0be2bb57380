// The tool's one run, from the banner to the exit status.
#pragma once

#include "app/arguments.h"

// Exit statuses. Scripts test them, so each keeps its value whatever the messages say.
// The run ended after the key wait.
inline constexpr int kExitDone = 0;
// The run ended with Y: nobody was asked, whatever came of it.
inline constexpr int kExitAutoYes = 1;
// An argument was refused and nothing was opened: the usual status of a usage error.
inline constexpr int kExitRefused = 2;
// The two early stops keep the values they always had (once the lengths of their messages):
// the drive could not be opened, and no usable drive number was typed.
inline constexpr int kExitOpenFailed = 16;
inline constexpr int kExitBadNumber = 23;

enum class JobOutcome;  // app/jobs.h

// Runs the tool with the program's arguments and returns its exit status. Once a drive was
// opened, `outcome` (when given) receives what the job came to, which the status does not tell.
int RunTool(int argc, const char* const* argv, const ProgramText& program = kJmreaderText,
            JobOutcome* outcome = nullptr);
