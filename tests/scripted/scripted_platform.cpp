// The scripted backend. Handles and modules are small objects that the state
// counts, so a test can prove that everything acquired was released.
#include "scripted/scripted_platform.h"

#include "app/run_options.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>

namespace scripted {

namespace {

enum class Kind { Process, Thread, Snapshot, File, Find };

struct HandleObject {
    Kind kind;
    plat::DWORD processId;
    plat::DWORD access;
    std::vector<Process> snapshot;  // for Kind::Snapshot
    std::size_t cursor;
    std::string text;  // for Kind::File
};

struct Module {
    const char* name;
    const char* const* functions;
};

State state;
std::set<HandleObject*> liveHandles;
std::map<void*, plat::SIZE_T> liveBlocks;
int allocations = 0;
int heapObject;
plat::DWORD nextCreatedId = 9000;

Process* FindProcess(plat::DWORD id) {
    for (Process& process : state.processes) {
        if (process.id == id) return &process;
    }
    return nullptr;
}

HandleObject* Live(plat::HANDLE handle, Kind kind) {
    auto* object = static_cast<HandleObject*>(handle);
    if (!liveHandles.count(object) || object->kind != kind) return nullptr;
    return object;
}

plat::HANDLE NewHandle(Kind kind, plat::DWORD processId, plat::DWORD access) {
    auto* object = new HandleObject{kind, processId, access, {}, 0, {}};
    liveHandles.insert(object);
    ++state.handlesOutstanding;
    return object;
}

std::string Hex(plat::DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

// The toolhelp entry points, found in Kernel32.DLL.
plat::HANDLE WINAPI ScriptedCreateToolhelp32Snapshot(plat::DWORD flags, plat::DWORD processId) {
    state.calls.push_back("CreateToolhelp32Snapshot " + Hex(flags) + " " +
                          std::to_string(processId));
    if (state.snapshotFails) return plat::INVALID_HANDLE_VALUE;
    auto* object = static_cast<HandleObject*>(NewHandle(Kind::Snapshot, 0, 0));
    object->snapshot = state.processes;
    return object;
}

plat::BOOL NextEntry(plat::HANDLE snapshot, plat::PROCESSENTRY32* entry) {
    HandleObject* object = Live(snapshot, Kind::Snapshot);
    if (!object || entry->dwSize != sizeof(plat::PROCESSENTRY32)) return plat::FALSE;
    if (object->cursor >= object->snapshot.size()) return plat::FALSE;
    const Process& process = object->snapshot[object->cursor++];
    // Every field but the ID and the name comes back spoiled, dwSize included,
    // so a walk that does not set it before every call stops after one process.
    std::memset(entry, 0x5A, sizeof *entry);
    entry->th32ProcessID = process.id;
    std::snprintf(entry->szExeFile, sizeof entry->szExeFile, "%s", process.name.c_str());
    return plat::TRUE;
}

plat::BOOL WINAPI ScriptedProcess32First(plat::HANDLE snapshot, plat::PROCESSENTRY32* entry) {
    if (HandleObject* object = Live(snapshot, Kind::Snapshot)) object->cursor = 0;
    return NextEntry(snapshot, entry);
}

plat::BOOL WINAPI ScriptedProcess32Next(plat::HANDLE snapshot, plat::PROCESSENTRY32* entry) {
    return NextEntry(snapshot, entry);
}

// PSAPI.DLL
plat::BOOL WINAPI ScriptedEnumProcesses(plat::DWORD* ids, plat::DWORD bytes, plat::DWORD* written) {
    state.enumProcessesSizes.push_back(bytes);
    if (state.enumProcessesFails) return plat::FALSE;
    std::size_t fit = bytes / sizeof(plat::DWORD), count = 0;
    for (std::size_t i = 0; i < state.processes.size() && count < fit; ++i)
        if (!state.threadIds.count(state.processes[i].id)) ids[count++] = state.processes[i].id;
    *written = static_cast<plat::DWORD>(count * sizeof(plat::DWORD));
    if (state.reportedByteCount >= 0) {
        *written = static_cast<plat::DWORD>(state.reportedByteCount) < bytes
                       ? static_cast<plat::DWORD>(state.reportedByteCount)
                       : bytes;
    }
    return plat::TRUE;
}

plat::BOOL WINAPI ScriptedEnumProcessModules(plat::HANDLE process, plat::HMODULE* modules,
                                             plat::DWORD bytes, plat::DWORD* needed) {
    HandleObject* object = Live(process, Kind::Process);
    Process* target = object ? FindProcess(object->processId) : nullptr;
    if (!target || !target->modulesReadable || bytes < sizeof(plat::HMODULE)) {
        if (target) state.lastError = target->nameError;
        return plat::FALSE;
    }
    modules[0] = reinterpret_cast<plat::HMODULE>(&heapObject);
    *needed = sizeof(plat::HMODULE);
    return plat::TRUE;
}

plat::DWORD WINAPI ScriptedGetModuleFileNameExA(plat::HANDLE process, plat::HMODULE module,
                                                char* name, plat::DWORD size) {
    HandleObject* object = Live(process, Kind::Process);
    Process* target = object ? FindProcess(object->processId) : nullptr;
    if (!target || !target->nameReadable || size == 0 ||
        module != reinterpret_cast<plat::HMODULE>(&heapObject)) {
        if (target) state.lastError = target->nameError;
        return 0;
    }
    std::snprintf(name, size, "%s", target->name.c_str());
    return static_cast<plat::DWORD>(std::strlen(name));
}

plat::BOOL WINAPI ScriptedQueryFullProcessImageNameA(plat::HANDLE process, plat::DWORD flags,
                                                     char* name, plat::DWORD* size) {
    HandleObject* object = Live(process, Kind::Process);
    Process* target = object ? FindProcess(object->processId) : nullptr;
    if (!target || !target->imageNameReadable || flags != 0 ||
        !(object->access & plat::PROCESS_QUERY_LIMITED_INFORMATION) ||
        target->name.size() >= *size) {
        return plat::FALSE;
    }
    std::snprintf(name, *size, "%s", target->name.c_str());
    *size = static_cast<plat::DWORD>(target->name.size());
    return plat::TRUE;
}

// VDMDBG.DLL
int WINAPI ScriptedVDMEnumTaskWOWEx(plat::DWORD processId, plat::TaskEnumProcEx callback,
                                    plat::LPARAM userDefined) {
    state.calls.push_back("VDMEnumTaskWOWEx " + std::to_string(processId));
    Process* host = FindProcess(processId);
    if (!host) return 0;
    int count = 0;
    for (const Task& task : host->tasks) {
        char moduleName[16] = "MODULE";
        char fileName[plat::MAX_PATH];
        std::snprintf(fileName, sizeof fileName, "%s", task.fileName.c_str());
        ++count;
        if (callback(1, 0, task.handle, moduleName, fileName, userDefined)) break;
    }
    return count;
}

const char* const kKernel32Functions[] = {"CreateToolhelp32Snapshot", "Process32First",
                                          "Process32Next", "QueryFullProcessImageNameA", nullptr};
const char* const kPsapiFunctions[] = {"EnumProcesses", "EnumProcessModules",
                                       "GetModuleFileNameExA", nullptr};
const char* const kVdmdbgFunctions[] = {"VDMEnumTaskWOWEx", nullptr};
Module kernel32 = {"Kernel32.DLL", kKernel32Functions};
Module psapi = {"PSAPI.DLL", kPsapiFunctions};
Module vdmdbg = {"VDMDBG.DLL", kVdmdbgFunctions};

plat::FARPROC EntryPoint(const char* name) {
    const std::string n = name;
    if (n == "CreateToolhelp32Snapshot")
        return reinterpret_cast<plat::FARPROC>(ScriptedCreateToolhelp32Snapshot);
    if (n == "Process32First") return reinterpret_cast<plat::FARPROC>(ScriptedProcess32First);
    if (n == "Process32Next") return reinterpret_cast<plat::FARPROC>(ScriptedProcess32Next);
    if (n == "EnumProcesses") return reinterpret_cast<plat::FARPROC>(ScriptedEnumProcesses);
    if (n == "EnumProcessModules")
        return reinterpret_cast<plat::FARPROC>(ScriptedEnumProcessModules);
    if (n == "GetModuleFileNameExA")
        return reinterpret_cast<plat::FARPROC>(ScriptedGetModuleFileNameExA);
    if (n == "QueryFullProcessImageNameA")
        return reinterpret_cast<plat::FARPROC>(ScriptedQueryFullProcessImageNameA);
    if (n == "VDMEnumTaskWOWEx") return reinterpret_cast<plat::FARPROC>(ScriptedVDMEnumTaskWOWEx);
    return nullptr;
}

int SameTextIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
        char y = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
        if (x != y) return 0;
    }
    return *a == *b;
}

plat::BOOL FileRunBy(plat::DWORD processId, std::uint64_t* device, std::uint64_t* inode) {
    *device = *inode = 0;
    for (auto& entry : state.targetFiles) {
        if (entry.second.count(processId)) return plat::TRUE;
        ++*inode;
    }
    *device = 1;
    *inode = processId;
    return state.runAtTheirPath.count(processId) ? plat::TRUE : plat::FALSE;
}

}  // namespace

