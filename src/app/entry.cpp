#include "app/entry.h"

#include <cstdio>
#include <cstring>

#include "actions/actions.h"
#include "app/log_message.h"
#include "app/rules_file.h"
#include "app/run_options.h"
#include "platform/platform.h"

namespace {

const char kProgramName[] = "Hoister.exe";

// A delay or hold longer than this does not fit a 32-bit millisecond count.
const std::int64_t kMaxDelaySeconds = 4294967;

// Reads a number as the C library's decimal conversion does (leading white
// space, an optional sign, digits up to the first non-digit; no digits reads
// as 0), but fails instead of wrapping when it does not fit 32 bits.
int ReadNumber(const char* text, std::int32_t* value) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    std::int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > std::int64_t(INT32_MAX) + 1) return 0;
    }
    std::int64_t number = negative ? -magnitude : magnitude;
    if (number > INT32_MAX) return 0;
    *value = static_cast<std::int32_t>(number);
    return 1;
}

// -d and -w: 1 to kMaxDelaySeconds.
int ReadSeconds(const char* text, std::int32_t* seconds) {
    std::int32_t number = 0;
    if (!ReadNumber(text, &number) || number <= 0 || number > kMaxDelaySeconds) return 0;
    *seconds = number;
    return 1;
}

// Applies one option word. Returns 1 to go on, 0 for a parameter error.
// -h is handled by the caller.
int ParseOption(const char* word, char letter) {
    std::int32_t number = 0;
    switch (letter) {
        case '#':
            if (!ReadNumber(word + 2, &number) || number == 0) return 0;
            // The 95/98 listing shows IDs negated; take them back the same way.
            runOptions.processId =
                runOptions.platformId == plat::VER_PLATFORM_WIN32_NT
                    ? number
                    : static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(number));
            return 1;
        case 'A':
            runOptions.allMatches = 1;
            return 1;
        case 'D':
            return ReadSeconds(word + 2, &runOptions.delaySeconds);
        case 'F':
            runOptions.forceLaunch = 1;
            return 1;
        case 'L':
            runOptions.listProcesses = 1;
            return 1;
        case 'P': {
            const PriorityClass* entry =
                FindPriorityClassByLetter(static_cast<char>(word[2] & ~0x20));
            if (!entry) return 0;
            runOptions.priorityClass = entry->value;
            std::snprintf(runOptions.priorityName, sizeof runOptions.priorityName, "%s",
                          entry->name);
            return 1;
        }
        case 'Q':
            runOptions.quiet = 1;
            return 1;
        case 'S':
            runOptions.launchIfMissing = 1;
            return 1;
        case 'V':
            runOptions.verbose = 1;
            return 1;
        case 'W':
            return ReadSeconds(word + 2, &runOptions.holdSeconds);
        default:
            return 0;
    }
}

// Appends word to a terminated text of kTextSize bytes; 0, with the text
// unchanged, when it does not fit.
int AppendWhole(char* text, const char* word) {
    const std::size_t used = std::strlen(text);
    const std::size_t length = std::strlen(word);
    if (used + length > kTextSize - 1) return 0;
    std::memcpy(text + used, word, length + 1);
    return 1;
}

int IsOption(const char* word) {
    return word[0] && std::strchr(plat::OptionPrefixes(), word[0]) != nullptr;
}

// Room for the targets of the command line, from its first target on: each
// later word may be one. 0 when memory is exhausted.
int BeginCommandLineRules(int count, char* words[]) {
    std::size_t textBytes = 0, pathRows = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t length = std::strlen(words[i]);
        textBytes += length;
        pathRows += MayNamePath(words[i], length);
    }
    return BeginRules(&runOptions.rules, static_cast<std::size_t>(count), textBytes, pathRows);
}

// Where a "?" stands for a character that the ANSI code page lacks, a
// target that holds one would match other names that lost theirs (AddRule
// refuses it).
int TakeTarget(const char* word, const PriorityClass* priority) {
    return AddRule(&runOptions.rules, word, std::strlen(word), priority);
}

// With -w, the words after the target are more targets, each given the class
// of the class option before it. A word that looks like an option is exactly
// a class option (-plx or /program is a mistake, not Low or Realtime), and
// two in a row would give the first to nothing. Returns 0 for a parameter
// error.
int TakeHeldWord(const char* word, const PriorityClass** priority, int afterClass) {
    if (IsOption(word)) {
        if (afterClass || (word[1] | 0x20) != 'p' || !word[2] || word[3]) return 0;
        *priority = FindPriorityClassByLetter(static_cast<char>(word[2] & ~0x20));
        return *priority != nullptr;
    }
    // An empty target would match every process.
    return word[0] && TakeTarget(word, *priority);
}

// The target and its arguments are taken whole or not at all: a cut target
// names another program (or, by name, other processes), and a launch without
// some of its arguments does something else. Returns 0 for a parameter error.
int TakeNonOptionWord(const char* word) {
    if (!runOptions.targetGiven) {
        runOptions.targetGiven = 1;
        // A hold of nothing is a mistake, as an empty later target is.
        if (runOptions.holdSeconds > 0 && !word[0]) return 0;
        if (!AppendWhole(runOptions.target, word)) return 0;
        // The rules file stands for every target, and names no program to start.
        if (word[0] == '@') {
            runOptions.rulesFile = word + 1;
            return word[1] && runOptions.processId == 0 && !runOptions.forceLaunch &&
                   !runOptions.launchIfMissing;
        }
        // A launch needs a path, not a file name alone.
        if (word[0] == '=' && (runOptions.forceLaunch || runOptions.launchIfMissing)) return 0;
        if (runOptions.forceLaunch)
            return !plat::MarksLostCharactersInNames() || !std::strchr(word, '?');
        // An empty target is no rule: the run then says that none was given.
        if (!word[0]) return 1;
        return TakeTarget(word, FindPriorityClassByValue(runOptions.priorityClass));
    }
    char* args = runOptions.targetArgs;
    const std::size_t used = std::strlen(args);
    if (!AppendWhole(args, " ")) return 0;
    const int fits = plat::LaunchSplitsCommandLine() ? AppendCommandLineWord(args, kTextSize, word)
                                                     : AppendWhole(args, word);
    if (!fits) args[used] = '\0';
    return fits;
}

