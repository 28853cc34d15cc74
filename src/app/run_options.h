// The parsed command line, the platform family and the one piece of run state
// that the visitors share. There is exactly one record per process.
#pragma once

#include "actions/actions.h"
#include "platform/platform.h"

const int kTextSize = 256;  // target and targetArgs: 255 characters and the terminator

struct PriorityClass;

/// One rule: a target of the name match and the class it gives. Its number
/// is its index: the first target, then, with -w, every later word, in the
/// order given; or the rules of a file, in its order.
struct TargetRow {
    const char* text;    // as given, at most 255 bytes; a name target's begins with "="
    const char* folded;  // text with A-Z folded; a name target's without its "="
    const PriorityClass* priority;
    plat::TargetFile* file;  // what text names; null when it may name no path
    plat::DWORD kind;        // TARGET_NAME; else TARGET_PART, or as file was last looked at
    int matched;             // the match round in which, without -a, it had its one change
};

/// The rules in force, in one heap block allocated when they are loaded
/// and released whole: the rows, the files of the rows that may name a path
/// (and those rows' numbers, in order), the room of their index and the
/// texts; beside it, the table that matches every other row at once. The
/// rows that may name a path are looked at together, and at their last look
/// each is in the index or, matched as a part of names, in partRows.
struct TargetRules {
    void* block;
    TargetRow* rows;
    int count;
    int capacity;
    int* pathRows;
    int pathCount;
    int pathCapacity;
    int* partRows;  // in order
    int partCount;
    PathIndex paths;
    plat::DWORD lookedAt;  // the tick of the last look, see ExamineTargets
    int lookReused;        // a later judgement than the one that took it used it
    plat::TargetFile* files;
    char* texts;
    std::size_t textUsed;
    std::size_t textSize;
    TargetTable table;
};

/// Allocates room for at most rows rules, whose texts take at most
/// textBytes bytes without terminators, pathRows of them holding a "/" or
/// a "\\"; 0 when memory is exhausted or the sizes do not fit.
int BeginRules(TargetRules* rules, std::size_t rows, std::size_t textBytes, std::size_t pathRows);
/// Adds a rule with the next number; 0 when text is no target: empty, longer
/// than 255 bytes, holding a "?" where names lose characters, or a name
/// target whose name is empty or holds a separator. Rules that holds no
/// room for it is a fault of the caller's count.
int AddRule(TargetRules* rules, const char* text, std::size_t length,
            const PriorityClass* priority);
/// Builds the table of the rules added, once the last is; 0, with nothing
/// held, when memory is exhausted.
int FinishRules(TargetRules* rules);
/// Releases the block and the table; rules is then empty.
void ReleaseRules(TargetRules* rules);
/// 1 when the text would be a row that may name a path: it holds a "/" or a
/// "\\", and the platform matches paths as paths.
int MayNamePath(const char* text, std::size_t length);

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
    TargetRules rules;
    const char* rulesFile;  // after "@", or null: the rules come from the command line
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