State& World() { return state; }

void Reset() {
    for (HandleObject* object : liveHandles)
        delete object;
    liveHandles.clear();
    for (auto& block : liveBlocks)
        std::free(block.first);
    liveBlocks.clear();
    allocations = 0;
    nextCreatedId = 9000;
    state = State();
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : state.calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    }
    return found;
}

}  // namespace scripted

namespace plat {

using scripted::state;

const char* OptionPrefixes() { return state.optionPrefixes.c_str(); }

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    ++state.versionCalls;
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return FALSE;
    if (state.failVersionFromCall && state.versionCalls >= state.failVersionFromCall) return FALSE;
    info->dwMajorVersion = 4;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 1381;
    info->dwPlatformId = state.platformId;
    info->szCSDVersion[0] = '\0';
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    state.calls.push_back("Sleep " + std::to_string(milliseconds));
    state.sleeps.push_back(milliseconds);
}

namespace {

// A wait that is not cut short: the world may change, or a stop be asked, at
// its end. A hold's waits count as its rounds' only where they end a pause,
// once they add up to its seconds; the shorter ones between are its polls.
BOOL TimeRunsOut(DWORD milliseconds) {
    const DWORD pause = static_cast<DWORD>(runOptions.holdSeconds) * 1000u;
    if (milliseconds != 0 && !state.stopAsked && state.holding && pause &&
        state.tickCount - state.pauseStart < pause) {
        ++state.polls;
        if (state.polls == state.stopAtPoll) {
            state.stopAsked = true;
        } else if (state.betweenPolls) {
            state.betweenPolls(state.polls);
        }
    } else if (milliseconds != 0 && !state.stopAsked) {
        state.pauseStart = state.tickCount;
        ++state.nonZeroWaits;
        if (state.nonZeroWaits == state.stopAtWait) {
            state.stopAsked = true;
        } else if (state.betweenRounds) {
            state.betweenRounds(state.nonZeroWaits);
        }
    }
    return state.stopAsked ? TRUE : FALSE;
}

}  // namespace

