// The Linux backend's priority classes: the four classes as scheduling
// policies and nice values, read from a process's main thread and set on
// every thread.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"

namespace plat {
namespace linux_backend {
namespace {

const DWORD kBelowNormal = 0x4000;
const DWORD kAboveNormal = 0x8000;
const int kMaxPasses = 32;

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

// The class a thread reads back as. Each class covers a range, so that a
// thread someone placed by hand within it counts as being in that class.
DWORD ClassOfSchedule(int policy, int nice) {
    if (policy == SCHED_FIFO || policy == SCHED_RR || policy == SCHED_DEADLINE) {
        return REALTIME_PRIORITY_CLASS;
    }
    if (policy == SCHED_IDLE || nice >= 10) return IDLE_PRIORITY_CLASS;
    if (nice >= 1) return kBelowNormal;
    if (nice == 0) return NORMAL_PRIORITY_CLASS;
    if (nice >= -9) return kAboveNormal;
    return HIGH_PRIORITY_CLASS;
}

struct ClassCheck {
    DWORD priorityClass;
    int seen;
    int outside;
};

// A thread that has ended since the list was read tells nothing. A main
// thread that has ended before the others still reads and takes a class, so
// it counts like the rest.
int CheckTask(DWORD thread, void* context) {
    ClassCheck* check = static_cast<ClassCheck*>(context);
    int policy, nice, priority;
    if (!ReadSchedule(static_cast<pid_t>(thread), &policy, &nice, &priority)) return 1;
    check->seen = 1;
    if (ClassOfSchedule(policy, nice) == check->priorityClass) return 1;
    check->outside = 1;
    return 0;
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

}  // namespace

int IsGone(pid_t id) {
    char stat[512];
    const char* state = ReadProcStat(id, stat, sizeof stat);
    if (!state) return errno == ENOENT || errno == ESRCH;
    // A zombie still answers every scheduler call, so only its state tells;
    // the main thread of a process whose other threads run on is one too.
    if (*state != 'Z' && *state != 'X') return 0;
    const char* threads = StatField(state, 20);
    return threads && std::strtol(threads, nullptr, 10) <= 1;
}

int SettingFor(DWORD priorityClass, ClassSetting* setting) {
    setting->priorityClass = priorityClass;
    setting->priority = 0;
    setting->policy = SCHED_OTHER;
    setting->nice = 0;
    switch (priorityClass) {
        case IDLE_PRIORITY_CLASS:
            setting->nice = 19;
            return 1;
        case NORMAL_PRIORITY_CLASS:
            return 1;
        case HIGH_PRIORITY_CLASS:
            setting->nice = -10;
            return 1;
        case REALTIME_PRIORITY_CLASS:
            setting->policy = SCHED_RR;
            setting->priority = sched_get_priority_min(SCHED_RR);
            return 1;
        default:
            return 0;
    }
}

// A thread already in the class is left as it is, so that a pass can tell
// when it is done and a class set by hand within the range is kept.
ThreadOutcome ApplyToThread(pid_t thread, const ClassSetting& setting) {
    int policy, nice, priority;
    if (!ReadSchedule(thread, &policy, &nice, &priority)) return FailureOutcome();
    if (ClassOfSchedule(policy, nice) == setting.priorityClass) return kUnchanged;
    sched_param param;
    std::memset(&param, 0, sizeof param);
    if (setting.policy != SCHED_OTHER) {
        param.sched_priority = setting.priority;
        if (sched_setscheduler(thread, setting.policy, &param) != 0) return FailureOutcome();
        return kChanged;
    }
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

}  // namespace linux_backend

using namespace linux_backend;

DWORD GetPriorityClass(HANDLE process) {
    pid_t id;
    if (!DecodeHandle(process, kQueryRight, &id)) return 0;
    // A handle opened to change the class reads it only where a change may be made.
    if (DecodeHandle(process, kSetRight, &id) && !MayChange(id)) return 0;
    int policy, nice, priority;
    if (!ReadSchedule(id, &policy, &nice, &priority)) return 0;
    return ClassOfSchedule(policy, nice);
}

namespace {

int ApplyToProcess(pid_t id, const ClassSetting& setting) {
    if (IsGone(id) || !MayChange(id)) return 0;
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
        if (ForEachId(path, ApplyToTask, &pass) < 0) return 0;
        if (pass.refused || !pass.seen) return 0;
        cleanPasses = pass.changed ? 0 : cleanPasses + 1;
        if (cleanPasses == 3) return 1;
    }
    return 0;
}

}  // namespace

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    pid_t id;
    ClassSetting setting;
    if (!DecodeHandle(process, kSetRight, &id)) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!SettingFor(priorityClass, &setting)) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ApplyToProcess(id, setting)) return TRUE;
    // Ended before or during the change: told apart from a refusal, which
    // leaves the process running.
    SetLastErrorCode(IsGone(id) ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL IsWhollyInPriorityClass(HANDLE process, DWORD priorityClass) {
    pid_t id;
    if (!DecodeHandle(process, kQueryRight, &id)) return FALSE;
    if (DecodeHandle(process, kSetRight, &id) && !MayChange(id)) return FALSE;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(id));
    ClassCheck check = {priorityClass, 0, 0};
    if (ForEachId(path, CheckTask, &check) < 0) return FALSE;
    return check.seen && !check.outside;
}

}  // namespace plat
