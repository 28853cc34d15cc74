// The Linux backend: /proc for the process list and paths, the POSIX
// scheduler for the classes, fork and exec for launches. It presents itself
// as the NT family, with PSAPI and VDMDBG built in.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/command_line_posix.h"
#include "platform/platform.h"

namespace plat {
namespace {

// A process handle is the ID shifted past four flag bits: opening and
// closing then cost neither memory nor a system call, and every check is
// made when the handle is used.
const std::uintptr_t kReadRight = 1;
const std::uintptr_t kQueryRight = 2;
const std::uintptr_t kSetRight = 4;
const std::uintptr_t kThreadHandle = 8;
const int kHandleShift = 4;

const DWORD kClassBits = 0x1E0;
const int kMaxPasses = 32;
const std::size_t kWordsSize = 32768;
const std::size_t kMaxWords = 4096;

HANDLE EncodeHandle(DWORD id, std::uintptr_t flags) {
    return reinterpret_cast<HANDLE>((std::uintptr_t(id) << kHandleShift) | flags);
}

// 1 when the handle is one of ours and carries every right in needed.
int DecodeHandle(HANDLE handle, std::uintptr_t needed, pid_t* id, std::uintptr_t* flags) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (!handle || handle == INVALID_HANDLE_VALUE) return 0;
    *flags = value & ((std::uintptr_t(1) << kHandleShift) - 1);
    *id = static_cast<pid_t>(value >> kHandleShift);
    return (*flags & kThreadHandle) == 0 && (*flags & needed) == needed && *id > 0;
}

// CAP_SYS_NICE is what lets the kernel accept a change of any process and a
// lowered nice; a root without it is refused like anyone else.
int MayChangeAnyProcess() {
    static int cached = -1;
    if (cached < 0) {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
        std::memset(data, 0, sizeof data);
        if (syscall(SYS_capget, &header, data) == 0) {
            cached = (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
        } else {
            cached = geteuid() == 0;
        }
    }
    return cached;
}

// Without the capability the kernel lets us renice our own processes only;
// refusing the others up front also keeps them out of the listing.
int MayChange(pid_t id) {
    if (MayChangeAnyProcess()) return 1;
    // Not a guarded local static: the guard would link in the C++ runtime's
    // exception pool, which a memory checker reports as left allocated.
    static uid_t ourUid = static_cast<uid_t>(-1);
    if (ourUid == static_cast<uid_t>(-1)) ourUid = geteuid();
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(id));
    struct stat info;
    return stat(path, &info) == 0 && info.st_uid == ourUid;
}

int ParseId(const char* text, DWORD* id) {
    std::uint64_t value = 0;
    if (!*text) return 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') return 0;
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > 0x7FFFFFFF) return 0;
    }
    *id = static_cast<DWORD>(value);
    return *id != 0;
}

// Calls visit for every numeric entry of a /proc directory until it returns
// 0. -1 when the directory cannot be read.
int ForEachId(const char* path, int (*visit)(DWORD id, void* context), void* context) {
    int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    alignas(dirent64) char buffer[32768];
    for (;;) {
        ssize_t got = getdents64(dir, buffer, sizeof buffer);
        if (got < 0) {
            close(dir);
            return -1;
        }
        if (got == 0) break;
        for (ssize_t at = 0; at < got;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            DWORD id;
            if (ParseId(entry->d_name, &id) && !visit(id, context)) {
                close(dir);
                return 1;
            }
        }
    }
    close(dir);
    return 1;
}

struct ClassSetting {
    int policy;
    int priority;  // real-time policies only
    int nice;      // SCHED_OTHER only
};

