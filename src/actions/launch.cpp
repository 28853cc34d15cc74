#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/run_options.h"
#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

int Put(char* text, std::size_t size, std::size_t* at, char c, int count) {
    for (; count > 0; --count) {
        if (*at + 1 >= size) return 0;
        text[(*at)++] = c;
    }
    return 1;
}

}  // namespace

int AppendCommandLineWord(char* text, std::size_t size, const char* word) {
    // Unquoted, "C:\Program Files\x.exe" would start C:\Program.exe if one
    // existed, and a name with a double quote (possible on Linux) would lose
    // it. Inside quotes, a backslash counts only in front of a quote: double
    // such runs and escape the quote itself, the closing one included.
    const std::size_t start = std::strlen(text);
    std::size_t at = start;
    const bool quoted = !word[0] || std::strpbrk(word, " \t\"") != nullptr;
    int backslashes = 0;
    int fits = !quoted || Put(text, size, &at, '"', 1);
    for (const char* c = word; fits && *c; ++c) {
        if (*c == '"') fits = Put(text, size, &at, '\\', backslashes + 1);
        backslashes = *c == '\\' ? backslashes + 1 : 0;
        fits = fits && Put(text, size, &at, *c, 1);
    }
    if (quoted)
        fits = fits && Put(text, size, &at, '\\', backslashes) && Put(text, size, &at, '"', 1);
    text[fits ? at : start] = '\0';
    return fits;
}

void BuildCommandLine(char* commandLine, const char* target, const char* targetArgs) {
    commandLine[0] = '\0';
    AppendCommandLineWord(commandLine, kCommandLineSize, target);
    const std::size_t used = std::strlen(commandLine);
    std::snprintf(commandLine + used, kCommandLineSize - used, " %.255s", targetArgs);
}

std::int32_t LaunchTarget() {
    // A command line that begins with a blank would start its first argument.
    if (!runOptions.target[0]) {
        LogMessage("Error: Failed to create: \"\"\n");
        return 0;
    }
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
    ExamineTargets(1);
    if (!EnumerateProcesses(NameMatchVisitor, nullptr)) return 0;
    if (runOptions.matchedAny) return 1;
    return LaunchTarget();
}
