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
// Set while a message is written; read by the handler's thread.
volatile LONG inWrite = 0;

::BOOL WINAPI StopHandler(::DWORD type) {
    using namespace plat::win32_backend;
    const plat::DWORD action = ConsoleEventAction(type);
    if (action == kPassOn || action == kKeepHolding) return ConsoleEventHandled(type);
    ::SetEvent(stopEvent);
    // A write that blocks (a paused console, a full pipe) must not delay the
    // stop: the message is lost and nothing is half done, since writes come
    // between changes. Terminated, not exited: the blocked thread may hold
    // the C runtime's stream lock, which an exit would wait for.
    if (inWrite) ::TerminateProcess(::GetCurrentProcess(), 1);
    // After a close or at shutdown the system ends the process as soon as this
    // returns: give the change under way time to finish. The run's own end
    // ends this thread.
    if (action == kStopAndLinger) ::Sleep(4000);
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
        ::SetConsoleCtrlHandler(StopHandler, TRUE);
    }
    return ::WaitForSingleObject(stopEvent, milliseconds) == WAIT_OBJECT_0;
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

BOOL GetProcessFileId(DWORD, std::uint64_t*, std::uint64_t*) { return FALSE; }

BOOL MarksLostCharactersInNames() { return TRUE; }

BOOL MarksControlBytesInNames() { return FALSE; }

}  // namespace plat
