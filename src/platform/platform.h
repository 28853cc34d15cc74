// The one contract between Hoister's core and the system it runs on.
//
// The core (src/app, src/enum, src/actions) calls only what this header
// declares. Each binary links exactly one backend: the folder win32/ (the
// real Windows calls), the folder linux/ (/proc and the POSIX scheduler), or
// the scripted platform of the tests (tests/scripted). The names are the Win32
// names, kept in namespace plat so that any backend links with either
// toolchain and <windows.h> stays inside the Windows backend.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace plat {

// Widths match the Windows SDK so that function pointers found at run time
// can be called through these types on every target.
// LONGEST_PATH is the room the process walk gives a name: a whole path.
#ifdef _WIN32
#define WINAPI __stdcall
typedef unsigned long DWORD;
const DWORD LONGEST_PATH = 260;
#else
#define WINAPI
typedef std::uint32_t DWORD;
const DWORD LONGEST_PATH = PATH_MAX;
#endif
typedef int BOOL;
typedef std::uint16_t WORD;
typedef long LONG;
typedef std::uintptr_t ULONG_PTR;
typedef std::intptr_t LPARAM;
typedef std::size_t SIZE_T;
typedef void* HANDLE;
typedef struct HMODULE__* HMODULE;
// An entry point of unknown type: cast it to its real type before the call.
typedef void (*FARPROC)();
struct SECURITY_ATTRIBUTES;

const BOOL FALSE = 0;
const BOOL TRUE = 1;
const DWORD MAX_PATH = 260;
const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t(0));

const DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
const DWORD VER_PLATFORM_WIN32_NT = 2;

const DWORD PROCESS_VM_READ = 0x0010;
const DWORD PROCESS_SET_INFORMATION = 0x0200;
const DWORD PROCESS_QUERY_INFORMATION = 0x0400;
const DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;

const DWORD NORMAL_PRIORITY_CLASS = 0x0020;
const DWORD IDLE_PRIORITY_CLASS = 0x0040;
const DWORD HIGH_PRIORITY_CLASS = 0x0080;
const DWORD REALTIME_PRIORITY_CLASS = 0x0100;

const DWORD CREATE_NEW_CONSOLE = 0x0010;
const DWORD CREATE_NEW_PROCESS_GROUP = 0x0200;

const DWORD TH32CS_SNAPPROCESS = 0x0002;

const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;

// What a target names, as plat::ExamineTarget found it at one moment.
const DWORD TARGET_PART = 0;    // a text matched as a part of names
const DWORD TARGET_FILE = 1;    // a file: the processes that run that very file
const DWORD TARGET_FOLDER = 2;  // the processes whose path begins with path
const DWORD TARGET_PATH = 3;    // the processes whose path is exactly path
const DWORD TARGET_NAME = 4;    // a file name ("=name"): never examined, set when loaded
struct TargetFile {
    DWORD kind;
    std::uint64_t device;  // TARGET_FILE
    std::uint64_t inode;
    char path[LONGEST_PATH];  // the whole path; a folder's ends in a separator
};

// Files: only what reading a rules file and noticing its edits need.
const DWORD GENERIC_READ = 0x80000000u;
const DWORD FILE_SHARE_READ = 0x1;
const DWORD FILE_SHARE_WRITE = 0x2;
const DWORD FILE_SHARE_DELETE = 0x4;
const DWORD OPEN_EXISTING = 3;
const DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
const DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
const int GetFileExInfoStandard = 0;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};

struct PROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[MAX_PATH];
};

struct STARTUPINFOA {
    DWORD cb;
    char* lpReserved;
    char* lpDesktop;
    char* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    unsigned char* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Entry points that the process walk looks up by name at run time.
typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFn)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Process32FirstFn)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* Process32NextFn)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* EnumProcessesFn)(DWORD* ids, DWORD bytes, DWORD* bytesWritten);
typedef BOOL(WINAPI* EnumProcessModulesFn)(HANDLE process, HMODULE* modules, DWORD bytes,
                                           DWORD* bytesNeeded);
typedef DWORD(WINAPI* GetModuleFileNameExAFn)(HANDLE process, HMODULE module, char* name,
                                              DWORD size);
typedef BOOL(WINAPI* QueryFullProcessImageNameAFn)(HANDLE process, DWORD flags, char* name,
                                                   DWORD* size);
typedef BOOL(WINAPI* TaskEnumProcEx)(DWORD threadId, WORD hMod16, WORD hTask16, char* moduleName,
                                     char* fileName, LPARAM userDefined);
typedef int(WINAPI* VDMEnumTaskWOWExFn)(DWORD processId, TaskEnumProcEx callback,
                                        LPARAM userDefined);

