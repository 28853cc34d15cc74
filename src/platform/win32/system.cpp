// The Windows backend: each operation forwards to the SDK function of the
// same name. The contract's records are laid out as the SDK's, which the
// assertions below hold to.
#include "platform/platform.h"
#include "platform/win32/console_events.h"

// After platform.h, so that the SDK's macros cannot rewrite the contract.
#include <windows.h>
// Only for the record layout; the walk finds the toolhelp functions at run time.
#include <tlhelp32.h>

#include <cstddef>

#define SAME_LAYOUT(type)                                       \
    static_assert(sizeof(plat::type) == sizeof(::type), #type); \
    static_assert(alignof(plat::type) == alignof(::type), #type)

SAME_LAYOUT(OSVERSIONINFOA);
SAME_LAYOUT(STARTUPINFOA);
SAME_LAYOUT(PROCESS_INFORMATION);
SAME_LAYOUT(PROCESSENTRY32);
SAME_LAYOUT(WIN32_FILE_ATTRIBUTE_DATA);
SAME_LAYOUT(WIN32_FIND_DATAA);
static_assert(offsetof(plat::WIN32_FIND_DATAA, cFileName) ==
                  offsetof(::WIN32_FIND_DATAA, cFileName),
              "WIN32_FIND_DATAA.cFileName");
static_assert(plat::GetFileExInfoStandard == ::GetFileExInfoStandard, "GetFileExInfoStandard");
static_assert(offsetof(plat::OSVERSIONINFOA, dwPlatformId) ==
                  offsetof(::OSVERSIONINFOA, dwPlatformId),
              "dwPlatformId");
static_assert(offsetof(plat::STARTUPINFOA, hStdError) == offsetof(::STARTUPINFOA, hStdError),
              "STARTUPINFOA");
static_assert(sizeof(plat::DWORD) == 4 && sizeof(plat::WORD) == 2, "integer widths");
static_assert(plat::win32_backend::kCtrlC == CTRL_C_EVENT &&
                  plat::win32_backend::kCtrlBreak == CTRL_BREAK_EVENT &&
                  plat::win32_backend::kCtrlClose == CTRL_CLOSE_EVENT &&
                  plat::win32_backend::kCtrlLogoff == CTRL_LOGOFF_EVENT &&
                  plat::win32_backend::kCtrlShutdown == CTRL_SHUTDOWN_EVENT,
              "console control events");

#if !defined(_WIN64)
// The sizes the 95/98 and NT loaders of the 32-bit product expect.
static_assert(sizeof(plat::OSVERSIONINFOA) == 148, "OSVERSIONINFOA");
static_assert(sizeof(plat::PROCESSENTRY32) == 296, "PROCESSENTRY32");
static_assert(sizeof(plat::STARTUPINFOA) == 68, "STARTUPINFOA");
#else
static_assert(sizeof(plat::PROCESSENTRY32) == 304, "PROCESSENTRY32");
static_assert(sizeof(plat::STARTUPINFOA) == 104, "STARTUPINFOA");
#endif
static_assert(offsetof(plat::PROCESSENTRY32, szExeFile) == offsetof(::PROCESSENTRY32, szExeFile),
              "PROCESSENTRY32.szExeFile");
static_assert(offsetof(plat::PROCESSENTRY32, th32ProcessID) ==
                  offsetof(::PROCESSENTRY32, th32ProcessID),
              "PROCESSENTRY32.th32ProcessID");

namespace {

// Manual reset: once asked, the stop stays asked for every later wait.
::HANDLE stopEvent = nullptr;
// Set by the hold once it has stopped, before it frees any library: freeing
// one may wait for the console lock, which the handler holds while it waits.
::HANDLE stoppedEvent = nullptr;
// Set while a message is written; read by the handler's thread.
volatile LONG inWrite = 0;

// A write under way is given this long to end, so that the line of a change
// that was made is not lost; one that blocks (a paused console, a full pipe)
// must not delay the stop any further.
const ::DWORD kWriteGraceMilliseconds = 100;

::BOOL WINAPI StopHandler(::DWORD type) {
    using namespace plat::win32_backend;
    const plat::DWORD action = ConsoleEventAction(type);
    if (action == kPassOn || action == kKeepHolding) return ConsoleEventHandled(type);
    ::SetEvent(stopEvent);
    for (::DWORD waited = 0; inWrite && waited < kWriteGraceMilliseconds; waited += 10)
        ::Sleep(10);
    // The message is lost and nothing is half done, since writes come between
    // changes. Terminated, not exited: the blocked thread may hold the C
    // runtime's stream lock, which an exit would wait for.
    if (inWrite) ::TerminateProcess(::GetCurrentProcess(), 1);
    // After a close or at shutdown the system ends the process as soon as this
    // returns: wait until the change under way is done and the hold has
    // stopped, for at most 4 s.
    if (action == kStopAndLinger) ::WaitForSingleObject(stoppedEvent, 4000);
    return TRUE;
}

}  // namespace

namespace plat {

const char* OptionPrefixes() { return "-/"; }

BOOL WaitForStopRequest(DWORD milliseconds) {
    if (!stopEvent) {
        stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        // Without the event nothing can be caught: wait, and Ctrl-C ends the
        // program as it would without the handler.
        if (!stopEvent) {
            ::Sleep(milliseconds);
            return FALSE;
        }
        stoppedEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ::SetConsoleCtrlHandler(StopHandler, TRUE);
    }
    return ::WaitForSingleObject(stopEvent, milliseconds) == WAIT_OBJECT_0;
}

void NoteHoldStopped() {
    if (stoppedEvent) ::SetEvent(stoppedEvent);
}

// Neither 95/98 nor NT 4 tells a console program of new processes: rounds only.
BOOL StartProcessStartEvents() { return FALSE; }

void EndProcessStartEvents() {}

DWORD WaitForStopOrProcessStart(DWORD milliseconds, DWORD*) {
    return WaitForStopRequest(milliseconds) ? HOLD_WAIT_STOP : HOLD_WAIT_TIMEOUT;
}

DWORD GetTickCount() { return ::GetTickCount(); }

BOOL IsWhollyInPriorityClass(HANDLE process, DWORD priorityClass) {
    return ::GetPriorityClass(process) == priorityClass;
}

// GetProcessTimes is looked up: the 95/98 family lacks it or fails it, and
// then the caller tells processes apart by their paths.
BOOL GetProcessStartTime(DWORD processId, std::uint64_t* startTime) {
    typedef ::BOOL(WINAPI * GetProcessTimesFn)(::HANDLE, ::FILETIME*, ::FILETIME*, ::FILETIME*,
                                               ::FILETIME*);
    static GetProcessTimesFn getProcessTimes = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        if (::HMODULE kernel = ::GetModuleHandleA("KERNEL32.DLL")) {
            getProcessTimes = reinterpret_cast<GetProcessTimesFn>(
                reinterpret_cast<FARPROC>(::GetProcAddress(kernel, "GetProcessTimes")));
        }
    }
    if (!getProcessTimes) return FALSE;
    ::HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process) return FALSE;
    ::FILETIME created, exited, kernelTime, userTime;
    const ::BOOL got = getProcessTimes(process, &created, &exited, &kernelTime, &userTime);
    ::CloseHandle(process);
    if (!got) return FALSE;
    *startTime = (std::uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return TRUE;
}

// No call tells of the newest ID: every poll takes the whole list.
BOOL GetNewestProcessId(DWORD*) { return FALSE; }

BOOL ExecKeepsProcessId() { return FALSE; }

// Without the newest ID, nothing asks which IDs are processes'.
BOOL IsProcessId(DWORD, BOOL*) { return FALSE; }

BOOL GetCurrentStartTime(std::uint64_t* now) {
    ::FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    *now = (std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return TRUE;
}

BOOL WritingOutput(BOOL writing) {
    inWrite = writing;
    return TRUE;
}

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(info));
}

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

void OutputDebugStringA(const char* text) { ::OutputDebugStringA(text); }

HMODULE LoadLibraryA(const char* name) { return reinterpret_cast<HMODULE>(::LoadLibraryA(name)); }

FARPROC GetProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<FARPROC>(::GetProcAddress(reinterpret_cast<::HMODULE>(module), name));
}

BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(reinterpret_cast<::HMODULE>(module)); }

HANDLE GetProcessHeap() { return ::GetProcessHeap(); }

void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) { return ::HeapAlloc(heap, flags, bytes); }

BOOL HeapFree(HANDLE heap, DWORD flags, void* block) { return ::HeapFree(heap, flags, block); }

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    return ::OpenProcess(access, inheritHandle, processId);
}

DWORD GetPriorityClass(HANDLE process) { return ::GetPriorityClass(process); }

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
    return ::SetPriorityClass(process, priorityClass);
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    // 95/98 refuse FILE_SHARE_DELETE, which NT needs so that an editor may
    // replace the file while it is read.
    ::OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    if (!::GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
        shareMode &= ~FILE_SHARE_DELETE;
    return ::CreateFileA(name, access, shareMode,
                         reinterpret_cast<::LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
    ::DWORD got = 0;
    const ::BOOL done =
        ::ReadFile(file, buffer, toRead, &got, static_cast<::LPOVERLAPPED>(overlapped));
    *read = got;
    return done;
}

// Found at run time: Windows 95 lacks it, and an import would keep the
// program from loading there.
BOOL GetFileAttributesExA(const char* name, int infoLevel, void* info) {
    typedef ::BOOL(WINAPI * Fn)(::LPCSTR, ::GET_FILEEX_INFO_LEVELS, ::LPVOID);
    const Fn attributes = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleA("KERNEL32.DLL"), "GetFileAttributesExA")));
    if (!attributes) return FALSE;
    return attributes(name, static_cast<::GET_FILEEX_INFO_LEVELS>(infoLevel), info);
}

HANDLE FindFirstFileA(const char* name, WIN32_FIND_DATAA* data) {
    return ::FindFirstFileA(name, reinterpret_cast<::LPWIN32_FIND_DATAA>(data));
}

BOOL FindClose(HANDLE find) { return ::FindClose(find); }

BOOL RulesFileTrusted(const char*) { return TRUE; }

BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment,
                    const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* info) {
    return ::CreateProcessA(
        applicationName, commandLine, reinterpret_cast<::LPSECURITY_ATTRIBUTES>(processAttributes),
        reinterpret_cast<::LPSECURITY_ATTRIBUTES>(threadAttributes), inheritHandles, creationFlags,
        environment, currentDirectory, reinterpret_cast<::LPSTARTUPINFOA>(startupInfo),
        reinterpret_cast<::LPPROCESS_INFORMATION>(info));
}

DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }

DWORD GetLastError() { return ::GetLastError(); }

BOOL LaunchSplitsCommandLine() { return FALSE; }

void ExamineTarget(const char*, TargetFile* file) { file->kind = TARGET_PART; }

BOOL MatchesPathsAsPaths() { return FALSE; }

BOOL GetProcessFileId(DWORD, std::uint64_t*, std::uint64_t*) { return FALSE; }

BOOL GetFileId(const char*, std::uint64_t*, std::uint64_t*) { return FALSE; }

BOOL MarksLostCharactersInNames() { return TRUE; }

BOOL MarksControlBytesInNames() { return FALSE; }

}  // namespace plat