BOOL WaitForStopRequest(DWORD milliseconds) {
    state.calls.push_back("WaitForStopRequest " + std::to_string(milliseconds));
    state.tickCount += milliseconds;
    return TimeRunsOut(milliseconds);
}

BOOL StartProcessStartEvents() {
    state.calls.push_back("StartProcessStartEvents");
    state.holding = true;
    state.pauseStart = state.tickCount;
    if (state.stopAtEventsStart) state.stopAsked = true;
    if (!state.eventsAvailable) return FALSE;
    ++state.eventsOutstanding;
    return TRUE;
}

void EndProcessStartEvents() {
    state.calls.push_back("EndProcessStartEvents");
    if (state.eventsOutstanding > 0) {
        --state.eventsOutstanding;
    } else {
        ++state.badReleases;
    }
}

DWORD WaitForStopOrProcessStart(DWORD milliseconds, DWORD* processId) {
    state.calls.push_back("WaitForStopOrProcessStart " + std::to_string(milliseconds));
    if (state.stopAsked) return HOLD_WAIT_STOP;
    if (state.eventsOutstanding > 0 && !state.startEvents.empty()) {
        const scripted::State::StartEvent event = state.startEvents.front();
        state.startEvents.erase(state.startEvents.begin());
        state.tickCount += state.millisecondsPerEvent;
        if (event.seen == HOLD_WAIT_STARTED) {
            state.processes.push_back(event.started);
            *processId = event.started.id;
        }
        return event.seen;
    }
    state.tickCount += milliseconds;
    return TimeRunsOut(milliseconds) ? HOLD_WAIT_STOP : HOLD_WAIT_TIMEOUT;
}

DWORD GetTickCount() { return state.tickCount; }

