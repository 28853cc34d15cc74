// The run operations that main chooses between, and the visitors they hand to
// the process walk. Each reads runOptions and prints through LogMessage.
#pragma once

#include "platform/platform.h"

struct PriorityClass;

/// Prints the heading and one line per process that can be opened to change
/// its priority: the ID as -# takes it, the class label and the path.
void ListProcesses();
std::int32_t ListVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                         void* userData);

/// Gives each target's class to the first process (every one, with -a) that
/// matches it, each process by the first target it matches, in the order
/// given (see plat::ExamineTarget and NameContainsTarget); Hoister's own
/// process and processes that end before their change are no match. 0 only
/// when the walk failed.
std::int32_t SetPriorityByName();
/// Starts a new round of matches: before each walk, with now 1, looking at
/// what each target names at once; before each process start is judged, with
/// now 0. A look serves later judgements for at most a quarter second.
void ExamineTargets(int now);
/// A start judged by a look that an earlier judgement took may have been
/// misjudged when the target changed in between: once such a look has
/// expired, the target is looked at again. 1 when a target then names
/// something else, and a round should judge every process again; *due is the
/// time in milliseconds until the next such look expires (kNoLookDue: none).
const plat::DWORD kNoLookDue = 0xFFFFFFFF;
int LookAgainAtReusedTargets(plat::DWORD* due);
/// userData is null, or the HoldState of a hold round.
std::int32_t NameMatchVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                              void* userData);

/// What a hold keeps from round to round: the processes (ID and start) whose
/// failed change has been reported, so that each is reported once; how many
/// more failed in this round than the table holds, by class (in the order of
/// PriorityClassTable); whether a stop was asked.
const int kHoldFailureSlots = 4096;
struct HoldState {
    plat::DWORD failedIds[kHoldFailureSlots];
    std::uint64_t failedStarts[kHoldFailureSlots];
    unsigned char failedThisRound[kHoldFailureSlots];
    int failedCount;
    int failedBeyondTable[4];
    int stopRequested;
};

/// Does the by-name change once per round, every runOptions.holdSeconds,
/// and, where the platform reports process starts, on each process as it
/// starts, until a stop is asked; then returns 1. A match already in the
/// class is left alone, and a failure already reported is not reported again.
std::int32_t HoldPriorityByName();
/// Notes that the change of the process failed in this round; 1 when that is
/// news and must be reported. A process is told from an earlier one with the
/// same ID by its start, or by its name where the platform gives no start.
int NoteHoldFailure(HoldState* hold, plat::DWORD processId, const char* name,
                    const PriorityClass* priority);

/// Sets the chosen class on the process with runOptions.processId; 0 when no
/// process has that ID.
std::int32_t SetPriorityById();
std::int32_t IdMatchVisitor(plat::DWORD processId, plat::DWORD task16, const char* name,
                            void* userData);

/// The room for a name as messages show it, which print at most 256 bytes.
const int kShownNameSize = plat::MAX_PATH;
/// name as messages show it: name itself, or, where the platform marks
/// control bytes, a copy in shown (cut to fit) with each byte below 0x20 and
/// 0x7F, and each C1 control in UTF-8, made one "?". Names are matched as
/// they are.
const char* ShownName(const char* name, char (&shown)[kShownNameSize]);

/// The name match's test: target, cut to 255 bytes, occurs anywhere in the
/// whole name, with A-Z folded to lower case.
int NameContainsTarget(const char* name, const char* target);

/// Starts the target with its arguments in the chosen class; 1 when created.
std::int32_t LaunchTarget();
/// Runs the name match and launches the target only when nothing matched.
std::int32_t StartIfNotRunning();

/// Appends word to the terminated text in a buffer of size bytes, as one word
/// of a command line: quoted and escaped when it is empty or holds a blank, a
/// tab or a double quote, so that the Windows splitting rules give it back
/// exactly. 0, with text unchanged, when it does not fit.
int AppendCommandLineWord(char* text, std::size_t size, const char* word);

