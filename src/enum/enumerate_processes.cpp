#include "enum/enumerate_processes.h"

#include <cstring>

#include "app/log_message.h"

using namespace plat;

namespace {

const DWORD kFirstListBytes = 1024;
const DWORD kLargestListBytes = 0x80000000u;

// The last nine characters name the virtual DOS machine; only A-Z are folded.
int IsVirtualDosMachine(const char* name) {
    static const char kSuffix[] = "ntvdm.exe";
    const std::size_t suffixLength = sizeof kSuffix - 1;
    std::size_t length = 0;
    while (name[length])
        ++length;
    if (length < suffixLength) return 0;
    const char* tail = name + length - suffixLength;
    for (std::size_t i = 0; i < suffixLength; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kSuffix[i]) return 0;
    }
    return 1;
}

// How the NT walk reads a process's path: through PSAPI, and where that
// gives none, through QueryFullProcessImageNameA, which Kernel32 exports from
// Vista on. It needs only the limited query right, so it also names the
// processes that PSAPI cannot read: a 64-bit process seen from the 32-bit
// product under WOW64, above all.
struct NameReader {
    EnumProcessModulesFn enumModules;
    GetModuleFileNameExAFn moduleFileName;
    HMODULE kernel;
    QueryFullProcessImageNameAFn fullImageName;
};

// Where Kernel32 lacks the function (95 to XP), names stay as PSAPI reads them.
void LoadFallback(NameReader* reader) {
    reader->kernel = LoadLibraryA("Kernel32.DLL");
    reader->fullImageName = nullptr;
    if (reader->kernel) {
        reader->fullImageName = reinterpret_cast<QueryFullProcessImageNameAFn>(
            GetProcAddress(reader->kernel, "QueryFullProcessImageNameA"));
    }
}

void ReleaseFallback(const NameReader* reader) {
    if (reader->kernel) FreeLibrary(reader->kernel);
}

// Room for any path that the system gives (32,767 characters). Static:
// nothing is allocated per process.
char wholeName[32768];

// A path longer than the name's room keeps its start and its file name,
// with "..." between them, in the 256 bytes that a message shows of a name,
// so that the file name is matched and shown whole; cut at the end, the
// program would match neither its name nor -s.
const std::size_t kFittedName = LONGEST_PATH - 1 < 256 ? LONGEST_PATH - 1 : 256;

void FitName(char (&name)[LONGEST_PATH]) {
    wholeName[sizeof wholeName - 1] = '\0';
    const std::size_t length = std::strlen(wholeName);
    if (length < sizeof name) {
        std::memcpy(name, wholeName, length + 1);
        return;
    }
    std::size_t base = length;
    while (base > 0 && wholeName[base - 1] != '\\' && wholeName[base - 1] != '/')
        --base;
    const std::size_t baseLength = length - base;
    static const char kGap[] = "...\\";
    const std::size_t gap = sizeof kGap - 1;
    if (base == 0 || baseLength + gap + 1 > kFittedName) {
        std::memcpy(name, wholeName, sizeof name - 1);
        name[sizeof name - 1] = '\0';
        return;
    }
    const std::size_t head = kFittedName - gap - baseLength;
    std::memcpy(name, wholeName, head);
    std::memcpy(name + head, kGap, gap);
    std::memcpy(name + head + gap, wholeName + base, baseLength + 1);
}

// The empty name when the process cannot be opened or its path read.
void ReadNtName(const NameReader* reader, DWORD processId, char (&name)[LONGEST_PATH]) {
    name[0] = '\0';
    wholeName[0] = '\0';
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process) {
        HMODULE module;
        DWORD needed;
        // NOLINTNEXTLINE(bugprone-sizeof-expression): a handle's size, not its target's.
        if (reader->enumModules(process, &module, sizeof module, &needed) &&
            !reader->moduleFileName(process, module, wholeName, sizeof wholeName)) {
            wholeName[0] = '\0';
        }
        CloseHandle(process);
        // Older PSAPI versions leave a name that fills the buffer unterminated.
        FitName(name);
    }
    if (name[0] || !reader->fullImageName) return;
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return;
    DWORD size = sizeof wholeName;
    if (!reader->fullImageName(process, 0, wholeName, &size)) wholeName[0] = '\0';
    FitName(name);
    CloseHandle(process);
}

// A walk that a hold makes between its rounds reports no failure: its round does.
std::int32_t Fail(int report, const char* message) {
    if (report) LogMessage("%s", message);
    return 0;
}