BOOL GetProcessStartTime(DWORD processId, std::uint64_t* startTime) {
    scripted::Process* process = scripted::FindProcess(processId);
    if (!process || !process->startKnown) return FALSE;
    *startTime = process->startTime;
    return TRUE;
}

BOOL GetNewestProcessId(DWORD* processId) {
    *processId = state.newestProcessId;
    return state.newestProcessId != 0;
}

BOOL ExecKeepsProcessId() { return state.execKeepsId ? TRUE : FALSE; }

BOOL IsProcessId(DWORD id, BOOL* isProcess) {
    state.calls.push_back("IsProcessId " + std::to_string(id));
    *isProcess = scripted::FindProcess(id) && !state.threadIds.count(id);
    return TRUE;
}

// The clock stands for start times: a process added now may start at it.
BOOL GetCurrentStartTime(std::uint64_t* now) {
    *now = state.tickCount;
    return TRUE;
}

BOOL WritingOutput(BOOL writing) {
    static int savedOutput = -1;
    static rlimit savedLimit;
    static bool limited = false;
    if (writing && state.cutWrites.count(state.writes + 1)) {
        // The file that standard output goes to fills up part way.
        getrlimit(RLIMIT_FSIZE, &savedLimit);
        rlimit limit = savedLimit;
        limit.rlim_cur =
            static_cast<rlim_t>(lseek(1, 0, SEEK_CUR) + state.cutWrites[state.writes + 1]);
        signal(SIGXFSZ, SIG_IGN);
        limited = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    } else if (!writing && limited) {
        setrlimit(RLIMIT_FSIZE, &savedLimit);
        limited = false;
    }
    if (writing && state.failingWrites.count(++state.writes)) {
        savedOutput = dup(1);
        const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
        dup2(full, 1);
        close(full);
    } else if (!writing && savedOutput >= 0) {
        dup2(savedOutput, 1);
        close(savedOutput);
        savedOutput = -1;
    }
    return TRUE;
}

void OutputDebugStringA(const char* text) {
    state.calls.push_back(std::string("OutputDebugStringA ") + text);
    state.debugMessages.push_back(text);
}

HMODULE LoadLibraryA(const char* name) {
    state.calls.push_back(std::string("LoadLibraryA ") + name);
    scripted::Module* module = nullptr;
    if (scripted::SameTextIgnoringCase(name, "Kernel32.DLL") && !state.kernel32Missing) {
        module = &scripted::kernel32;
    } else if (scripted::SameTextIgnoringCase(name, "PSAPI.DLL") && !state.psapiMissing) {
        module = &scripted::psapi;
    } else if (scripted::SameTextIgnoringCase(name, "VDMDBG.DLL") && !state.vdmdbgMissing) {
        module = &scripted::vdmdbg;
    }
    if (module) ++state.librariesOutstanding;
    return reinterpret_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    auto* table = reinterpret_cast<scripted::Module*>(module);
    if (table != &scripted::kernel32 && table != &scripted::psapi && table != &scripted::vdmdbg) {
        return nullptr;
    }
    if (state.missingFunctions.count(name)) return nullptr;
    if (!state.fullImageNames && std::strcmp(name, "QueryFullProcessImageNameA") == 0)
        return nullptr;
    for (const char* const* function = table->functions; *function; ++function) {
        if (std::strcmp(*function, name) == 0) return scripted::EntryPoint(name);
    }
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    auto* table = reinterpret_cast<scripted::Module*>(module);
    if (table != &scripted::kernel32 && table != &scripted::psapi && table != &scripted::vdmdbg) {
        ++state.badReleases;
        return FALSE;
    }
    state.calls.push_back(std::string("FreeLibrary ") + table->name);
    --state.librariesOutstanding;
    return TRUE;
}

HANDLE GetProcessHeap() { return &scripted::heapObject; }

