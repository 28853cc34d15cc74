// The stop request on Linux: SIGINT and SIGTERM, blocked once asked about so
// that a signal never lands in the middle of a change. Only two places let
// them in: the waits, through ppoll (which may also watch the process-start
// events), and the writes to the output, which a stop cuts short.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/backend.h"

namespace {

sigset_t stopSignals;
sigset_t waitMask;  // the mask during a wait: the caller's, with the stop signals let in
bool catching = false;
volatile sig_atomic_t stopSignalled = 0;
volatile sig_atomic_t inWrite = 0;

// A write may block for as long as the reader pleases (a full pipe, a paused
// terminal). A stop that arrives inside one cuts it short: the write fails
// with EINTR, and whatever it has not written yet, or is about to start
// writing, goes to /dev/null, as does every later message. The run then ends
// as after any stop, releasing what it holds. Only async-signal-safe calls.
void OnStop(int) {
    stopSignalled = 1;
    if (!inWrite) return;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, STDOUT_FILENO);
    close(null);
}

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
    // Blocked before the handler is set, so that none arrives in between.
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStop;
    action.sa_mask = stopSignals;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&stopSignals, signal) != 1) continue;
        sigaction(signal, &action, nullptr);
        sigdelset(&waitMask, signal);
    }
}

timespec MonotonicNow() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

namespace plat {
namespace linux_backend {

int WaitForStopOr(int descriptor, DWORD milliseconds) {
    if (!catching) StartCatching();
    if (stopSignalled) return kWaitStopped;
    timespec deadline = MonotonicNow();
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        const timespec now = MonotonicNow();
        timespec left;
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            --left.tv_sec;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) left.tv_sec = left.tv_nsec = 0;
        pollfd watched = {descriptor, POLLIN, 0};
        const int ready = ppoll(&watched, descriptor >= 0 ? 1 : 0, &left, &waitMask);
        if (stopSignalled) return kWaitStopped;
        if (ready > 0) return kWaitReady;
        // Another signal's handler ran (EINTR): wait out the time left.
        if (ready == 0 || errno != EINTR) return kWaitTimedOut;
    }
}

}  // namespace linux_backend

BOOL WaitForStopRequest(DWORD milliseconds) {
    return linux_backend::WaitForStopOr(-1, milliseconds) == linux_backend::kWaitStopped;
}

DWORD GetTickCount() {
    const timespec now = MonotonicNow();
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(now.tv_nsec / 1000000L));
}

void WritingOutput(BOOL writing) {
    if (!catching) return;
    if (writing) {
        inWrite = 1;
        sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
    } else {
        sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
        inWrite = 0;
    }
}

}  // namespace plat
