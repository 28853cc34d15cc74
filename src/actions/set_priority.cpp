#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

// A zero-filled copy of at most 255 bytes with A-Z folded; other bytes,
// 0x80-0xFF included, stay as they are whatever the locale.
void FoldedCopy(char (&copy)[kTextSize], const char* text) {
    std::memset(copy, 0, sizeof copy);
    for (int i = 0; i < kTextSize - 1 && text[i]; ++i) {
        char c = text[i];
        copy[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

void ReportFailure(DWORD processId, const char* name, HoldState* hold) {
    if (hold && !NoteHoldFailure(hold, processId, name)) return;
    LogMessage("Error: command to set %.256s priority to %s failed\n", name,
               runOptions.priorityName);
}

// hold is null outside a hold.
void ApplyPriority(DWORD processId, const char* name, HoldState* hold) {
    runOptions.matchedAny = 1;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, processId);
    if (!process) {
        ReportFailure(processId, name, hold);
        return;
    }
    if (hold && IsWhollyInPriorityClass(process, runOptions.priorityClass)) {
        CloseHandle(process);
        return;
    }
    if (SetPriorityClass(process, runOptions.priorityClass)) {
        LogMessage("%.256s priority set to %s\n", name, runOptions.priorityName);
    } else {
        ReportFailure(processId, name, hold);
    }
    CloseHandle(process);
}

}  // namespace

int NameContainsTarget(const char* name, const char* target) {
    char nameCopy[kTextSize];
    char targetCopy[kTextSize];
    FoldedCopy(nameCopy, name);
    FoldedCopy(targetCopy, target);
    return std::strstr(nameCopy, targetCopy) != nullptr;
}

std::int32_t NameMatchVisitor(DWORD processId, DWORD, const char* name, void* userData) {
    if (!name[0]) return 1;
    const int id = static_cast<int>(processId);
    if (!NameContainsTarget(name, runOptions.target)) {
        if (runOptions.verbose) LogMessage("Process %.256s priority unchanged\n", name);
        return 1;
    }
    if (runOptions.verbose) LogMessage("Process(%d) %.256s matches target\n", id, name);
    if (runOptions.allMatches || !runOptions.matchedAny) {
        auto* hold = static_cast<HoldState*>(userData);
        ApplyPriority(processId, name, hold);
        // A stop ends the walk between two changes, never inside one.
        if (hold && WaitForStopRequest(0)) {
            hold->stopRequested = 1;
            return 0;
        }
    } else if (runOptions.verbose) {
        LogMessage("Process(%d) %.256s does not match target\n", id, name);
    }
    return 1;
}

std::int32_t IdMatchVisitor(DWORD processId, DWORD, const char* name, void*) {
    const int id = static_cast<int>(processId);
    if (processId != static_cast<DWORD>(runOptions.processId)) {
        if (runOptions.verbose) LogMessage("Process(%d) %.256s priority unchanged\n", id, name);
        return 1;
    }
    runOptions.matchedAny = 1;
    if (runOptions.verbose) LogMessage("Process(%d) %.256s found\n", id, name);
    ApplyPriority(processId, name, nullptr);
    return 1;
}

std::int32_t SetPriorityByName() { return EnumerateProcesses(NameMatchVisitor, nullptr); }

std::int32_t SetPriorityById() {
    if (runOptions.processId == 0) return 0;
    EnumerateProcesses(IdMatchVisitor, nullptr);
    if (runOptions.matchedAny) return 1;
    LogMessage("Error: Process with ID #%3d not found.\n", static_cast<int>(runOptions.processId));
    return 0;
}