void* HeapAlloc(HANDLE heap, DWORD, SIZE_T bytes) {
    state.calls.push_back("HeapAlloc " + std::to_string(bytes));
    if (heap != &scripted::heapObject) return nullptr;
    if (++scripted::allocations == state.failAllocation) return nullptr;
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block) return nullptr;
    scripted::liveBlocks[block] = bytes;
    ++state.blocksOutstanding;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD, void* block) {
    auto found = scripted::liveBlocks.find(block);
    if (heap != &scripted::heapObject || found == scripted::liveBlocks.end()) {
        ++state.badReleases;
        return FALSE;
    }
    state.calls.push_back("HeapFree " + std::to_string(found->second));
    scripted::liveBlocks.erase(found);
    std::free(block);
    --state.blocksOutstanding;
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
    state.calls.push_back("OpenProcess " + scripted::Hex(access) + " " + std::to_string(processId));
    scripted::Process* process = scripted::FindProcess(processId);
    if (!process) {
        state.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    bool allowed = true;
    if (access & PROCESS_VM_READ) allowed = allowed && process->openForQuery;
    if (access & PROCESS_SET_INFORMATION) allowed = allowed && process->openForSet;
    if ((access & PROCESS_QUERY_INFORMATION) &&
        !(access & (PROCESS_VM_READ | PROCESS_SET_INFORMATION)))
        allowed = allowed && (process->openForQuery || process->openForSet);
    if (!allowed) {
        state.lastError = process->openError;
        return nullptr;
    }
    return scripted::NewHandle(scripted::Kind::Process, processId, access);
}

DWORD GetPriorityClass(HANDLE process) {
    scripted::HandleObject* object = scripted::Live(process, scripted::Kind::Process);
    if (!object || !(object->access & PROCESS_QUERY_INFORMATION)) return 0;
    scripted::Process* target = scripted::FindProcess(object->processId);
    if (!target || target->getClassFails) return 0;
    return target->priorityClass;
}

BOOL IsWhollyInPriorityClass(HANDLE process, DWORD priorityClass) {
    scripted::HandleObject* object = scripted::Live(process, scripted::Kind::Process);
    if (!object || !(object->access & PROCESS_QUERY_INFORMATION)) return FALSE;
    scripted::Process* target = scripted::FindProcess(object->processId);
    if (!target || target->getClassFails) return FALSE;
    return target->priorityClass == priorityClass &&
           (!target->threadClass || target->threadClass == priorityClass);
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    scripted::HandleObject* object = scripted::Live(process, scripted::Kind::Process);
    if (!object || !(object->access & PROCESS_SET_INFORMATION)) return FALSE;
    state.calls.push_back("SetPriorityClass " + std::to_string(object->processId) + " " +
                          scripted::Hex(priorityClass));
    if (++state.setClassCalls == state.stopAtSetClass) state.stopAsked = true;
    if (state.atSetClass) state.atSetClass(state.setClassCalls);
    scripted::Process* target = scripted::FindProcess(object->processId);
    if (!target || target->setClassFails) {
        state.lastError = target ? target->setClassError : ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    target->priorityClass = priorityClass;
    target->threadClass = 0;
    state.priorityChanges.emplace_back(object->processId, priorityClass);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    auto* object = static_cast<scripted::HandleObject*>(handle);
    if (!scripted::liveHandles.count(object)) {
        ++state.badReleases;
        return FALSE;
    }
    static const char* const kKinds[] = {"process", "thread", "snapshot", "file", "find"};
    state.calls.push_back(std::string("CloseHandle ") + kKinds[static_cast<int>(object->kind)] +
                          " " + std::to_string(object->processId));
    scripted::liveHandles.erase(object);
    delete object;
    --state.handlesOutstanding;
    return TRUE;
}

HANDLE CreateFileA(const char* name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
    state.calls.push_back(std::string("CreateFileA ") + name);
    auto found = state.files.find(name);
    if (found == state.files.end() || !found->second.readable) return INVALID_HANDLE_VALUE;
    ++state.fileReads;
    auto* object = static_cast<scripted::HandleObject*>(NewHandle(scripted::Kind::File, 0, 0));
    object->text = found->second.text;
    if (found->second.changesInRead) object->text += "\n";
    return object;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void*) {
    *read = 0;
    scripted::HandleObject* object = scripted::Live(file, scripted::Kind::File);
    if (!object) return FALSE;
    const std::size_t left = object->text.size() - object->cursor;
    *read = static_cast<DWORD>(left < toRead ? left : toRead);
    std::memcpy(buffer, object->text.data() + object->cursor, *read);
    object->cursor += *read;
    return TRUE;
}

namespace {

bool LookAtFile(const char* name, WIN32_FILE_ATTRIBUTE_DATA* data) {
    ++state.fileLooks;
    auto found = state.files.find(name);
    if (found == state.files.end()) return false;
    std::memset(data, 0, sizeof *data);
    const std::uint64_t version = std::hash<std::string>()(found->second.text);
    data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    data->ftLastWriteTime.dwLowDateTime = static_cast<DWORD>(version);
    data->ftLastWriteTime.dwHighDateTime = static_cast<DWORD>(version >> 32);
    data->nFileSizeLow = static_cast<DWORD>(found->second.text.size());
    return true;
}

}  // namespace

BOOL GetFileAttributesExA(const char* name, int, void* info) {
    state.calls.push_back(std::string("GetFileAttributesExA ") + name);
    return LookAtFile(name, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info)) ? TRUE : FALSE;
}

HANDLE FindFirstFileA(const char* name, WIN32_FIND_DATAA* data) {
    state.calls.push_back(std::string("FindFirstFileA ") + name);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!LookAtFile(name, &attributes)) return INVALID_HANDLE_VALUE;
    std::memset(data, 0, sizeof *data);
    std::memcpy(data, &attributes, sizeof attributes);
    return NewHandle(scripted::Kind::Find, 0, 0);
}

