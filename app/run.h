// The tool's one run, from the banner to the exit status.
#pragma once

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

// What a program that runs the tool calls itself and says of itself in its usage.
struct ProgramText {
  const char* name;      // as the user types it: "jmreader"
  const char* about;     // lines after the usage lines
  const char* statuses;  // lines for its own exit statuses, after the tool's; "" for none
};
extern const ProgramText kJmreaderText;

enum class ArgumentKind {
  kSelection,      // a drive number and option letters
  kHelp,           // -h, --help, /?
  kVersion,        // --version
  kUnknownOption,  // any other "-" with a letter or a second "-"
  kDevicePath,     // holds a slash or a backslash: a device path is no selection
};
ArgumentKind ClassifyArgument(const char* arg);

// Deals with the arguments that are no selection: help, version, unknown options, device paths,
// and arguments past the first (a warning). True when the run goes on, with argv[1] (if any) as
// the selection; otherwise `status` is the exit status.
bool TakeArguments(int argc, const char* const* argv, const ProgramText& program, int* status);

enum class JobOutcome;

// Runs the tool with the program's arguments and returns its exit status. Once a drive was
// opened, `outcome` (when given) receives what the job came to, which the status does not tell.
int RunTool(int argc, const char* const* argv, const ProgramText& program = kJmreaderText,
            JobOutcome* outcome = nullptr);