struct Toolhelp {
    HMODULE kernel;
    CreateToolhelp32SnapshotFn createSnapshot;
    Process32FirstFn first;
    Process32NextFn next;
};

std::int32_t LoadToolhelp(Toolhelp* toolhelp, int report) {
    toolhelp->kernel = LoadLibraryA("Kernel32.DLL");
    if (!toolhelp->kernel)
        return Fail(report, "Error: could not load Win32 library Kernel32.DLL\n");
    toolhelp->createSnapshot = reinterpret_cast<CreateToolhelp32SnapshotFn>(
        GetProcAddress(toolhelp->kernel, "CreateToolhelp32Snapshot"));
    toolhelp->first =
        reinterpret_cast<Process32FirstFn>(GetProcAddress(toolhelp->kernel, "Process32First"));
    toolhelp->next =
        reinterpret_cast<Process32NextFn>(GetProcAddress(toolhelp->kernel, "Process32Next"));
    if (!toolhelp->createSnapshot || !toolhelp->first || !toolhelp->next) {
        FreeLibrary(toolhelp->kernel);
        return Fail(report, "Error: could not address Win32 library functions\n");
    }
    return 1;
}

struct NtLibraries {
    HMODULE psapi;
    HMODULE vdmdbg;
    EnumProcessesFn enumProcesses;
    VDMEnumTaskWOWExFn enumTasks;
    NameReader reader;  // its fallback is loaded apart
};

std::int32_t LoadNt(NtLibraries* nt, int report) {
    nt->psapi = LoadLibraryA("PSAPI.DLL");
    if (!nt->psapi) return Fail(report, "Error: could not load NT library PSAPI.DLL\n");
    nt->vdmdbg = LoadLibraryA("VDMDBG.DLL");
    if (!nt->vdmdbg) {
        FreeLibrary(nt->psapi);
        return Fail(report, "Error: could not load NT library VDMDBG.DLL\n");
    }
    nt->enumProcesses =
        reinterpret_cast<EnumProcessesFn>(GetProcAddress(nt->psapi, "EnumProcesses"));
    nt->reader.enumModules =
        reinterpret_cast<EnumProcessModulesFn>(GetProcAddress(nt->psapi, "EnumProcessModules"));
    nt->reader.moduleFileName =
        reinterpret_cast<GetModuleFileNameExAFn>(GetProcAddress(nt->psapi, "GetModuleFileNameExA"));
    nt->enumTasks =
        reinterpret_cast<VDMEnumTaskWOWExFn>(GetProcAddress(nt->vdmdbg, "VDMEnumTaskWOWEx"));
    if (!nt->enumProcesses || !nt->reader.enumModules || !nt->reader.moduleFileName ||
        !nt->enumTasks) {
        FreeLibrary(nt->psapi);
        FreeLibrary(nt->vdmdbg);
        return Fail(report, "Error: could not address NT library functions\n");
    }
    return 1;
}

// What a hold loads once and keeps until its end, so that its walks, polls
// and single reads load nothing; the family of what is kept, 0 for nothing.
struct KeptLibraries {
    DWORD platformId;
    Toolhelp toolhelp;
    NtLibraries nt;
};
KeptLibraries kept;

// After a read that gave no name: 1 when the process may not even be opened
// to read its path. A read that fails after the open is not final: Windows
// fails it while the process is still loading its modules, and Wine with
// access denied while it has no thread yet. Linux opens every process and
// checks at the use: there, a process out of reach may be a child that root
// has just forked and that takes our user as it execs.
int AccessDenied(const NameReader* reader, DWORD processId) {
    if (GetLastError() != ERROR_ACCESS_DENIED) return 0;
    HANDLE process =
        OpenProcess(reader->fullImageName ? PROCESS_QUERY_LIMITED_INFORMATION
                                          : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                    FALSE, processId);
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(process);
    return 0;
}

// 0 when PSAPI cannot be used; else the name (empty when it cannot be read),
// and, where denied is not null, *denied set when access to the process is
// denied.
int ReadOneNtName(DWORD processId, char (&name)[LONGEST_PATH], int* denied) {
    if (kept.platformId == VER_PLATFORM_WIN32_NT) {
        ReadNtName(&kept.nt.reader, processId, name);
        if (denied) *denied = !name[0] && AccessDenied(&kept.nt.reader, processId);
        return 1;
    }
    HMODULE psapi = LoadLibraryA("PSAPI.DLL");
    if (!psapi) return 0;
    NameReader reader;
    reader.enumModules =
        reinterpret_cast<EnumProcessModulesFn>(GetProcAddress(psapi, "EnumProcessModules"));
    reader.moduleFileName =
        reinterpret_cast<GetModuleFileNameExAFn>(GetProcAddress(psapi, "GetModuleFileNameExA"));
    if (!reader.enumModules || !reader.moduleFileName) {
        FreeLibrary(psapi);
        return 0;
    }
    LoadFallback(&reader);
    ReadNtName(&reader, processId, name);
    if (denied) *denied = !name[0] && AccessDenied(&reader, processId);
    ReleaseFallback(&reader);
    FreeLibrary(psapi);
    return 1;
}

