#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

std::int32_t ListVisitor(DWORD processId, DWORD, const char* name, void*) {
    if (!name[0]) return 1;
    // Kernel entries stay out of the listing; the test is exact and case-sensitive.
    if (std::strstr(name, "KERNEL32.DLL")) return 1;

    const PriorityClass* priority = nullptr;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, processId);
    if (process) {
        priority = FindPriorityClassByValue(GetPriorityClass(process));
        CloseHandle(process);
    }
    if (!priority) return 1;

    char buffer[kShownNameSize];
    const char* shown = ShownName(name, buffer);
    if (runOptions.platformId == VER_PLATFORM_WIN32_NT) {
        LogMessage("%4d %.8s %s\n", static_cast<int>(processId), priority->label, shown);
    } else {
        // Shown negated, the form in which -# takes it on this family.
        LogMessage("%d %.8s %s\n", static_cast<int>(0u - processId), priority->label, shown);
    }
    return 1;
}

void ListProcesses() {
    LogMessage("Current Processes\n\n");
    EnumerateProcesses(ListVisitor, nullptr);
}