int SettingFor(DWORD priorityClass, ClassSetting* setting) {
    setting->priority = 0;
    setting->policy = SCHED_OTHER;
    switch (priorityClass) {
        case IDLE_PRIORITY_CLASS:
            setting->nice = 19;
            return 1;
        case NORMAL_PRIORITY_CLASS:
            setting->nice = 0;
            return 1;
        case HIGH_PRIORITY_CLASS:
            setting->nice = -10;
            return 1;
        case REALTIME_PRIORITY_CLASS:
            setting->policy = SCHED_RR;
            setting->priority = sched_get_priority_min(SCHED_RR);
            setting->nice = 0;
            return 1;
        default:
            return 0;
    }
}

enum ThreadOutcome { kGone, kRefused, kUnchanged, kChanged };

ThreadOutcome FailureOutcome() { return errno == ESRCH ? kGone : kRefused; }

// The kernel's sched_attr, first version; glibc has no wrapper for it.
struct ScheduleAttributes {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;
    std::uint64_t deadline;
    std::uint64_t period;
};

// A thread's policy, nice value and real-time priority in one system call
// where the kernel has it (the listing pays for every call per process).
int ReadSchedule(pid_t thread, int* policy, int* nice, int* priority) {
    static int hasGetattr = 1;
    if (hasGetattr) {
        ScheduleAttributes attributes;
        // Zeroed: the size field is read by some checkers even though the
        // kernel only writes it.
        std::memset(&attributes, 0, sizeof attributes);
        if (syscall(SYS_sched_getattr, thread, &attributes, sizeof attributes, 0) == 0) {
            *policy = static_cast<int>(attributes.policy);
            *nice = attributes.nice;
            *priority = static_cast<int>(attributes.priority);
            return 1;
        }
        if (errno != ENOSYS) return 0;
        hasGetattr = 0;
    }
    *policy = sched_getscheduler(thread);
    if (*policy < 0) return 0;
    *policy &= ~SCHED_RESET_ON_FORK;
    sched_param param;
    if (sched_getparam(thread, &param) != 0) return 0;
    *priority = param.sched_priority;
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    return *nice != -1 || errno == 0;
}

// Brings one thread (0: the calling one) to the setting, skipping the calls
// that would change nothing so that a pass can tell when it is done.
ThreadOutcome ApplyToThread(pid_t thread, const ClassSetting& setting) {
    int policy, nice, priority;
    if (!ReadSchedule(thread, &policy, &nice, &priority)) return FailureOutcome();
    sched_param param;
    std::memset(&param, 0, sizeof param);
    if (setting.policy != SCHED_OTHER) {
        if (policy == setting.policy && priority == setting.priority) return kUnchanged;
        param.sched_priority = setting.priority;
        if (sched_setscheduler(thread, setting.policy, &param) != 0) return FailureOutcome();
        return kChanged;
    }
    if (policy == SCHED_OTHER && nice == setting.nice) return kUnchanged;
    if (policy != SCHED_OTHER && sched_setscheduler(thread, SCHED_OTHER, &param) != 0) {
        return FailureOutcome();
    }
    // A real-time thread reports nice 0 whatever nice it keeps for later.
    if ((policy != SCHED_OTHER || nice != setting.nice) &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(thread), setting.nice) != 0) {
        return FailureOutcome();
    }
    return kChanged;
}

struct Pass {
    const ClassSetting* setting;
    int seen;
    int changed;
    int refused;
};

int ApplyToTask(DWORD thread, void* context) {
    Pass* pass = static_cast<Pass*>(context);
    switch (ApplyToThread(static_cast<pid_t>(thread), *pass->setting)) {
        case kGone:
            return 1;
        case kRefused:
            pass->refused = 1;
            return 0;
        case kChanged:
            pass->changed = 1;
            break;
        case kUnchanged:
            break;
    }
    pass->seen = 1;
    return 1;
}

struct IdList {
    DWORD* ids;
    DWORD capacity;
    DWORD count;
    int full;
};

int CollectId(DWORD id, void* context) {
    IdList* list = static_cast<IdList*>(context);
    if (list->count == list->capacity) {
        list->full = 1;
        return 0;
    }
    list->ids[list->count++] = id;
    return 1;
}