/// The command line of the launch: the target as one word (see
/// AppendCommandLineWord), one space, then targetArgs. An escaped target
/// takes at most two bytes per character and its two quotes:
/// kCommandLineSize bytes hold the longest command line and its terminator.
const int kCommandLineSize = 2 * 255 + 2 + 1 + 255 + 1;
void BuildCommandLine(char* commandLine, const char* target, const char* targetArgs);

/// The rules of many targets matched at once, at a cost that follows the
/// length of a process's path and not the number of rules: one automaton
/// over every part of names, one hash table of whole file names. Room is
/// made, the rules are added, then the table is built once; a new set of
/// rules is a new table. A zeroed table is empty and matches nothing.
const int TABLE_PART = 0;  // the text occurs anywhere in the path
const int TABLE_NAME = 1;  // the text is the whole file name
struct TargetTableBuilt;
struct TargetTable {
    void* staged;  // until the table is built: the rules as added, their texts
    std::uint32_t stagedCount;
    std::uint32_t stagedRoom;
    std::size_t textUsed;
    std::size_t textRoom;
    TargetTableBuilt* built;  // one heap block
};

/// Releases what the table held and makes room for this many rules, whose
/// texts take at most textBytes in all. 0 when memory runs out.
int BeginTargetTable(TargetTable* table, int rules, std::size_t textBytes);
/// Adds a rule numbered rule (0 or more; the lowest number that matches
/// wins) of kind TABLE_PART or TABLE_NAME. The text is cut to 255 bytes, as
/// the name match cuts a target, and compared with A-Z folded. 0 when there
/// is no room left for it; the table is then empty, with nothing held.
int AddTableRule(TargetTable* table, int rule, int kind, const char* text);
/// Builds the table from the rules added (with none added, an empty one), and
/// releases them. 0 when memory runs out; the table is then empty, with
/// nothing held.
int BuildTargetTable(TargetTable* table);
/// The lowest rule that the process matches, or -1: a part that occurs in
/// path, or a name equal to the fileNameLength bytes at fileName (the file
/// name that path ends in, as the caller takes it).
int FirstTableRule(const TargetTable* table, const char* path, const char* fileName,
                   std::size_t fileNameLength);
/// Releases everything the table holds; it is then empty.
void FreeTargetTable(TargetTable* table);

/// The rules whose targets name a file, a folder or a path (see
/// plat::ExamineTarget), as they were last looked at, found by hashing at a
/// cost that follows the length of a process's path: a file by its identity,
/// a path whole, a folder by each folder of the path. Its room is made when
/// the rules are loaded; each look of the targets fills it anew.
struct PathSlot {
    const plat::TargetFile* file;  // null: a free slot
    std::uint32_t hash;
    std::int32_t rule;
    std::uint32_t length;  // of the path; 0 for a file
    plat::DWORD kind;
};
struct PathIndex {
    PathSlot* slots;
    std::uint32_t slotCount;  // a power of two, at least twice the rules it has room for
    std::int32_t firstFile;   // the lowest rule of a file, or -1
    int paths;                // folders and paths held
};

/// The bytes of room for an index of this many rules.
std::size_t PathIndexSize(std::size_t rules);
/// Makes an empty index in room of PathIndexSize(rules) bytes.
void BeginPathIndex(PathIndex* index, void* room, std::size_t rules);
/// Empties the index.
void ClearPathIndex(PathIndex* index);
/// Adds a rule whose target's look is file, which must outlive its place in
/// the index: a file, a folder whose path ends in "/", or a path; any other
/// look, and a folder or path whose path is empty, match nothing and are
/// left out. Of equal looks the lowest rule is kept. At most as many rules
/// as the room was made for.
void AddPathRule(PathIndex* index, int rule, const plat::TargetFile* file);
/// The lowest rule of a file with this identity, or -1.
int FileRuleOf(const PathIndex* index, std::uint64_t device, std::uint64_t inode);
/// The lowest rule of a path equal to path, or of a folder that path begins
/// with, or -1. That the file at path is the one the process runs is the
/// caller's to check.
int FirstPathRule(const PathIndex* index, const char* path);
