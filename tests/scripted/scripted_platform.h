// The scripted platform for tests: a process table and fault switches that a
// test writes, and a record of every call that matters. Link
// scripted_platform.cpp instead of a real backend and set up scripted::World().
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace scripted {

struct Task {
    plat::WORD handle;
    std::string fileName;
};

struct Process {
    plat::DWORD id = 0;
    std::string name;  // module path on the NT family, szExeFile on 95/98
    plat::DWORD priorityClass = plat::NORMAL_PRIORITY_CLASS;
    plat::DWORD threadClass = 0;    // a thread in this class and not the process's; 0: none
    std::uint64_t startTime = 0;    // what GetProcessStartTime gives
    bool openForQuery = true;       // OpenProcess with 0x410 succeeds
    bool openForSet = true;         // OpenProcess with 0x600 succeeds
    bool startKnown = true;         // GetProcessStartTime succeeds
    bool modulesReadable = true;    // EnumProcessModules succeeds
    bool nameReadable = true;       // GetModuleFileNameExA succeeds
    bool imageNameReadable = true;  // QueryFullProcessImageNameA succeeds, where it exists
    bool getClassFails = false;
    bool setClassFails = false;
    // The last error of a failed open or change: ERROR_INVALID_PARAMETER
    // scripts a process that ended after the walk listed it (Windows finds
    // that out at the open, Linux at the change).
    plat::DWORD openError = plat::ERROR_ACCESS_DENIED;
    plat::DWORD setClassError = plat::ERROR_ACCESS_DENIED;
    plat::DWORD nameError = 299;  // of a failed module or name read: ERROR_PARTIAL_COPY
    std::vector<Task> tasks;      // 16-bit tasks, reported by VDMEnumTaskWOWEx for this ID
};

struct Creation {
    bool applicationNameNull;
    std::string commandLine;
    bool attributesNull;
    plat::BOOL inheritHandles;
    plat::DWORD flags;
    bool environmentNull;
    bool directoryNull;
    plat::DWORD startupCb;
    bool startupRestZero;  // every byte of STARTUPINFOA but cb is zero
};

// A file that CreateFileA can read; its version (and so its write time) is
// the hash of its text, so that every edit is seen as one.
struct File {
    std::string text;
    bool readable = true;        // CreateFileA succeeds
    bool trusted = true;         // what RulesFileTrusted gives
    bool changesInRead = false;  // an edit lands while it is read: its size then differs
};

struct State {
    // The system.
    plat::DWORD platformId = plat::VER_PLATFORM_WIN32_NT;
    plat::DWORD currentProcessId = 0;      // the program's own ID
    bool launchSplitsCommandLine = false;  // true: arguments are quoted as on Linux
    bool marksControlBytes = false;        // true: names are shown as on Linux
    bool pathsAsPaths = true;              // what MatchesPathsAsPaths gives; false: Windows's
    std::string optionPrefixes = "-/";
    std::vector<Process> processes;
    std::map<std::string, std::set<plat::DWORD>> targetFiles;  // a file target -> who runs it
    // (a process runs the file of the first target that lists it)
    // A folder or path target -> TARGET_FOLDER or TARGET_PATH and its path (a
    // folder's ends in "/"); and the processes whose path, stat'ed here, is
    // the file they run.
    std::map<std::string, std::pair<plat::DWORD, std::string>> pathTargets;
    std::set<plat::DWORD> runAtTheirPath;
    std::map<std::string, File> files;  // by name, for the rules

    // Faults.
    int failVersionFromCall = 0;  // calls with this number (1-based) and later fail; 0: none
    bool kernel32Missing = false;
    bool fullImageNames = false;  // Kernel32 exports QueryFullProcessImageNameA (Vista on)
    bool psapiMissing = false;
    bool vdmdbgMissing = false;
    std::set<std::string> missingFunctions;
    // Messages (1-based) whose write fails for real: standard output is a
    // full device (ENOSPC) while they are written.
    std::set<int> failingWrites;
    std::map<int, long> cutWrites;  // and these, after so many of their bytes
    bool snapshotFails = false;
    int failAllocation = 0;  // the HeapAlloc with this number (1-based) fails; 0: none
    bool enumProcessesFails = false;
    long reportedByteCount = -1;  // EnumProcesses reports this count (never above the size)
    bool createFails = false;
    bool eventsAvailable = false;     // StartProcessStartEvents succeeds (see startEvents)
    bool execKeepsId = false;         // what ExecKeepsProcessId gives
    plat::DWORD newestProcessId = 0;  // what GetNewestProcessId gives; 0: it fails
    std::set<plat::DWORD> threadIds;  // of processes: threads', which EnumProcesses leaves out

    // Stop requests: at this non-zero wait (1-based; the wait after a hold's
    // round of that number), and during this SetPriorityClass (1-based); 0:
    // never. By default a hold stops after its first round.
    int stopAtWait = 1;
    int stopAtSetClass = 0;
    std::function<void(int call)> atSetClass;  // called at each SetPriorityClass, with its number
    int stopAtPoll = 0;                        // and at a hold's poll of this number; 0: never
    bool stopAtEventsStart = false;            // while StartProcessStartEvents waits for its answer
    // Called at each non-zero wait that does not stop, with its number: the
    // world may change between rounds. A hold's polls, the shorter waits
    // within its pause, are counted apart and call betweenPolls.
    std::function<void(int round)> betweenRounds;
    std::function<void(int poll)> betweenPolls;

    // Process starts, reported when events are on: each wait of a hold takes
    // the next one (a process that starts, and joins the world then, or
    // HOLD_WAIT_LOST), advancing the clock by millisecondsPerEvent; with none
    // left, the wait's time runs out as a WaitForStopRequest's does.
    struct StartEvent {
        plat::DWORD seen;
        Process started;
    };
    std::vector<StartEvent> startEvents;
    plat::DWORD millisecondsPerEvent = 0;
    plat::DWORD tickCount = 0;

    // What happened.
    std::vector<std::string> calls;  // libraries, heap blocks, handles, sleeps, waits, messages
    std::vector<plat::DWORD> sleeps;
    std::vector<std::string> debugMessages;
    std::vector<plat::DWORD> enumProcessesSizes;
    std::vector<std::pair<plat::DWORD, plat::DWORD>> priorityChanges;  // ID, class
    std::vector<Creation> creations;
    int versionCalls = 0;
    int fileLooks = 0;    // GetFileAttributesExA and FindFirstFileA calls
    int fileReads = 0;    // CreateFileA calls that succeeded
    int targetLooks = 0;  // ExamineTarget calls
    int fileIdReads = 0;  // GetProcessFileId and GetFileId calls
    int writes = 0;       // messages written or tried
    int nonZeroWaits = 0;
    int polls = 0;
    plat::DWORD pauseStart = 0;
    int setClassCalls = 0;
    bool stopAsked = false;
    bool holding = false;  // StartProcessStartEvents was called
    plat::DWORD lastError = 0;
    int librariesOutstanding = 0;
    int handlesOutstanding = 0;
    int blocksOutstanding = 0;
    int eventsOutstanding = 0;  // StartProcessStartEvents not yet ended
    int badReleases = 0;        // frees and closes of things not held
};

/// The scripted world; Reset() before each test.
State& World();
void Reset();

/// Calls of World().calls that begin with prefix, in order.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

}  // namespace scripted