BOOL WINAPI EnumProcessesLinux(DWORD* ids, DWORD bytes, DWORD* bytesWritten) {
    if (!ids || !bytesWritten) return FALSE;
    IdList list = {ids, static_cast<DWORD>(bytes / sizeof(DWORD)), 0, 0};
    if (ForEachId("/proc", CollectId, &list) < 0) return FALSE;
    // A full block tells the caller to try again with a larger one.
    *bytesWritten = list.full ? bytes : list.count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

char mainModule;

BOOL WINAPI EnumProcessModulesLinux(HANDLE process, HMODULE* modules, DWORD bytes,
                                    DWORD* bytesNeeded) {
    pid_t id;
    std::uintptr_t flags;
    if (!DecodeHandle(process, kQueryRight | kReadRight, &id, &flags) || !bytesNeeded) {
        return FALSE;
    }
    if (modules && bytes >= sizeof(HMODULE)) modules[0] = reinterpret_cast<HMODULE>(&mainModule);
    *bytesNeeded = sizeof(HMODULE);
    return TRUE;
}

// The one system call per process that gives the path; a kernel thread or a
// process that has ended has no exe link, so it gets no name.
DWORD WINAPI GetModuleFileNameExALinux(HANDLE process, HMODULE module, char* name, DWORD size) {
    pid_t id;
    std::uintptr_t flags;
    if (!DecodeHandle(process, kQueryRight | kReadRight, &id, &flags) || !name || size == 0) {
        return 0;
    }
    if (module && module != reinterpret_cast<HMODULE>(&mainModule)) return 0;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(id));
    ssize_t length = readlink(path, name, size - 1);
    if (length <= 0) {
        name[0] = '\0';
        return 0;
    }
    name[length] = '\0';
    return static_cast<DWORD>(length);
}

int WINAPI VDMEnumTaskWOWExLinux(DWORD, TaskEnumProcEx, LPARAM) { return 0; }

struct Export {
    const char* name;
    FARPROC entry;
};

struct Module {
    const char* name;
    const Export* exports;
    int count;
};

const Export kPsapiExports[] = {
    {"EnumProcesses", reinterpret_cast<FARPROC>(EnumProcessesLinux)},
    {"EnumProcessModules", reinterpret_cast<FARPROC>(EnumProcessModulesLinux)},
    {"GetModuleFileNameExA", reinterpret_cast<FARPROC>(GetModuleFileNameExALinux)},
};
const Export kVdmdbgExports[] = {
    {"VDMEnumTaskWOWEx", reinterpret_cast<FARPROC>(VDMEnumTaskWOWExLinux)},
};
const Module kModules[] = {
    {"PSAPI.DLL", kPsapiExports, 3},
    {"VDMDBG.DLL", kVdmdbgExports, 1},
};

const Module* FindModule(HMODULE module) {
    for (const Module& candidate : kModules) {
        if (reinterpret_cast<HMODULE>(const_cast<Module*>(&candidate)) == module) return &candidate;
    }
    return nullptr;
}

int SameNameIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 'a' + 'A') : *a;
        char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (x != y) return 0;
    }
    return *a == *b;
}

// Runs in the child between fork and exec; returns the errno of the step
// that failed.
int StartChild(const char* applicationName, char** argv, const ClassSetting* setting) {
    if (setsid() < 0) return errno;
    int input = open("/dev/null", O_RDONLY);
    if (input < 0) return errno;
    if (input != 0) {
        if (dup2(input, 0) < 0) return errno;
        close(input);
    }
    if (setting) {
        ThreadOutcome outcome = ApplyToThread(0, *setting);
        if (outcome == kGone || outcome == kRefused) return errno ? errno : EPERM;
    }
    if (applicationName) {
        execv(applicationName, argv);
    } else {
        execvp(argv[0], argv);
    }
    return errno;
}

