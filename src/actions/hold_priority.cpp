#include <cstring>

#include "actions/actions.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

// Static: a hold may run for months; it allocates nothing per round.
HoldState holdState;

int FindFailure(const HoldState* hold, DWORD processId) {
    for (int i = 0; i < hold->failedCount; ++i) {
        if (hold->failedIds[i] == processId) return i;
    }
    return -1;
}

// Keeps only the IDs that failed again in the round just walked: the others
// were changed, are in the class, ended or no longer match, and a failure of
// theirs (or of another process given the same ID) is news again.
void ForgetUnseenFailures(HoldState* hold) {
    for (int i = hold->failedCount - 1; i >= 0; --i) {
        if (hold->failedThisRound[i]) continue;
        --hold->failedCount;
        hold->failedIds[i] = hold->failedIds[hold->failedCount];
        hold->failedThisRound[i] = hold->failedThisRound[hold->failedCount];
    }
}

}  // namespace

int NoteHoldFailure(HoldState* hold, DWORD processId) {
    int slot = FindFailure(hold, processId);
    if (slot >= 0) {
        hold->failedThisRound[slot] = 1;
        return 0;
    }
    // A full table reports every further failure in every round: noisy, but
    // nothing goes unreported.
    if (hold->failedCount < kHoldFailureSlots) {
        hold->failedIds[hold->failedCount] = processId;
        hold->failedThisRound[hold->failedCount] = 1;
        ++hold->failedCount;
    }
    return 1;
}

std::int32_t HoldPriorityByName() {
    std::memset(&holdState, 0, sizeof holdState);
    const DWORD pause = static_cast<DWORD>(runOptions.holdSeconds) * 1000u;
    // Starts catching the stop before the first round, so that it cannot
    // end the program in the middle of a change.
    if (WaitForStopRequest(0)) return 1;
    for (;;) {
        runOptions.matchedAny = 0;
        std::memset(holdState.failedThisRound, 0, sizeof holdState.failedThisRound);
        // A walk that could not run has printed why; the next round tries again.
        const std::int32_t walked = EnumerateProcesses(NameMatchVisitor, &holdState);
        if (holdState.stopRequested) return 1;
        if (walked) ForgetUnseenFailures(&holdState);
        if (WaitForStopRequest(pause)) return 1;
    }
}
