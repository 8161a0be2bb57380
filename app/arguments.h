// The command line: options, device paths, extra arguments and the usage text.
#pragma once

#include <optional>

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
  kList,           // --list
  kTrace,          // --trace
  kUnknownOption,  // any other "-" with a letter or a second "-"
  kDevicePath,     // holds a slash or a backslash: a device path is no selection
};
ArgumentKind ClassifyArgument(const char* arg);

// How many arguments a leading --trace takes up (0 or 1): the arguments after it are read as they
// would be without it.
int TraceArguments(int argc, const char* const* argv);

// Deals with the arguments that are no selection: help, version, the list, unknown options,
// device paths, --trace out of place, and arguments past the first (a warning). `traced`: a
// --trace came before argv[1]. The exit status when they end the run; none when it goes on, with
// argv[1] (if any) as the selection.
std::optional<int> TakeArguments(int argc, const char* const* argv, const ProgramText& program,
                                 bool traced = false);
