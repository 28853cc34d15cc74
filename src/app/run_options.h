// The parsed command line, the platform family and the one piece of run state
// that the visitors share. There is exactly one record per process.
#pragma once

#include "platform/platform.h"

const int kTextSize = 256;  // target and targetArgs: 255 characters and the terminator
const int kMaxTargets = 64;

struct PriorityClass;

/// One target of the name match and the class it gives. The first row is
/// the target; with -w, every later word is another row, in the order given.
struct TargetRow {
    char text[kTextSize];
    char folded[kTextSize];   // text with A-Z folded, as parts of names are compared
    std::uint64_t pairs[16];  // the folded text's byte pairs, hashed to 1024 bits
    const PriorityClass* priority;
    plat::TargetFile file;  // what text names, as last examined
    plat::DWORD lookedAt;   // the tick of that look, see ExamineTargets
    int lookReused;         // a later judgement than the one that took it used it
    int matched;            // without -a, this target has had its one change
};

struct RunOptions {
    char target[kTextSize];
    char targetArgs[kTextSize];  // each argument after a space; quoted where the launch splits
    plat::DWORD priorityClass = plat::HIGH_PRIORITY_CLASS;
    char priorityName[12];
    std::int32_t processId;  // negated on the 95/98 family, as the listing shows IDs there
    std::int32_t delaySeconds;
    std::int32_t holdSeconds;  // the pause between rounds of a hold; 0: no hold
    int listProcesses;
    int allMatches;
    int forceLaunch;
    int launchIfMissing;
    int quiet;
    int verbose;
    int targetGiven;
    int targetCount;
    TargetRow targets[kMaxTargets];
    int matchedAny;
    plat::DWORD platformId;
};

extern RunOptions runOptions;

struct PriorityClass {
    char letter;        // after -p, upper case
    plat::DWORD value;  // the Win32 class
    const char* name;   // in messages
    const char* label;  // in the listing, always eight characters
};

extern const PriorityClass PriorityClassTable[4];

/// The class selected by an upper-case option letter, or null.
const PriorityClass* FindPriorityClassByLetter(char letter);
/// The class with this Win32 value, or null for any other value.
const PriorityClass* FindPriorityClassByValue(plat::DWORD value);