BOOL FindClose(HANDLE find) {
    if (!scripted::Live(find, scripted::Kind::Find)) {
        ++state.badReleases;
        return FALSE;
    }
    return CloseHandle(find);
}

BOOL RulesFileTrusted(const char* name) {
    auto found = state.files.find(name);
    return found != state.files.end() && found->second.trusted ? TRUE : FALSE;
}

BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment,
                    const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* info) {
    scripted::Creation creation;
    creation.applicationNameNull = applicationName == nullptr;
    creation.commandLine = commandLine ? commandLine : "";
    creation.attributesNull = processAttributes == nullptr && threadAttributes == nullptr;
    creation.inheritHandles = inheritHandles;
    creation.flags = creationFlags;
    creation.environmentNull = environment == nullptr;
    creation.directoryNull = currentDirectory == nullptr;
    creation.startupCb = startupInfo->cb;
    creation.startupRestZero = true;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(startupInfo);
    for (std::size_t i = sizeof startupInfo->cb; i < sizeof *startupInfo; ++i) {
        if (bytes[i]) creation.startupRestZero = false;
    }
    state.creations.push_back(creation);
    if (state.createFails) return FALSE;
    DWORD id = scripted::nextCreatedId++;
    info->hProcess = scripted::NewHandle(scripted::Kind::Process, id, 0x1FFFFF);
    info->hThread = scripted::NewHandle(scripted::Kind::Thread, id, 0x1FFFFF);
    info->dwProcessId = id;
    info->dwThreadId = id + 1;
    return TRUE;
}

DWORD GetCurrentProcessId() { return state.currentProcessId; }

DWORD GetLastError() { return state.lastError; }

BOOL LaunchSplitsCommandLine() { return state.launchSplitsCommandLine ? TRUE : FALSE; }

// A scripted file's identity is its target's place in targetFiles; a
// process that runs none of them but runs the file at its path has its own.
void ExamineTarget(const char* target, TargetFile* file) {
    ++state.targetLooks;
    auto found = state.targetFiles.find(target);
    file->kind = found == state.targetFiles.end() ? TARGET_PART : TARGET_FILE;
    file->inode = static_cast<std::uint64_t>(std::distance(state.targetFiles.begin(), found));
    file->device = 0;
    file->path[0] = '\0';
    auto path = state.pathTargets.find(target);
    if (file->kind == TARGET_PART && path != state.pathTargets.end()) {
        file->kind = path->second.first;
        std::snprintf(file->path, sizeof file->path, "%s", path->second.second.c_str());
    }
}

BOOL GetFileId(const char* path, std::uint64_t* device, std::uint64_t* inode) {
    ++state.fileIdReads;
    for (const scripted::Process& process : state.processes) {
        if (process.name == path && state.runAtTheirPath.count(process.id)) {
            return scripted::FileRunBy(process.id, device, inode);
        }
    }
    return FALSE;
}

BOOL MatchesPathsAsPaths() { return state.pathsAsPaths ? TRUE : FALSE; }

void NoteHoldStopped() { state.calls.push_back("NoteHoldStopped"); }

BOOL GetProcessFileId(DWORD processId, std::uint64_t* device, std::uint64_t* inode) {
    ++state.fileIdReads;
    return scripted::FileRunBy(processId, device, inode);
}

// The Wine tests show a "?" refused; here a target may hold one.
BOOL MarksLostCharactersInNames() { return FALSE; }

BOOL MarksControlBytesInNames() { return state.marksControlBytes ? TRUE : FALSE; }

}  // namespace plat