struct OneProcess {
    DWORD processId;
    ProcessVisitor visitor;
    void* userData;
};

std::int32_t VisitOneProcess(DWORD processId, DWORD, const char* name, void* userData) {
    const OneProcess* one = static_cast<const OneProcess*>(userData);
    if (processId != one->processId) return 1;
    one->visitor(processId, 0, name, one->userData);
    return 0;
}

struct IdList {
    DWORD* ids;
    DWORD capacity;
    DWORD count;
};

std::int32_t CollectId(DWORD processId, DWORD, const char*, void* userData) {
    IdList* list = static_cast<IdList*>(userData);
    list->ids[list->count++] = processId;
    return list->count < list->capacity;
}

std::int32_t Walk9x(ProcessVisitor visitor, void* userData, int report) {
    const int own = kept.platformId != VER_PLATFORM_WIN32_WINDOWS;
    Toolhelp loaded;
    if (own && !LoadToolhelp(&loaded, report)) return 0;
    const Toolhelp& toolhelp = own ? loaded : kept.toolhelp;
    HANDLE snapshot = toolhelp.createSnapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        if (own) FreeLibrary(toolhelp.kernel);
        return Fail(report, "Error: could not get list of Win32 processes\n");
    }

    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    BOOL more = toolhelp.first(snapshot, &entry);
    while (more) {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        if (!visitor(entry.th32ProcessID, 0, entry.szExeFile, userData)) break;
        entry.dwSize = sizeof entry;
        more = toolhelp.next(snapshot, &entry);
    }

    CloseHandle(snapshot);
    if (own) FreeLibrary(toolhelp.kernel);
    return 1;
}

void FreeOwnNt(const NtLibraries& nt, int own) {
    if (!own) return;
    FreeLibrary(nt.psapi);
    FreeLibrary(nt.vdmdbg);
}

std::int32_t WalkNt(ProcessVisitor visitor, void* userData) {
    const int own = kept.platformId != VER_PLATFORM_WIN32_NT;
    NtLibraries loaded;
    if (own && !LoadNt(&loaded, 1)) return 0;
    NtLibraries& nt = own ? loaded : kept.nt;

    // EnumProcesses cannot say how much room it needs: a full block may have
    // been cut short, so grow until the list leaves room to spare.
    HANDLE heap = GetProcessHeap();
    DWORD* ids = nullptr;
    DWORD size = kFirstListBytes;
    DWORD bytes = 0;
    for (;;) {
        if (ids) {
            HeapFree(heap, 0, ids);
            ids = nullptr;
            // A size that cannot double any more is as good as exhausted memory.
            if (size > kLargestListBytes / 2) size = 0;
            size *= 2;
        }
        if (size) ids = static_cast<DWORD*>(HeapAlloc(heap, 0, size));
        if (!ids) {
            FreeOwnNt(nt, own);
            // There is no text of its own for exhausted memory.
            LogMessage("Error: could not load NT library VDMDBG.DLL\n");
            return 0;
        }
        if (!nt.enumProcesses(ids, size, &bytes)) {
            HeapFree(heap, 0, ids);
            FreeOwnNt(nt, own);
            LogMessage("Error: could not get list of NT processes\n");
            return 0;
        }
        if (bytes == size) continue;
        if (bytes % sizeof(DWORD) != 0) {
            HeapFree(heap, 0, ids);
            FreeOwnNt(nt, own);
            LogMessage("Error: list of NT processes is corrupt\n");
            return 0;
        }
        break;
    }

    if (own) LoadFallback(&nt.reader);
    char name[LONGEST_PATH];
    DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
        ReadNtName(&nt.reader, ids[i], name);
        if (!visitor(ids[i], 0, name, userData)) break;
        if (IsVirtualDosMachine(name)) {
            WowEnumContext context = {ids[i], visitor, userData, 0};
            nt.enumTasks(ids[i], WowTaskAdapter, reinterpret_cast<LPARAM>(&context));
            if (context.stopRequested) break;
        }
    }

    if (own) ReleaseFallback(&nt.reader);
    HeapFree(heap, 0, ids);
    if (own) {
        FreeLibrary(nt.vdmdbg);
        FreeLibrary(nt.psapi);
    }
    return 1;
}

