#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

char Folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// In a hold, 1 when a stop has been asked.
int StopAsked(HoldState* hold) {
    if (!hold || !WaitForStopRequest(0)) return 0;
    hold->stopRequested = 1;
    return 1;
}

void ReportFailure(DWORD processId, const char* shown, HoldState* hold) {
    if (hold && !NoteHoldFailure(hold, processId, shown)) return;
    LogMessage("Error: command to set %.256s priority to %s failed\n", shown,
               runOptions.priorityName);
}

// A process that ended between the walk and its change is no match: it is
// passed over in silence and, without -a, leaves the change to the next
// match. hold is null outside a hold.
void ApplyPriority(DWORD processId, const char* shown, HoldState* hold) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, processId);
    if (!process) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) return;
        runOptions.matchedAny = 1;
        ReportFailure(processId, shown, hold);
        return;
    }
    if (hold && IsWhollyInPriorityClass(process, runOptions.priorityClass)) {
        CloseHandle(process);
        runOptions.matchedAny = 1;
        return;
    }
    const BOOL set = SetPriorityClass(process, runOptions.priorityClass);
    const DWORD error = set ? 0 : GetLastError();
    CloseHandle(process);
    if (!set && error == ERROR_INVALID_PARAMETER) return;
    runOptions.matchedAny = 1;
    if (set) {
        LogMessage("%.256s priority set to %s\n", shown, runOptions.priorityName);
    } else {
        ReportFailure(processId, shown, hold);
    }
}

}  // namespace

const char* ShownName(const char* name, char (&shown)[kShownNameSize]) {
    if (!MarksControlBytesInNames()) return name;
    int i = 0;
    for (const char* at = name; i < kShownNameSize - 1 && *at; ++i, ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        const unsigned char next = static_cast<unsigned char>(at[1]);
        // A C1 control in UTF-8 takes two bytes and gets one mark.
        const bool c1 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
        shown[i] = c < 0x20 || c == 0x7F || c1 ? '?' : *at;
        if (c1) ++at;
    }
    shown[i] = '\0';
    return shown;
}

int NameContainsTarget(const char* name, const char* target) {
    for (;; ++name) {
        int i = 0;
        while (i < kTextSize - 1 && target[i] && Folded(name[i]) == Folded(target[i]))
            ++i;
        if (i == kTextSize - 1 || !target[i]) return 1;
        if (!*name) return 0;
    }
}

std::int32_t NameMatchVisitor(DWORD processId, DWORD, const char* name, void* userData) {
    if (!name[0]) return 1;
    const int id = static_cast<int>(processId);
    BOOL runsFile = FALSE;
    const bool named = MatchTargetFile(runOptions.target, processId, &runsFile)
                           ? runsFile != FALSE
                           : NameContainsTarget(name, runOptions.target) != 0;
    // Hoister never changes itself: installed under the folder it is given,
    // it would take itself for the program and, with -s, start nothing.
    const bool matches = named && processId != GetCurrentProcessId();
    if (!matches && !runOptions.verbose) return 1;
    char buffer[kShownNameSize];
    const char* shown = ShownName(name, buffer);
    if (!matches) {
        LogMessage("Process %.256s priority unchanged\n", shown);
        return 1;
    }
    if (runOptions.verbose) LogMessage("Process(%d) %.256s matches target\n", id, shown);
    if (runOptions.allMatches || !runOptions.matchedAny) {
        auto* hold = static_cast<HoldState*>(userData);
        // A stop ends the walk between two changes, never inside one, and
        // nothing is changed once it has been asked.
        if (StopAsked(hold)) return 0;
        ApplyPriority(processId, shown, hold);
        if (StopAsked(hold)) return 0;
    } else if (runOptions.verbose) {
        LogMessage("Process(%d) %.256s does not match target\n", id, shown);
    }
    return 1;
}

std::int32_t IdMatchVisitor(DWORD processId, DWORD, const char* name, void*) {
    const int id = static_cast<int>(processId);
    const bool matches = processId == static_cast<DWORD>(runOptions.processId);
    if (!matches && !runOptions.verbose) return 1;
    char buffer[kShownNameSize];
    const char* shown = ShownName(name, buffer);
    if (!matches) {
        LogMessage("Process(%d) %.256s priority unchanged\n", id, shown);
        return 1;
    }
    if (runOptions.verbose) LogMessage("Process(%d) %.256s found\n", id, shown);
    // An ID whose process has ended (or on Linux is a zombie) is not found.
    ApplyPriority(processId, shown, nullptr);
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
