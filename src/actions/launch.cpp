#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

void BuildCommandLine(char* commandLine, const char* target, const char* targetArgs) {
    // Unquoted, "C:\Program Files\x.exe" would start C:\Program.exe if one
    // existed, and a name with a double quote (possible on Linux) would lose
    // it. Inside quotes, a backslash counts only in front of a quote: double
    // such runs and escape the quote itself, the closing one included.
    const bool quoted = std::strpbrk(target, " \t\"") != nullptr;
    char* out = commandLine;
    int backslashes = 0;
    if (quoted) *out++ = '"';
    for (int i = 0; i < kTextSize - 1 && target[i]; ++i) {
        if (target[i] == '"') {
            for (int k = 0; k < backslashes + 1; ++k)
                *out++ = '\\';
        }
        backslashes = target[i] == '\\' ? backslashes + 1 : 0;
        *out++ = target[i];
    }
    if (quoted) {
        for (; backslashes > 0; --backslashes)
            *out++ = '\\';
        *out++ = '"';
    }
    std::snprintf(out, static_cast<std::size_t>(commandLine + kCommandLineSize - out), " %.255s",
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