// A hold stopped before its first round.
int HoldStopped() {
    plat::NoteHoldStopped();
    return 1;
}

int Run(int argc, char* argv[]) {
    LogMessage("%s v1.4: launches programs and changes the priority class of processes\n",
               kProgramName);
    LogMessage("Home page: see the README that comes with %s\n", kProgramName);

    if (argc < 2) {
        PrintUsage(kProgramName);
        return 1;
    }

    plat::OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!plat::GetVersionExA(&version)) {
        LogMessage("Error: could not determine Operating System\n");
        return 0;
    }
    runOptions.platformId = version.dwPlatformId;

    std::snprintf(runOptions.priorityName, sizeof runOptions.priorityName, "%s", "High");
    std::memset(runOptions.target, 0, sizeof runOptions.target);
    std::memset(runOptions.targetArgs, 0, sizeof runOptions.targetArgs);
    std::memset(&runOptions.rules, 0, sizeof runOptions.rules);
    runOptions.rulesFile = nullptr;

    // With -w, from the target on: the class of the next target.
    const PriorityClass* heldPriority = nullptr;
    const char* classLast = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        const bool option = !runOptions.targetGiven && IsOption(word);
        char letter = option ? word[1] : '\0';
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        if (option && letter == 'H') {
            PrintUsage(kProgramName);
            return 0;
        }
        if (!runOptions.targetGiven && !option && word[0] != '@' && !runOptions.forceLaunch &&
            !BeginCommandLineRules(argc - i, argv + i)) {
            LogMessage("Error: not enough memory for %d targets\n", argc - i);
            return 0;
        }
        // Nothing follows the rules file.
        const int taken = runOptions.rulesFile ? 0
                          : heldPriority ? TakeHeldWord(word, &heldPriority, classLast != nullptr)
                          : option       ? ParseOption(word, letter)
                                         : TakeNonOptionWord(word);
        if (!taken) {
            LogMessage("Error: Parameter %.256s not understood\n\n", word[0] ? word : "\"\"");
            PrintUsage(kProgramName);
            return 0;
        }
        if (heldPriority) classLast = IsOption(word) ? word : nullptr;
        if (runOptions.holdSeconds > 0 && runOptions.targetGiven && !heldPriority)
            heldPriority = FindPriorityClassByValue(runOptions.priorityClass);
    }
    // A class option after the last target would give its class to nothing.
    if (classLast) {
        LogMessage("Error: Parameter %.256s not understood\n\n", classLast);
        PrintUsage(kProgramName);
        return 0;
    }

    if (runOptions.holdSeconds > 0 &&
        (runOptions.processId != 0 || runOptions.forceLaunch || runOptions.launchIfMissing)) {
        LogMessage(
            "Error: -w holds a class on processes matched by name; it cannot be used with -#, -f "
            "or -s\n\n");
        PrintUsage(kProgramName);
        return 0;
    }

    // A file that cannot be used stops the run before anything is done.
    if (runOptions.rulesFile && !LoadRulesFile()) return 0;
    const int targets = runOptions.rules.count;
    if (!runOptions.rulesFile && !FinishRules(&runOptions.rules)) {
        LogMessage("Error: not enough memory for %d targets\n", targets);
        return 0;
    }

    // A hold is stopped with status 1 from here on, the listing and the delay
    // included; a one-shot run keeps the system's default for the signals.
    const bool holding = runOptions.holdSeconds > 0 && runOptions.target[0];
    if (holding && plat::WaitForStopRequest(0)) return HoldStopped();
    if (runOptions.listProcesses) ListProcesses();
    const plat::DWORD delay = static_cast<plat::DWORD>(runOptions.delaySeconds) * 1000u;
    if (holding && delay > 0 && plat::WaitForStopRequest(delay)) return HoldStopped();
    if (!holding && delay > 0) plat::Sleep(delay);

    if (runOptions.processId != 0) return SetPriorityById();
    if (runOptions.verbose && runOptions.rulesFile) {
        LogMessage("Rules: %d from %.256s\n", runOptions.rules.count, runOptions.rulesFile);
    } else if (runOptions.verbose) {
        LogMessage("Target: \"%s\"\n", runOptions.target);
        for (int i = 1; i < runOptions.rules.count; ++i)
            LogMessage("Target: \"%s\"\n", runOptions.rules.rows[i].text);
    }
    if (runOptions.forceLaunch) return LaunchTarget();
    // With an empty target the name match would take every process for a
    // match and change the first (or, with -a, all of them): refuse instead.
    if (runOptions.launchIfMissing && runOptions.target[0]) return StartIfNotRunning();
    if (runOptions.target[0])
        return runOptions.holdSeconds > 0 ? HoldPriorityByName() : SetPriorityByName();
    LogMessage("No target specified.\n\n");
    return 0;
}

}  // namespace

// Whatever way the run ends, the rules it loaded are released.
int HoisterMain(int argc, char* argv[]) {
    const int status = Run(argc, argv);
    ReleaseRules(&runOptions.rules);
    return status;
}
