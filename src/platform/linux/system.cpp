// The Linux backend: /proc for the process list and paths, the POSIX
// scheduler for the classes, fork and exec for launches. It presents itself
// as the NT family, with PSAPI and VDMDBG built in. This file holds the
// handles, the built-in libraries and the small services; the walk, the
// classes and the launch have files of their own.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/backend.h"

namespace plat {
namespace linux_backend {
namespace {

const int kHandleShift = 4;

thread_local DWORD lastError = 0;

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

// Output to a closed pipe must fail as a write, not end the program before
// it has acted: the output routine carries on without its reader. And a
// descriptor 0, 1 or 2 that the caller closed is opened on /dev/null before
// anything else is opened: a socket or file that took its number would get
// the messages.
__attribute__((constructor)) void PrepareDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
    }
    signal(SIGPIPE, SIG_IGN);
}

struct FileId {
    std::uint64_t device;
    std::uint64_t inode;
};

// 0 when the link cannot be followed.
int ReadFileId(const char* link, void* context) {
    FileId* file = static_cast<FileId*>(context);
    struct stat info;
    if (stat(link, &info) != 0) return 0;
    file->device = info.st_dev;
    file->inode = info.st_ino;
    return 1;
}

int IsPathTarget(const char* target) {
    if (target[0] == '/') return 1;
    if (target[0] != '.') return 0;
    return target[1] == '/' || (target[1] == '.' && target[2] == '/');
}

// Appends to the whole path in path (used bytes) what rest spells, with ".",
// ".." and repeated slashes taken out by the text alone: what is not there
// has no links to follow. 0 when it does not fit.
int AppendByText(const char* rest, char* path, std::size_t used, std::size_t size) {
    while (used > 0 && path[used - 1] == '/')
        --used;
    for (const char* at = rest; *at;) {
        if (*at == '/') {
            ++at;
            continue;
        }
        const char* end = std::strchr(at, '/');
        const std::size_t length = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        if (length == 2 && at[0] == '.' && at[1] == '.') {
            while (used > 0 && path[used - 1] != '/')
                --used;
            if (used > 0) --used;
        } else if (length != 1 || at[0] != '.') {
            if (used + 1 + length >= size) return 0;
            path[used++] = '/';
            std::memcpy(path + used, at, length);
            used += length;
        }
        at += length;
    }
    path[used] = '\0';
    return 1;
}

// The whole path that target names as the kernel reads it: the longest part
// of it that exists is resolved as the kernel resolves it (links first, then
// ".."), and the missing rest is appended by its text. 0 when it does not fit.
int ResolveAsKernel(const char* target, char* path, std::size_t size) {
    char whole[PATH_MAX];
    std::size_t used = 0;
    if (target[0] != '/') {
        if (!getcwd(whole, sizeof whole)) return 0;
        used = std::strlen(whole);
        if (used + 1 >= sizeof whole) return 0;
        whole[used++] = '/';
    }
    const std::size_t length = std::strlen(target);
    if (used + length >= sizeof whole) return 0;
    std::memcpy(whole + used, target, length + 1);
    used += length;
    char resolved[PATH_MAX];
    for (;;) {
        const char kept = whole[used];
        whole[used] = '\0';
        const bool found = realpath(whole, resolved) != nullptr;
        whole[used] = kept;
        if (found) break;
        // One name less: back over the last name and the slashes before it.
        while (used > 0 && whole[used - 1] == '/')
            --used;
        while (used > 0 && whole[used - 1] != '/')
            --used;
        if (used == 0) return 0;
    }
    const std::size_t base = std::strlen(resolved);
    if (base >= size) return 0;
    std::memcpy(path, resolved, base + 1);
    return AppendByText(whole + used, path, base, size);
}

}  // namespace

HANDLE EncodeHandle(DWORD id, std::uintptr_t flags) {
    return reinterpret_cast<HANDLE>((std::uintptr_t(id) << kHandleShift) | flags);
}

int DecodeHandle(HANDLE handle, std::uintptr_t needed, pid_t* id) {
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (!handle || handle == INVALID_HANDLE_VALUE) return 0;
    const std::uintptr_t flags = value & ((std::uintptr_t(1) << kHandleShift) - 1);
    *id = static_cast<pid_t>(value >> kHandleShift);
    return (flags & kThreadHandle) == 0 && (flags & needed) == needed && *id > 0;
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

void SetLastErrorCode(DWORD code) { lastError = code; }

}  // namespace linux_backend

namespace {

using namespace linux_backend;

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

char processHeap;

}  // namespace

const char* OptionPrefixes() { return "-"; }

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

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(&processHeap); }

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
    if (processId == 0 || processId > 0x7FFFFFFF >> kHandleShift) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::uintptr_t flags = 0;
    if (access & PROCESS_VM_READ) flags |= kReadRight;
    if (access & PROCESS_QUERY_INFORMATION) flags |= kQueryRight;
    if (access & PROCESS_SET_INFORMATION) flags |= kSetRight;
    return EncodeHandle(processId, flags);
}

BOOL CloseHandle(HANDLE handle) {
    if (linux_backend::CloseFile(handle, 1)) return TRUE;
    return handle && handle != INVALID_HANDLE_VALUE ? TRUE : FALSE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetLastError() { return lastError; }

BOOL LaunchSplitsCommandLine() { return TRUE; }

// A path names one file however it is spelt ("./server", a link, a bind
// mount), and a copy elsewhere under a name that holds the path is another
// program: the file is compared, not the name. A path is never a part of
// names: a root hold of /srv/app/server would otherwise give its class to
// /tmp/x/srv/app/server whenever the file is missing, or being reinstalled.
void ExamineTarget(const char* target, TargetFile* file) {
    file->kind = TARGET_PART;
    file->path[0] = '\0';
    const std::size_t length = std::strlen(target);
    const bool folderNamed = length > 0 && target[length - 1] == '/';
    const bool path = IsPathTarget(target);
    struct stat info;
    const bool exists = (path || std::strchr(target, '/')) && stat(target, &info) == 0;
    if (exists && S_ISREG(info.st_mode)) {
        file->kind = TARGET_FILE;
        file->device = info.st_dev;
        file->inode = info.st_ino;
        return;
    }
    if (!path) return;
    file->kind = folderNamed || (exists && S_ISDIR(info.st_mode)) ? TARGET_FOLDER : TARGET_PATH;
    // A name that fits nowhere is kept empty, and an empty path names nothing.
    if (!ResolveAsKernel(target, file->path, sizeof file->path)) file->path[0] = '\0';
    const std::size_t used = std::strlen(file->path);
    if (file->kind == TARGET_FOLDER && used > 0 && file->path[used - 1] != '/') {
        if (used + 1 < sizeof file->path) {
            file->path[used] = '/';
            file->path[used + 1] = '\0';
        } else {
            file->path[0] = '\0';
        }
    }
}

BOOL MatchesPathsAsPaths() { return TRUE; }

BOOL GetFileId(const char* path, std::uint64_t* device, std::uint64_t* inode) {
    struct stat info;
    if (stat(path, &info) != 0) return FALSE;
    *device = info.st_dev;
    *inode = info.st_ino;
    return TRUE;
}

BOOL GetProcessFileId(DWORD processId, std::uint64_t* device, std::uint64_t* inode) {
    FileId file = {0, 0};
    if (!UseExeLink(static_cast<pid_t>(processId), ReadFileId, &file)) return FALSE;
    *device = file.device;
    *inode = file.inode;
    return TRUE;
}

BOOL MarksLostCharactersInNames() { return FALSE; }

BOOL MarksControlBytesInNames() { return TRUE; }

}  // namespace plat
