// The Linux backend's process walk: the IDs from /proc, and each process's
// executable path from its exe link.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"

namespace plat {
namespace linux_backend {
namespace {

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

// The module handle that EnumProcessModules hands out: every process has one
// module here, its executable.
char mainModule;

struct ExeLinks {
    pid_t process;
    int (*use)(const char* link, void* context);
    void* context;
    int used;
};

int UseThreadLink(DWORD thread, void* context) {
    ExeLinks* links = static_cast<ExeLinks*>(context);
    if (static_cast<pid_t>(thread) == links->process) return 1;
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/task/%u/exe", static_cast<int>(links->process),
                  static_cast<unsigned>(thread));
    links->used = links->use(path, links->context);
    return !links->used;
}

struct NameBuffer {
    char* name;
    DWORD size;
    ssize_t length;
};

int ReadLink(const char* link, void* context) {
    NameBuffer* buffer = static_cast<NameBuffer*>(context);
    buffer->length = readlink(link, buffer->name, buffer->size - 1);
    return buffer->length > 0;
}

}  // namespace

// A kernel thread has no exe link, and neither has a process that has ended.
// Once the main thread has ended, its link is gone while the process runs on:
// then any live thread's link tells.
int UseExeLink(pid_t id, int (*use)(const char* link, void* context), void* context) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/exe", static_cast<int>(id));
    if (use(path, context)) return 1;
    if (errno != ENOENT) return 0;
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(id));
    ExeLinks links = {id, use, context, 0};
    ForEachId(path, UseThreadLink, &links);
    return links.used;
}

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

BOOL WINAPI EnumProcessesLinux(DWORD* ids, DWORD bytes, DWORD* bytesWritten) {
    if (!ids || !bytesWritten) return FALSE;
    IdList list = {ids, static_cast<DWORD>(bytes / sizeof(DWORD)), 0, 0};
    if (ForEachId("/proc", CollectId, &list) < 0) return FALSE;
    // A full block tells the caller to try again with a larger one.
    *bytesWritten = list.full ? bytes : list.count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

BOOL WINAPI EnumProcessModulesLinux(HANDLE process, HMODULE* modules, DWORD bytes,
                                    DWORD* bytesNeeded) {
    pid_t id;
    if (!DecodeHandle(process, kQueryRight | kReadRight, &id) || !bytesNeeded) return FALSE;
    if (modules && bytes >= sizeof(HMODULE)) modules[0] = reinterpret_cast<HMODULE>(&mainModule);
    *bytesNeeded = sizeof(HMODULE);
    return TRUE;
}

// One system call per process gives the path (see UseExeLink).
DWORD WINAPI GetModuleFileNameExALinux(HANDLE process, HMODULE module, char* name, DWORD size) {
    pid_t id;
    if (!DecodeHandle(process, kQueryRight | kReadRight, &id) || !name || size == 0) return 0;
    if (module && module != reinterpret_cast<HMODULE>(&mainModule)) return 0;
    NameBuffer buffer = {name, size, -1};
    if (!UseExeLink(id, ReadLink, &buffer)) {
        name[0] = '\0';
        return 0;
    }
    name[buffer.length] = '\0';
    return static_cast<DWORD>(buffer.length);
}

int WINAPI VDMEnumTaskWOWExLinux(DWORD, TaskEnumProcEx, LPARAM) { return 0; }

const char* ReadProcStat(pid_t id, char* buffer, std::size_t size) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(id));
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return nullptr;
    const ssize_t got = read(file, buffer, size - 1);
    const int readError = errno;
    close(file);
    if (got < 0) {
        errno = readError;
        return nullptr;
    }
    buffer[got] = '\0';
    // The name may hold blanks and parentheses: the fields follow the last ')'.
    const char* at = std::strrchr(buffer, ')');
    if (!at || at[1] != ' ') {
        errno = EINVAL;
        return nullptr;
    }
    return at + 2;
}

const char* StatField(const char* state, int field) {
    const char* at = state;
    for (int i = 3; i < field && at; ++i) {
        at = std::strchr(at, ' ');
        if (at) ++at;
    }
    return at;
}

}  // namespace linux_backend

// Field 22 of /proc/PID/stat: the start in clock ticks since boot.
BOOL GetProcessStartTime(DWORD processId, std::uint64_t* startTime) {
    char stat[1024];
    const char* state =
        linux_backend::ReadProcStat(static_cast<pid_t>(processId), stat, sizeof stat);
    const char* at = state ? linux_backend::StatField(state, 22) : nullptr;
    if (!at || *at < '0' || *at > '9') return FALSE;
    std::uint64_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at)
        value = value * 10 + static_cast<unsigned>(*at - '0');
    *startTime = value;
    return TRUE;
}

// The fifth field of /proc/loadavg: the last ID handed out in our PID
// namespace, to a thread too. Only a wrap of exactly pid_max IDs between two
// reads would hide a new process. /proc belongs to the namespace it was
// mounted for (unshare -p without its own /proc shows the host's): there the
// newest ID says nothing of the IDs in /proc.
BOOL GetNewestProcessId(DWORD* processId) {
    static int procIsOurs = -1;
    if (procIsOurs < 0) {
        char link[16];
        const ssize_t got = readlink("/proc/self", link, sizeof link - 1);
        DWORD self = 0;
        if (got > 0) link[got] = '\0';
        procIsOurs =
            got > 0 && linux_backend::ParseId(link, &self) && static_cast<pid_t>(self) == getpid();
    }
    if (!procIsOurs) return FALSE;
    const int file = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (file < 0) return FALSE;
    char text[128];
    const ssize_t got = read(file, text, sizeof text - 1);
    close(file);
    if (got <= 0) return FALSE;
    text[got] = '\0';
    const char* at = std::strrchr(text, ' ');
    if (!at || at[1] < '0' || at[1] > '9') return FALSE;
    std::uint64_t value = 0;
    for (++at; *at >= '0' && *at <= '9' && value <= 0xFFFFFFFFu; ++at)
        value = value * 10 + static_cast<unsigned>(*at - '0');
    *processId = static_cast<DWORD>(value);
    return TRUE;
}

BOOL ExecKeepsProcessId() { return TRUE; }

// /proc/ID opens for a thread's ID too; only a process's Tgid is its own ID.
BOOL IsProcessId(DWORD id, BOOL* isProcess) {
    *isProcess = FALSE;
    char path[32], text[256];
    std::snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(id));
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return TRUE;
    const ssize_t got = read(file, text, sizeof text - 1);
    close(file);
    if (got <= 0) return TRUE;
    text[got] = '\0';
    const char* at = std::strstr(text, "\nTgid:\t");
    if (at) *isProcess = std::strtoul(at + 7, nullptr, 10) == id;
    return TRUE;
}

// Start times are clock ticks of the boot-time clock, as stat field 22.
BOOL GetCurrentStartTime(std::uint64_t* now) {
    timespec time;
    const long tick = sysconf(_SC_CLK_TCK);
    if (tick <= 0 || clock_gettime(CLOCK_BOOTTIME, &time) != 0) return FALSE;
    *now =
        static_cast<std::uint64_t>(time.tv_sec) * static_cast<std::uint64_t>(tick) +
        static_cast<std::uint64_t>(time.tv_nsec) / (1000000000u / static_cast<unsigned long>(tick));
    return TRUE;
}

}  // namespace plat
