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

/// Writes the IDs of the running processes into ids, which has room for
/// capacity of them, and their number into *count, reading no name: PSAPI's
/// list on the NT family, a toolhelp snapshot on 95/98. A count of capacity
/// means that the list may have been cut short. 0, without a message, when
/// the list cannot be taken.
std::int32_t ListProcessIds(plat::DWORD* ids, plat::DWORD capacity, plat::DWORD* count);

/// The VDMDBG task callback: passes one task to the context's visitor and
/// asks VDMDBG to stop (TRUE) when the visitor does.
plat::BOOL WINAPI WowTaskAdapter(plat::DWORD threadId, plat::WORD hMod16, plat::WORD hTask16,
                                 char* moduleName, char* fileName, plat::LPARAM userDefined);
