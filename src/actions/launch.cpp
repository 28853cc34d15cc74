#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

void BuildCommandLine(char* commandLine, const char* target, const char* targetArgs) {
    // Unquoted, "C:\Program Files\x.exe" would start C:\Program.exe if one
    // existed: quote a target with a blank so that exactly it is started.
    const char* quote = std::strpbrk(target, " \t") ? "\"" : "";
    std::snprintf(commandLine, kCommandLineSize, "%s%.255s%s %.255s", quote, target, quote,
                  targetArgs);
}

std::int32_t LaunchTarget() {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);

    char commandLine[kCommandLineSize];
    BuildCommandLine(commandLine, runOptions.target, runOptions.targetArgs);

    const DWORD flags = runOptions.priorityClass | CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &info)) {
        LogMessage("Error: Failed to create: \"%s\"\n", runOptions.target);
        return 0;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    LogMessage("Created: \"%s %s\"\n", runOptions.target, runOptions.targetArgs);
    return 1;
}

std::int32_t StartIfNotRunning() {
    if (!EnumerateProcesses(NameMatchVisitor, nullptr)) return 0;
    if (runOptions.matchedAny) return 1;
    return LaunchTarget();
}
