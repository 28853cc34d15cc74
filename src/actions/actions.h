// The run operations that main chooses between, and the visitors they hand to
// the process walk. Each reads runOptions and prints through LogMessage.
#pragma once

#include "platform/platform.h"

/// Prints the heading and one line per process that can be opened to change
/// its priority: the ID as -# takes it, the class label and the path.
void ListProcesses();
std::int32_t ListVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                         void* userData);

/// Sets the chosen class on the first process (every one, with -a) whose path
/// contains the target, ignoring the case of A-Z. 0 only when the walk failed.
std::int32_t SetPriorityByName();
std::int32_t NameMatchVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                              void* userData);

/// Sets the chosen class on the process with runOptions.processId; 0 when no
/// process has that ID.
std::int32_t SetPriorityById();
std::int32_t IdMatchVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                            void* userData);

/// The name match's test: target occurs in name, both cut to 255 bytes and
/// with A-Z folded to lower case.
int NameContainsTarget(const char* name, const char* target);

/// Starts the target with its arguments in the chosen class; 1 when created.
std::int32_t LaunchTarget();
/// Runs the name match and launches the target only when nothing matched.
std::int32_t StartIfNotRunning();

/// The command line of the launch: the target, quoted and escaped when it
/// holds a blank, a tab or a double quote, so that the system's splitting
/// gives it back exactly; one space; then targetArgs. An escaped target takes
/// at most two bytes per character and its two quotes: kCommandLineSize bytes
/// hold the longest command line and its terminator.
const int kCommandLineSize = 2 * 255 + 2 + 1 + 255 + 1;
void BuildCommandLine(char* commandLine, const char* target, const char* targetArgs);
