// Runs the whole program on the scripted platform and captures what it says.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted/scripted_platform.h"

struct RunResult {
    int status;
    std::string out;    // standard output
    std::string debug;  // the debugger channel, all messages joined
    std::vector<std::string> debugMessages;
};

/// Runs HoisterMain with these words after the program's path, on fresh
/// options and the current scripted::World().
RunResult RunHoister(const std::vector<std::string>& words);

/// The banner that every run prints first.
extern const char kBanner[];
/// The sixteen texts of the usage, as printed.
extern const char kUsage[];

/// Adds a process to the scripted world; the reference lasts until the next one is added.
scripted::Process& AddProcess(plat::DWORD id, const std::string& name,
                              plat::DWORD priorityClass = plat::NORMAL_PRIORITY_CLASS);

/// Every library, handle and heap block acquired has been released, exactly once.
void ExpectNothingOutstanding();

/// Clears the scripted world before each test.
class ScriptedTest : public ::testing::Test {
  protected:
    void SetUp() override { scripted::Reset(); }
    void TearDown() override { ExpectNothingOutstanding(); }
};
