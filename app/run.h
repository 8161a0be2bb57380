// The tool's one run, from the banner to the exit status.
#pragma once

struct SelectionFlags {
  bool noNvram;
  bool autoYes;
  bool updateNvram;
};

// The drive number and option letters of a selection text.
int SelectionDrive(const char* text);
SelectionFlags SelectionFlagsOf(const char* text);

// Runs the tool with the program's arguments and returns its exit status.
int RunTool(int argc, const char* const* argv);