/// The characters that start an option word: "-" and "/" on Windows, "-"
/// alone where "/" begins an absolute path.
const char* OptionPrefixes();

/// Fills dwPlatformId (1: the 95/98 family, 2: the NT family); 0 on failure,
/// including a size field other than 148.
BOOL GetVersionExA(OSVERSIONINFOA* info);
/// Blocks the calling thread for the given number of milliseconds.
void Sleep(DWORD milliseconds);
/// Waits up to the given milliseconds for a stop request (Ctrl-C, the
/// console's close or the shutdown on Windows; SIGINT, SIGTERM or SIGHUP on
/// Linux); TRUE when one has been made. The first call starts catching them;
/// 0 milliseconds only asks.
BOOL WaitForStopRequest(DWORD milliseconds);
/// Hands one message to the debugger channel, if there is one.
void OutputDebugStringA(const char* text);

// What a hold needs beyond the Win32 names: start events, a whole-process
// class test, a start time that tells reused IDs apart, and writes that a
// stop may cut short.

/// What WaitForStopOrProcessStart saw first.
const DWORD HOLD_WAIT_TIMEOUT = 0;  // the time ran out
const DWORD HOLD_WAIT_STOP = 1;     // a stop request, as WaitForStopRequest reports it
const DWORD HOLD_WAIT_STARTED = 2;  // *processId has just started a program or been forked
const DWORD HOLD_WAIT_LOST = 3;     // the system dropped start events: look at every process
/// Starts reporting process starts to WaitForStopOrProcessStart; FALSE when
/// the system cannot (then only rounds find new processes). Linux: the
/// kernel's process connector, given up after one second without an answer
/// to its own request.
BOOL StartProcessStartEvents();
/// Releases what StartProcessStartEvents acquired.
void EndProcessStartEvents();
/// One wait for a stop request or, once StartProcessStartEvents succeeded, a
/// process start, up to the given milliseconds; the stop is caught as
/// WaitForStopRequest catches it. Returns one of the HOLD_WAIT values.
DWORD WaitForStopOrProcessStart(DWORD milliseconds, DWORD* processId);
/// Milliseconds since an arbitrary moment, wrapping after 49.7 days.
DWORD GetTickCount();
/// TRUE when every thread of the process runs in the class (on Windows, its
/// class is this one). The handle needs PROCESS_QUERY_INFORMATION.
BOOL IsWhollyInPriorityClass(HANDLE process, DWORD priorityClass);
/// A value that tells this process from an earlier one with the same ID (its
/// start or creation time); FALSE when the system does not give one.
BOOL GetProcessStartTime(DWORD processId, std::uint64_t* startTime);
/// The ID that the system handed out last, to a process or a thread, so that
/// a value unchanged since the last call means that no process was created in
/// between (Linux: /proc/loadavg); FALSE where the system does not tell, or
/// where the process list shows other IDs (Linux: a /proc mounted for another
/// PID namespace).
BOOL GetNewestProcessId(DWORD* processId);
/// TRUE where a process may run another program under the same ID (an exec
/// on Linux); FALSE where a process runs one image for life (Windows).
BOOL ExecKeepsProcessId();
/// Brackets each write to standard output (TRUE before, FALSE after). Once
/// the stop is being caught, a write under way when a stop request arrives
/// is given about 100 ms to end; one that blocks longer is cut short and
/// this and every later message are lost (Windows, which cannot cut a write
/// short, ends the program there with status 1), so that a write that blocks
/// cannot delay a stop. Linux also cuts short a write that waits about
/// 100 ms, and then skips writes while the output stays blocked. FALSE when
/// the message was not written whole: before, the write must be skipped;
/// after, it was cut short.
BOOL WritingOutput(BOOL writing);

/// Called by a hold once it has stopped, before it releases anything: on
/// Windows the handler of the console's close and of the shutdown waits for
/// it (at most 4 s) before it lets the system end the program.
void NoteHoldStopped();

// What a poll needs to look only at the IDs handed out since the last one,
// where GetNewestProcessId tells them.

/// TRUE where the system can tell (Linux: /proc/ID/status), with *isProcess
/// TRUE when the ID is a running process's, FALSE when it is a thread's or
/// nobody's; FALSE where it cannot.
BOOL IsProcessId(DWORD id, BOOL* isProcess);
/// Now, in the unit and from the origin of GetProcessStartTime, so that a
/// start later than this moment is a later process; FALSE where none is given.
BOOL GetCurrentStartTime(std::uint64_t* now);

