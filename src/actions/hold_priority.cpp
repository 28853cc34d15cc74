#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/rules_file.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

// Static: a hold may run for months; it allocates nothing per round or per
// process start.
HoldState holdState;

// Where the system tells of no process start, the hold looks for new process
// IDs four times a second between its rounds, and reads names only for the
// new ones, so that a program that lives less than a round is still caught.
const DWORD kPollMilliseconds = 250;

// A rules file is looked at once a second, so that its edits are in force
// within two: a wait for starts lasts no longer than that.
const DWORD kRulesMilliseconds = 1000;

// Where the system gives no start time, the name stands in for it (its hash):
// a new process under an old ID is news at least when it runs another file.
std::uint64_t StartOf(DWORD processId, const char* name) {
    std::uint64_t start = 0;
    return GetProcessStartTime(processId, &start) ? start : NameHash(name);
}

int FindFailure(const HoldState* hold, DWORD processId, std::uint64_t start) {
    for (int i = 0; i < hold->failedCount; ++i) {
        if (hold->failedIds[i] == processId && hold->failedStarts[i] == start) return i;
    }
    return -1;
}

// Keeps only the processes that failed again in the round just walked: the
// others were changed, are in the class, ended or no longer match, and a
// failure of theirs is news again.
void ForgetUnseenFailures(HoldState* hold) {
    for (int i = hold->failedCount - 1; i >= 0; --i) {
        if (hold->failedThisRound[i]) continue;
        --hold->failedCount;
        hold->failedIds[i] = hold->failedIds[hold->failedCount];
        hold->failedStarts[i] = hold->failedStarts[hold->failedCount];
        hold->failedThisRound[i] = hold->failedThisRound[hold->failedCount];
    }
}

void ReportFailuresBeyondTable(HoldState* hold) {
    for (int i = 0; i < 4; ++i) {
        if (hold->failedBeyondTable[i] > 0) {
            LogMessage("Error: command to set priority to %s failed for %d more processes\n",
                       PriorityClassTable[i].name, hold->failedBeyondTable[i]);
        }
        hold->failedBeyondTable[i] = 0;
    }
}

// 0 when a stop was asked during the round.
int Round() {
    ExamineTargets(1);
    std::memset(holdState.failedThisRound, 0, sizeof holdState.failedThisRound);
    std::memset(holdState.failedBeyondTable, 0, sizeof holdState.failedBeyondTable);
    // A walk that could not run has printed why; the next round tries again.
    const std::int32_t walked = EnumerateProcesses(NameMatchVisitor, &holdState);
    if (holdState.stopRequested) return 0;
    ReportFailuresBeyondTable(&holdState);
    if (walked) ForgetUnseenFailures(&holdState);
    return 1;
}

// A process that has just started gets what a round gives a process, as the
// first match of a round of its own: without -a, each new match is changed.
// 0 when a stop was asked.
std::int32_t StartVisitor(DWORD processId, DWORD task16, const char* name, void* userData) {
    ExamineTargets(0);
    std::memset(holdState.failedBeyondTable, 0, sizeof holdState.failedBeyondTable);
    NameMatchVisitor(processId, task16, name, userData);
    if (holdState.stopRequested) return 0;
    ReportFailuresBeyondTable(&holdState);
    return 1;
}

int StartedProcess(DWORD processId) {
    VisitProcess(processId, StartVisitor, &holdState);
    return !holdState.stopRequested;
}

// A list that does not fit calls for a full round. 0 when a stop was asked.
int Poll() {
    const std::int32_t polled = PollNewProcesses(StartVisitor, &holdState);
    return polled < 0 ? Round() : polled;
}

// The list before the round, so that what starts during the round is judged
// by the first poll.
std::int32_t HoldInRounds(DWORD pause) {
    for (;;) {
        NoteProcessesBeforeRound();
        if (!Round()) return 1;
        const DWORD roundEnd = GetTickCount();
        for (DWORD spent = 0; spent < pause; spent = GetTickCount() - roundEnd) {
            const DWORD rest = pause - spent;
            if (WaitForStopRequest(rest < kPollMilliseconds ? rest : kPollMilliseconds)) return 1;
            // New rules are given to every process at once, by a round.
            if (FollowRulesFile()) break;
            // The last wait of a pause ends in a round, not a poll.
            if (rest > kPollMilliseconds && !Poll()) return 1;
        }
    }
}

// The pause between rounds runs on while the starts are handled; events that
// the system lost call for a round at once, and so does a target that named
// something else than the look that judged a start (see
// LookAgainAtReusedTargets), which the wait ends in time to find out.
std::int32_t HoldWithEvents(DWORD pause) {
    for (;;) {
        if (!Round()) return 1;
        const DWORD roundEnd = GetTickCount();
        for (;;) {
            DWORD due = kNoLookDue;
            if (LookAgainAtReusedTargets(&due)) break;
            const DWORD spent = GetTickCount() - roundEnd;
            if (spent >= pause) break;
            DWORD processId = 0;
            const DWORD rest = pause - spent;
            DWORD wait = rest < due ? rest : due;
            if (runOptions.rulesFile && wait > kRulesMilliseconds) wait = kRulesMilliseconds;
            const DWORD seen = WaitForStopOrProcessStart(wait, &processId);
            if (seen == HOLD_WAIT_STOP) return 1;
            if (FollowRulesFile()) break;
            if (seen == HOLD_WAIT_LOST) break;
            if (seen == HOLD_WAIT_STARTED && !StartedProcess(processId)) return 1;
        }
    }
}

}  // namespace

int NoteHoldFailure(HoldState* hold, DWORD processId, const char* name,
                    const PriorityClass* priority) {
    const std::uint64_t start = StartOf(processId, name);
    int slot = FindFailure(hold, processId, start);
    if (slot >= 0) {
        hold->failedThisRound[slot] = 1;
        return 0;
    }
    // Past the table, the round reports how many more failed, in one line.
    if (hold->failedCount == kHoldFailureSlots) {
        ++hold->failedBeyondTable[priority - PriorityClassTable];
        return 0;
    }
    hold->failedIds[hold->failedCount] = processId;
    hold->failedStarts[hold->failedCount] = start;
    hold->failedThisRound[hold->failedCount] = 1;
    ++hold->failedCount;
    return 1;
}

std::int32_t HoldPriorityByName() {
    std::memset(&holdState, 0, sizeof holdState);
    const DWORD pause = static_cast<DWORD>(runOptions.holdSeconds) * 1000u;
    // Starts catching the stop before the first round, so that it cannot
    // end the program in the middle of a change.
    if (WaitForStopRequest(0)) {
        NoteHoldStopped();
        return 1;
    }
    // Listening starts before the first round, so that nothing started
    // during it is missed.
    const BOOL events = StartProcessStartEvents();
    if (runOptions.verbose && events) {
        LogMessage("Hold: processes are matched as they start, and every %d seconds\n",
                   static_cast<int>(runOptions.holdSeconds));
    } else if (runOptions.verbose) {
        LogMessage(
            "Hold: new processes are matched within a quarter second, and all every %d "
            "seconds\n",
            static_cast<int>(runOptions.holdSeconds));
    }
    // A failure to load is left to the rounds to report, each loading its own.
    KeepWalkLibraries();
    BeginNewProcessSearch();
    const std::int32_t result = events ? HoldWithEvents(pause) : HoldInRounds(pause);
    NoteHoldStopped();
    EndNewProcessSearch();
    ReleaseWalkLibraries();
    if (events) EndProcessStartEvents();
    return result;
}