// Windows takes the lowest class when several are given.
DWORD ClassOfFlags(DWORD flags) {
    const DWORD order[] = {IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS,
                           REALTIME_PRIORITY_CLASS};
    for (DWORD candidate : order) {
        if (flags & candidate) return candidate;
    }
    return 0;
}

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
    std::memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = sizeof *info;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    timespec left;
    left.tv_sec = static_cast<time_t>(milliseconds / 1000);
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void OutputDebugStringA(const char*) {}

HMODULE LoadLibraryA(const char* name) {
    if (!name) return nullptr;
    for (const Module& module : kModules) {
        if (SameNameIgnoringCase(name, module.name)) {
            return reinterpret_cast<HMODULE>(const_cast<Module*>(&module));
        }
    }
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    const Module* found = FindModule(module);
    if (!found || !name) return nullptr;
    for (int i = 0; i < found->count; ++i) {
        if (std::strcmp(found->exports[i].name, name) == 0) return found->exports[i].entry;
    }
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) { return FindModule(module) ? TRUE : FALSE; }

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(&mainModule); }

void* HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
    const DWORD kZeroMemory = 0x8;
    if (bytes == 0) bytes = 1;
    return (flags & kZeroMemory) ? std::calloc(1, bytes) : std::malloc(bytes);
}

BOOL HeapFree(HANDLE, DWORD, void* block) {
    std::free(block);
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    if (processId == 0 || processId > 0x7FFFFFFF >> kHandleShift) return nullptr;
    std::uintptr_t flags = 0;
    if (access & PROCESS_VM_READ) flags |= kReadRight;
    if (access & PROCESS_QUERY_INFORMATION) flags |= kQueryRight;
    if (access & PROCESS_SET_INFORMATION) flags |= kSetRight;
    return EncodeHandle(processId, flags);
}

DWORD GetPriorityClass(HANDLE process) {
    pid_t id;
    std::uintptr_t flags;
    if (!DecodeHandle(process, kQueryRight, &id, &flags)) return 0;
    if ((flags & kSetRight) && !MayChange(id)) return 0;
    int policy, nice, priority;
    if (!ReadSchedule(id, &policy, &nice, &priority)) return 0;
    if (policy == SCHED_FIFO || policy == SCHED_RR || policy == SCHED_DEADLINE) {
        return REALTIME_PRIORITY_CLASS;
    }
    if (policy == SCHED_IDLE) return IDLE_PRIORITY_CLASS;
    if (nice >= 10) return IDLE_PRIORITY_CLASS;
    if (nice >= 1) return 0x4000;
    if (nice == 0) return NORMAL_PRIORITY_CLASS;
    if (nice >= -9) return 0x8000;
    return HIGH_PRIORITY_CLASS;
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    pid_t id;
    std::uintptr_t flags;
    ClassSetting setting;
    if (!DecodeHandle(process, kSetRight, &id, &flags) || !SettingFor(priorityClass, &setting) ||
        !MayChange(id)) {
        return FALSE;
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(id));
    // A thread started during a pass may have copied the old setting from
    // its creator, and shows up in the task list only once its creation is
    // complete, possibly after its creator has ended; and a thread that ends
    // while the list is read can cut that read short. So a pass that finds
    // nothing to change proves little: stop after three such passes in a row.
    int cleanPasses = 0;
    for (int i = 0; i < kMaxPasses; ++i) {
        Pass pass = {&setting, 0, 0, 0};
        if (ForEachId(path, ApplyToTask, &pass) < 0) return FALSE;
        if (pass.refused || !pass.seen) return FALSE;
        cleanPasses = pass.changed ? 0 : cleanPasses + 1;
        if (cleanPasses == 3) return TRUE;
    }
    return FALSE;
}

BOOL CloseHandle(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE ? TRUE : FALSE; }

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
        int error = StartChild(applicationName, argv, priorityClass ? &setting : nullptr);
        ssize_t written = write(report[1], &error, sizeof error);
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