/// A module handle, or null when the library cannot be loaded.
HMODULE LoadLibraryA(const char* name);
/// The named entry point, or null when the module lacks it.
FARPROC GetProcAddress(HMODULE module, const char* name);
/// Releases a handle from LoadLibraryA.
BOOL FreeLibrary(HMODULE module);

/// The heap that HeapAlloc and HeapFree work on.
HANDLE GetProcessHeap();
/// A block of the given size, or null when memory is exhausted.
void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
/// Releases a block from HeapAlloc.
BOOL HeapFree(HANDLE heap, DWORD flags, void* block);

/// A handle to read an existing file, or INVALID_HANDLE_VALUE. Linux: a
/// regular file only (a pipe or a device would block or never end); the
/// handle is released with CloseHandle.
HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode,
                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
/// Reads up to toRead bytes; *read 0 at the end of the file.
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
/// The file's attributes, times and size (level GetFileExInfoStandard, info
/// a WIN32_FILE_ATTRIBUTE_DATA); FALSE when it cannot be found. Not on 95.
/// Linux: ftCreationTime holds the time of the last status change, which a
/// rename and a replacement change too, and ftLastAccessTime the inode.
BOOL GetFileAttributesExA(const char* name, int infoLevel, void* info);
/// The same facts for the 95/98 family, through a search for the one name;
/// INVALID_HANDLE_VALUE when it cannot be found, else a handle for FindClose.
HANDLE FindFirstFileA(const char* name, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);
/// FALSE when the file must not be trusted as the rules of this run: on
/// Linux, as root, when another user owns it, its group or others may write
/// it, or a folder on its path, up to "/", may be written by a user other than
/// root and has no sticky bit. Always TRUE elsewhere: Windows rights are not
/// checked.
BOOL RulesFileTrusted(const char* name);

/// A handle for the process with the requested rights, or null when it cannot
/// be opened (no access, or it has ended). Backends may defer the access check
/// to the first use; the use then fails as the open would have.
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
/// The process's priority class value, or 0 on failure.
DWORD GetPriorityClass(HANDLE process);
/// Nonzero when the process now runs in the given class.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
/// Releases a process handle, a snapshot or a file.
BOOL CloseHandle(HANDLE handle);
/// Nonzero when the process was created; it starts in the priority class of
/// the creation flags, in a new console and process group, and the handles
/// in *info belong to the caller.
BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, void* environment,
                    const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* info);

// What Hoister asks about itself, about the processes it acts on and about
// the words it was given, where the answer differs from system to system.

/// The ID of the calling process, as the process walk reports it.
DWORD GetCurrentProcessId();
/// The error code of the calling thread's last failed call. After OpenProcess
/// or SetPriorityClass (with one of the four classes), ERROR_INVALID_PARAMETER
/// means that no process has the ID any more (on Linux also: only a zombie).
DWORD GetLastError();
/// TRUE when CreateProcessA itself splits the command line into the program's
/// arguments (Linux), so that an argument arrives whole only when quoted;
/// FALSE where the started program splits its own command line (Windows).
BOOL LaunchSplitsCommandLine();
/// What the target names now. Windows matches every target as a part of
/// names. Linux matches a path (beginning with "/", "./" or "../") never as
/// a part: a regular file by its identity, a folder (or a path ending in "/")
/// by what lies under it, a path that names nothing by that whole path (the
/// longest part that exists resolved as the kernel resolves it, the rest by
/// its text); and any other text that holds a "/" and names a regular file by
/// its identity. A process matches a folder or a path only when the file at
/// its path, as this process sees it, is the file it runs (GetFileId).
void ExamineTarget(const char* target, TargetFile* file);
/// TRUE where ExamineTarget may find a path (Linux); FALSE where every target is a part of names.
BOOL MatchesPathsAsPaths();
/// The identity of the file the process runs, as TARGET_FILE compares it;
/// FALSE when it cannot be read.
BOOL GetProcessFileId(DWORD processId, std::uint64_t* device, std::uint64_t* inode);
/// The identity of the file at path, links followed; FALSE when there is none.
BOOL GetFileId(const char* path, std::uint64_t* device, std::uint64_t* inode);
/// TRUE where names and command lines reach the program in the ANSI code
/// page, with "?" for each character it lacks (Windows): a "?" in a target
/// then stands for a lost character, as no file name holds one.
BOOL MarksLostCharactersInNames();
/// TRUE when messages show each byte below 0x20, 0x7F and each C1 control
/// in UTF-8 (C2 80 to C2 9F) in a name as one "?" (Linux, where a path may
/// hold a line feed); FALSE where names are shown as they are.
BOOL MarksControlBytesInNames();

}  // namespace plat
