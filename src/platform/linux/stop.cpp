// The stop request on Linux: SIGINT and SIGTERM, blocked once asked about and
// then taken with sigtimedwait, so that a signal never lands in the middle of
// a change and the wait between rounds ends as soon as one arrives.
#include <errno.h>
#include <signal.h>
#include <time.h>

#include "platform/platform.h"

namespace {

sigset_t stopSignals;
bool catching = false;
bool stopRequested = false;

void StartCatching() {
    catching = true;
    sigemptyset(&stopSignals);
    const int signals[] = {SIGINT, SIGTERM};
    for (int signal : signals) {
        // A signal ignored by whoever started us (SIGINT for a background job
        // of a non-interactive shell) stays ignored.
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&stopSignals, signal);
    }
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
}

}  // namespace

namespace plat {

BOOL WaitForStopRequest(DWORD milliseconds) {
    if (!catching) StartCatching();
    if (stopRequested) return TRUE;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        timespec now, left;
        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            --left.tv_sec;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) left.tv_sec = left.tv_nsec = 0;
        const int signal = sigtimedwait(&stopSignals, nullptr, &left);
        if (signal > 0) {
            stopRequested = true;
            return TRUE;
        }
        // Another signal's handler ran (EINTR): wait out the time left.
        if (errno != EINTR) return FALSE;
    }
}

}  // namespace plat