struct NameCopy {
    DWORD processId;
    char* name;
};

std::int32_t CopyName(DWORD processId, DWORD, const char* name, void* userData) {
    NameCopy* copy = static_cast<NameCopy*>(userData);
    if (processId != copy->processId) return 1;
    std::size_t i = 0;
    for (; i < LONGEST_PATH - 1 && name[i]; ++i)
        copy->name[i] = name[i];
    copy->name[i] = '\0';
    return 0;
}

}  // namespace

BOOL WINAPI WowTaskAdapter(DWORD, WORD, WORD hTask16, char*, char* fileName, LPARAM userDefined) {
    WowEnumContext* context = reinterpret_cast<WowEnumContext*>(userDefined);
    if (!context->visitor(context->vdmProcessId, hTask16, fileName, context->userData)) {
        context->stopRequested = 1;
        return TRUE;
    }
    return FALSE;
}

std::int32_t EnumerateProcesses(ProcessVisitor visitor, void* userData) {
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        LogMessage("Error: could not determine Operating System\n");
        return 0;
    }
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) return WalkNt(visitor, userData);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return Walk9x(visitor, userData, 1);
    LogMessage("Error: Operating System is not Win32 or NT\n");
    return 0;
}

std::int32_t VisitProcess(DWORD processId, ProcessVisitor visitor, void* userData) {
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return 0;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        // Toolhelp reads no single process: the snapshot's entry names it.
        OneProcess one = {processId, visitor, userData};
        return Walk9x(VisitOneProcess, &one, 0);
    }
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
    char name[LONGEST_PATH];
    if (!ReadOneNtName(processId, name, nullptr)) return 0;
    visitor(processId, 0, name, userData);
    return 1;
}

int ReadProcessName(DWORD processId, char (&name)[LONGEST_PATH]) {
    name[0] = '\0';
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return kNameNotYet;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        NameCopy copy = {processId, name};
        Walk9x(CopyName, &copy, 0);
        return name[0] ? kNameRead : kNameNotYet;
    }
    int denied = 0;
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || !ReadOneNtName(processId, name, &denied))
        return kNameNotYet;
    if (name[0]) return kNameRead;
    return denied ? kNameDenied : kNameNotYet;
}

std::int32_t ListProcessIds(DWORD* ids, DWORD capacity, DWORD* count) {
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return 0;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        IdList list = {ids, capacity, 0};
        if (!Walk9x(CollectId, &list, 0)) return 0;
        *count = list.count;
        return 1;
    }
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return 0;
    const DWORD size = capacity * sizeof(DWORD);
    DWORD bytes = 0;
    BOOL listed;
    if (kept.platformId == VER_PLATFORM_WIN32_NT) {
        listed = kept.nt.enumProcesses(ids, size, &bytes);
    } else {
        HMODULE psapi = LoadLibraryA("PSAPI.DLL");
        if (!psapi) return 0;
        auto enumProcesses =
            reinterpret_cast<EnumProcessesFn>(GetProcAddress(psapi, "EnumProcesses"));
        listed = enumProcesses && enumProcesses(ids, size, &bytes);
        FreeLibrary(psapi);
    }
    if (!listed || bytes > size || bytes % sizeof(DWORD) != 0) return 0;
    *count = bytes / sizeof(DWORD);
    return 1;
}

std::int32_t KeepWalkLibraries() {
    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (kept.platformId || !GetVersionExA(&version)) return 0;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (!LoadToolhelp(&kept.toolhelp, 0)) return 0;
    } else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (!LoadNt(&kept.nt, 0)) return 0;
        LoadFallback(&kept.nt.reader);
    } else {
        return 0;
    }
    kept.platformId = version.dwPlatformId;
    return 1;
}

void ReleaseWalkLibraries() {
    if (kept.platformId == VER_PLATFORM_WIN32_WINDOWS) FreeLibrary(kept.toolhelp.kernel);
    if (kept.platformId == VER_PLATFORM_WIN32_NT) {
        ReleaseFallback(&kept.nt.reader);
        FreeLibrary(kept.nt.vdmdbg);
        FreeLibrary(kept.nt.psapi);
    }
    kept.platformId = 0;
}
