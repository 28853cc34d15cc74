// The stop request on Linux: SIGINT, SIGTERM and SIGHUP (the terminal closed),
// blocked once asked about so that a signal never lands in the middle of a
// change. Only two places let them in: the waits, through ppoll (which may
// also watch the process-start events), and the writes to the output. A
// write's own timer (SIGALRM) cuts it short after 100 ms,
// so that a reader that does not read cannot hold up a hold.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/backend.h"

namespace {

// A write that waits this long is cut short as a stop cuts it.
const long kWriteMicroseconds = 100000;

sigset_t stopSignals;
sigset_t writeSignals;  // the stop signals and SIGALRM, the timer of a write
sigset_t waitMask;      // the mask during a wait: the caller's, with the stop signals let in
bool catching = false;
bool outputBlocked = false;  // the last write was cut short by its timer
// Only a reader can hold a write up: a pipe, a socket, a terminal. A write to
// a file gets no timer, since a slow machine (or valgrind) could otherwise
// cut the line of a change that was made.
bool outputMayBlock = true;
volatile sig_atomic_t stopSignalled = 0;
volatile sig_atomic_t inWrite = 0;
volatile sig_atomic_t writeCut = 0;
volatile sig_atomic_t savedOutput = -1;  // standard output while a cut write goes to /dev/null

void OutputToNull() {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, STDOUT_FILENO);
    close(null);
}

// A write may block for as long as the reader pleases (a full pipe, a paused
// terminal). A stop that arrives inside one lets it end, so that the line of
// a change that was made is not lost; the write's own timer cuts it short if
// it blocks, and then every later message goes to /dev/null. The run then
// ends as after any stop, releasing what it holds.
void OnStop(int) { stopSignalled = 1; }

// The timer cuts one write short: the rest of that message goes to
// /dev/null, and the output comes back when the write has ended.
void OnSlowWrite(int) {
    if (!inWrite || writeCut) return;
    writeCut = 1;
    savedOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    OutputToNull();
}

void SetWriteTimer(long microseconds) {
    itimerval timer = {{0, 0}, {0, microseconds}};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void StartCatching() {
    catching = true;
    struct stat output;
    outputMayBlock = fstat(STDOUT_FILENO, &output) != 0 || !S_ISREG(output.st_mode);
    sigemptyset(&stopSignals);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int signal : signals) {
        // A signal ignored by whoever started us (SIGINT for a background job
        // of a non-interactive shell, SIGHUP under nohup) stays ignored.
        struct sigaction current;
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&stopSignals, signal);
    }
    writeSignals = stopSignals;
    sigaddset(&writeSignals, SIGALRM);
    // Blocked before the handler is set, so that none arrives in between.
    sigprocmask(SIG_BLOCK, &writeSignals, &waitMask);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnStop;
    action.sa_mask = writeSignals;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&stopSignals, signal) != 1) continue;
        sigaction(signal, &action, nullptr);
        sigdelset(&waitMask, signal);
    }
    action.sa_handler = OnSlowWrite;
    sigaction(SIGALRM, &action, nullptr);
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

// The process ends as soon as the stop has been seen: nothing waits for it.
void NoteHoldStopped() {}

DWORD GetTickCount() {
    const timespec now = MonotonicNow();
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                              static_cast<std::uint64_t>(now.tv_nsec / 1000000L));
}

BOOL WritingOutput(BOOL writing) {
    if (!catching) return TRUE;
    if (writing) {
        // While the output stays blocked, a message is dropped at once.
        pollfd output = {STDOUT_FILENO, POLLOUT, 0};
        if (outputBlocked && poll(&output, 1, 0) == 0) return FALSE;
        inWrite = 1;
        if (outputMayBlock) SetWriteTimer(kWriteMicroseconds);
        sigprocmask(SIG_UNBLOCK, &writeSignals, nullptr);
        return TRUE;
    }
    sigprocmask(SIG_BLOCK, &writeSignals, nullptr);
    inWrite = 0;
    SetWriteTimer(0);
    // A timer that ran out after the write must not cut the next one.
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    const timespec now = {0, 0};
    sigtimedwait(&alarmOnly, nullptr, &now);
    outputBlocked = writeCut != 0;
    writeCut = 0;
    if (savedOutput >= 0) {
        // After a stop, every later message goes to /dev/null.
        if (!stopSignalled) dup2(savedOutput, STDOUT_FILENO);
        close(savedOutput);
        savedOutput = -1;
    }
    return outputBlocked ? FALSE : TRUE;
}

}  // namespace plat
