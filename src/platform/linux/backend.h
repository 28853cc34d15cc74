// What the files of the Linux backend share. The core never includes this:
// it sees only platform.h.
#pragma once

#include <sys/types.h>

#include "platform/platform.h"

namespace plat {
namespace linux_backend {

// A process handle is the ID shifted past four flag bits: opening and
// closing then cost neither memory nor a system call, and every check is
// made when the handle is used.
const std::uintptr_t kReadRight = 1;
const std::uintptr_t kQueryRight = 2;
const std::uintptr_t kSetRight = 4;
const std::uintptr_t kThreadHandle = 8;

HANDLE EncodeHandle(DWORD id, std::uintptr_t flags);
/// 1 when the handle is a process handle of ours that carries every right in
/// needed.
int DecodeHandle(HANDLE handle, std::uintptr_t needed, pid_t* id);
/// 1 when we may change the class of the process (and so list it).
int MayChange(pid_t id);

/// 1 when handle is an open file of CreateFileA; with close 1, also closes it.
int CloseFile(HANDLE handle, int close);

/// Records the code that plat::GetLastError gives back.
void SetLastErrorCode(DWORD code);
/// 1 when no process has the ID, or only a zombie that waits to be reaped
/// (a process whose main thread alone has ended still runs).
int IsGone(pid_t id);

/// Reads /proc/PID/stat into buffer and returns where its third field (the
/// state) begins, past the name in parentheses, which may hold anything. Null
/// when it cannot be read, with errno telling why (EINVAL: no such line).
const char* ReadProcStat(pid_t id, char* buffer, std::size_t size);
/// Where field number field (3 or more) begins, from the state that
/// ReadProcStat returned; null when the line has no such field.
const char* StatField(const char* state, int field);

/// Calls use with the path of the process's exe link, or, once its main
/// thread has ended, with each live thread's, until use returns nonzero; 0
/// when none served.
int UseExeLink(pid_t id, int (*use)(const char* link, void* context), void* context);
/// Calls visit for every numeric entry of a /proc directory until it returns
/// 0. -1 when the directory cannot be read.
int ForEachId(const char* path, int (*visit)(DWORD id, void* context), void* context);

// The built-in PSAPI.DLL and VDMDBG.DLL.
BOOL WINAPI EnumProcessesLinux(DWORD* ids, DWORD bytes, DWORD* bytesWritten);
BOOL WINAPI EnumProcessModulesLinux(HANDLE process, HMODULE* modules, DWORD bytes,
                                    DWORD* bytesNeeded);
DWORD WINAPI GetModuleFileNameExALinux(HANDLE process, HMODULE module, char* name, DWORD size);
int WINAPI VDMEnumTaskWOWExLinux(DWORD processId, TaskEnumProcEx callback, LPARAM userDefined);

/// What a priority class is set as on one thread.
struct ClassSetting {
    DWORD priorityClass;
    int policy;
    int priority;  // real-time policies only
    int nice;      // SCHED_OTHER only
};

/// 0 for a value that is not one of the four classes.
int SettingFor(DWORD priorityClass, ClassSetting* setting);

enum ThreadOutcome { kGone, kRefused, kUnchanged, kChanged };
/// Brings one thread (0: the calling one) to the setting; errno tells why
/// when it is refused.
ThreadOutcome ApplyToThread(pid_t thread, const ClassSetting& setting);

/// What WaitForStopOr saw first.
enum WaitOutcome { kWaitTimedOut, kWaitStopped, kWaitReady };
/// Waits up to the given milliseconds for a stop request or, when descriptor
/// is not -1, for it to become readable; the first call starts catching the
/// stop signals. A stop, once seen, is seen by every later call.
int WaitForStopOr(int descriptor, DWORD milliseconds);

}  // namespace linux_backend
}  // namespace plat
