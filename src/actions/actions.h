// The run operations that main chooses between, and the visitors they hand to
// the process walk. Each reads runOptions and prints through LogMessage.
#pragma once

#include "platform/platform.h"

struct PriorityClass;
struct TargetRow;

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
/// Fills the row's filter of byte pairs from its folded text, when it is loaded.
void PrepareTargetRow(TargetRow* row);
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
