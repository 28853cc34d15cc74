// The Linux backend's launch: a Windows-style command line split into words,
// the program found on PATH and started on its own, already in its class.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"
#include "platform/linux/command_line.h"

namespace plat {
namespace {

using namespace linux_backend;

const DWORD kClassBits = 0x1E0;
const std::size_t kWordsSize = 32768;
const std::size_t kMaxWords = 4096;
// Where the child keeps the pipe that reports a failed start.
const int kReportDescriptor = 3;

// Windows takes the lowest class when several are given.
DWORD ClassOfFlags(DWORD flags) {
    const DWORD order[] = {IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS,
                           REALTIME_PRIORITY_CLASS};
    for (DWORD candidate : order) {
        if (flags & candidate) return candidate;
    }
    return 0;
}

// Runs the file as execvp would find it, but never through a shell: a file
// the kernel cannot run is a failed start. Returns the errno that tells why.
int ExecOnPath(const char* file, char** argv) {
    if (!*file) return ENOENT;
    if (std::strchr(file, '/')) {
        execv(file, argv);
        return errno;
    }
    const char* path = std::getenv("PATH");
    if (!path) path = "/bin:/usr/bin";
    int result = ENOENT;
    for (const char* dir = path;; ++dir) {
        const char* end = std::strchr(dir, ':');
        const std::size_t length = end ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        char candidate[PATH_MAX];
        // An empty element is the current directory.
        const int written = std::snprintf(candidate, sizeof candidate, "%.*s%s%s",
                                          static_cast<int>(length), dir, length ? "/" : "", file);
        if (written > 0 && static_cast<std::size_t>(written) < sizeof candidate) {
            execv(candidate, argv);
            if (errno == EACCES) {
                result = EACCES;
            } else if (errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG) {
                return errno;
            }
        }
        if (!end) return result;
        dir = end;
    }
}

void CloseDescriptorsFrom(int first) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
    rlimit limit;
    const int last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                         ? static_cast<int>(limit.rlim_cur)
                         : 65536;
    for (int descriptor = first; descriptor < last; ++descriptor)
        close(descriptor);
}

// The child's side of a new console: its own session, input from /dev/null,
// output to the terminal only if ours is one, none of our other descriptors,
// and every signal as a freshly started program has it.
int Detach() {
    if (setsid() < 0) return errno;
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) return errno;
    for (int standard = 0; standard <= 2; ++standard) {
        if (standard != 0 && isatty(standard)) continue;
        if (null != standard && dup2(null, standard) < 0) return errno;
    }
    CloseDescriptorsFrom(kReportDescriptor + 1);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        sigaction(signal, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    return 0;
}

// Runs in the child between fork and exec; returns the errno of the step
// that failed.
int StartChild(const char* applicationName, char** argv, const ClassSetting* setting) {
    if (int error = Detach()) return error;
    if (setting) {
        ThreadOutcome outcome = ApplyToThread(0, *setting);
        if (outcome == kGone || outcome == kRefused) return errno ? errno : EPERM;
    }
    if (applicationName) {
        execv(applicationName, argv);
        return errno;
    }
    return ExecOnPath(argv[0], argv);
}

}  // namespace

BOOL CreateProcessA(const char* applicationName, char* commandLine, SECURITY_ATTRIBUTES*,
                    SECURITY_ATTRIBUTES*, BOOL, DWORD creationFlags, void*, const char*,
                    STARTUPINFOA*, PROCESS_INFORMATION* info) {
    char words[kWordsSize];
    char* argv[kMaxWords + 1];
    if (!commandLine || !SplitCommandLine(commandLine, words, sizeof words, argv, kMaxWords + 1) ||
        !argv[0]) {
        return FALSE;
    }
    ClassSetting setting;
    const DWORD priorityClass = ClassOfFlags(creationFlags & kClassBits);
    if (priorityClass && !SettingFor(priorityClass, &setting)) return FALSE;

    // The child reports a failed start through this pipe; a successful exec
    // closes it, and the parent reads end of file.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return FALSE;
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return FALSE;
    }
    if (child == 0) {
        close(report[0]);
        // Moved to a fixed place first, out of the way of the standard
        // descriptors and of those that are closed.
        int reportTo = report[1];
        int error = 0;
        if (reportTo != kReportDescriptor) {
            if (dup3(reportTo, kReportDescriptor, O_CLOEXEC) < 0) {
                error = errno;
            } else {
                reportTo = kReportDescriptor;
            }
        }
        if (!error) error = StartChild(applicationName, argv, priorityClass ? &setting : nullptr);
        ssize_t written = write(reportTo, &error, sizeof error);
        (void)written;
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got != 0) {
        if (got < 0) kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return FALSE;
    }
    if (info) {
        const DWORD id = static_cast<DWORD>(child);
        info->hProcess = EncodeHandle(id, kReadRight | kQueryRight | kSetRight);
        info->hThread = EncodeHandle(id, kThreadHandle);
        info->dwProcessId = id;
        info->dwThreadId = id;
    }
    return TRUE;
}

}  // namespace plat
