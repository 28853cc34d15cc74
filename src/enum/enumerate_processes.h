// The one place that knows how running processes are found.
#pragma once

#include "platform/platform.h"

/// Called once per process, and on the NT family once per 16-bit task right
/// after the virtual DOS machine that hosts it (then processId is the host's
/// and task16 the task's handle; 0 for a process). name is never null and is
/// valid only during the call. Returning 0 stops the walk.
typedef std::int32_t (*ProcessVisitor)(plat::DWORD processId, plat::DWORD task16, const char* name,
                                       void* userData);

/// What the walk hands to VDMEnumTaskWOWEx for one virtual DOS machine.
struct WowEnumContext {
    plat::DWORD vdmProcessId;
    ProcessVisitor visitor;
    void* userData;
    int stopRequested;
};

/// Visits every process (and 16-bit task) with the mechanism of the running
/// platform family. Returns 1 when the walk ran, also when a visitor stopped
/// it; 0 after printing the one line that says why it could not run, in
/// which case no visitor was called.
std::int32_t EnumerateProcesses(ProcessVisitor visitor, void* userData);

/// Visits the one process with this ID, with its name read as the walk reads
/// it (its 16-bit tasks are not visited), if it is still there. 0, without a
/// message and without a visit, when the walk's functions cannot be used.
std::int32_t VisitProcess(plat::DWORD processId, ProcessVisitor visitor, void* userData);

/// What ReadProcessName found.
const int kNameRead = 1;     // the name holds the process's path
const int kNameNotYet = 0;   // none for now: the process may still be starting, or have ended
const int kNameDenied = -1;  // none, ever: the process may not be opened to read it
/// Reads the path of the one process with this ID as the walk reads it, into
/// name (the empty name unless it was read).
int ReadProcessName(plat::DWORD processId, char (&name)[plat::LONGEST_PATH]);

/// Loads the libraries of the walk of the running platform family (PSAPI,
/// VDMDBG and Kernel32's fallback; toolhelp on 95/98) and keeps them for
/// every walk, list and name read until ReleaseWalkLibraries, so that a hold
/// loads them once. 0, without a message, when they cannot be loaded: each
/// call then loads its own.
std::int32_t KeepWalkLibraries();
/// Releases what KeepWalkLibraries loaded.
void ReleaseWalkLibraries();

/// Writes the IDs of the running processes into ids, which has room for
/// capacity of them, and their number into *count, reading no name: PSAPI's
/// list on the NT family, a toolhelp snapshot on 95/98. A count of capacity
/// means that the list may have been cut short. 0, without a message, when
/// the list cannot be taken.
std::int32_t ListProcessIds(plat::DWORD* ids, plat::DWORD capacity, plat::DWORD* count);

/// A 64-bit hash of a name (FNV-1a), where a few bytes must tell one name
/// from another.
std::uint64_t NameHash(const char* name);

/// Finding new processes where the system tells of no start: a hold takes
/// the list of process IDs before each round and between its rounds, and
/// looks at the processes that are new in it. Nothing is allocated before
/// the first list; the lists grow with the system, never per list, and are
/// released by EndNewProcessSearch.
void BeginNewProcessSearch();
void EndNewProcessSearch();
/// Takes the list before a round: the round judges every process, so what
/// is new in the list is only noted, for the later polls to look at again.
void NoteProcessesBeforeRound();
/// One poll: visits each process that the last list did not hold, once its
/// name is known; a process that gives none yet is asked again at the next
/// polls for a few seconds, then visited with the empty name, and one that
/// may not be opened at all is visited so at once. Where a process may run
/// another program under its ID (plat::ExecKeepsProcessId), each process
/// first seen within the last few seconds is visited again when its path has
/// changed. No list is taken while plat::GetNewestProcessId tells that no
/// process was created since the last one, and where it tells of a few new
/// IDs, only they are looked at (plat::IsProcessId). Returns 1; 0 when the
/// visitor returned 0; -1 when the list could not be taken whole, so that a
/// round must judge every process.
std::int32_t PollNewProcesses(ProcessVisitor visitor, void* userData);

/// The VDMDBG task callback: passes one task to the context's visitor and
/// asks VDMDBG to stop (TRUE) when the visitor does.
plat::BOOL WINAPI WowTaskAdapter(plat::DWORD threadId, plat::WORD hMod16, plat::WORD hTask16,
                                 char* moduleName, char* fileName, plat::LPARAM userDefined);
