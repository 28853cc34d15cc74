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

void ReportFailure(DWORD processId, const char* shown, const PriorityClass* priority,
                   HoldState* hold) {
    if (hold && !NoteHoldFailure(hold, processId, shown, priority)) return;
    LogMessage("Error: command to set %.256s priority to %s failed\n", shown, priority->name);
}

// A process that ended between the walk and its change is no match: it is
// passed over in silence (0) and, without -a, leaves the change to the next
// match. hold is null outside a hold.
int ApplyPriority(DWORD processId, const char* shown, const PriorityClass* priority,
                  HoldState* hold) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE, processId);
    if (!process) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) return 0;
        ReportFailure(processId, shown, priority, hold);
        return 1;
    }
    if (hold && IsWhollyInPriorityClass(process, priority->value)) {
        CloseHandle(process);
        return 1;
    }
    const BOOL set = SetPriorityClass(process, priority->value);
    const DWORD error = set ? 0 : GetLastError();
    CloseHandle(process);
    if (!set && error == ERROR_INVALID_PARAMETER) return 0;
    if (set) {
        LogMessage("%.256s priority set to %s\n", shown, priority->name);
    } else {
        ReportFailure(processId, shown, priority, hold);
    }
    return 1;
}

// A rule's one change belongs to the match round that matchRound counts.
int matchRound = 0;

// What a target names is looked at again when its last look is this old.
const DWORD kLookMilliseconds = 250;

// A target named something else at its new look than at an old one that
// judged a later start than the one that took it: that start may have been
// misjudged.
int looksChangedAfterReuse = 0;
// Starts are being judged, one by one, rather than a walk's processes, which
// were all there before the looks that judge them.
int judgingStarts = 0;

int SameLook(const TargetFile& a, const TargetFile& b) {
    return a.kind == b.kind && a.device == b.device && a.inode == b.inode &&
           std::strcmp(a.path, b.path) == 0;
}

// The rows that may name a path are looked at together, and indexed by what
// each names. A look that judged a later start than the one that took it is
// compared with the next.
void LookAtPaths(DWORD now) {
    TargetRules& rules = runOptions.rules;
    ClearPathIndex(&rules.paths);
    rules.partCount = 0;
    for (int i = 0; i < rules.pathCount; ++i) {
        TargetRow& row = rules.rows[rules.pathRows[i]];
        if (rules.lookReused) {
            // Static: a whole path is large for a stack.
            static TargetFile before;
            before = *row.file;
            ExamineTarget(row.text, row.file);
            if (!SameLook(before, *row.file)) looksChangedAfterReuse = 1;
        } else {
            ExamineTarget(row.text, row.file);
        }
        row.kind = row.file->kind;
        if (row.kind == TARGET_PART) {
            rules.partRows[rules.partCount++] = rules.pathRows[i];
        } else {
            AddPathRule(&rules.paths, rules.pathRows[i], row.file);
        }
    }
    rules.lookedAt = now;
    rules.lookReused = 0;
}

// What the targets ask of one process, worked out at most once for all of
// them: its name folded, and the identity of the file it runs.
struct Candidate {
    DWORD processId;
    const char* name;
    int folded;    // 0: not yet; -1: too long to fold here
    int fileRead;  // 0: not yet; -1: cannot be read
    std::uint64_t device;
    std::uint64_t inode;
    char foldedName[LONGEST_PATH];
};

void FoldName(Candidate* candidate) {
    std::size_t i = 0;
    for (; i < LONGEST_PATH - 1 && candidate->name[i]; ++i)
        candidate->foldedName[i] = Folded(candidate->name[i]);
    candidate->foldedName[i] = '\0';
    candidate->folded = candidate->name[i] ? -1 : 1;
}

// The lowest rule of the table that the process matches, or -1. Its file
// name is what follows the last separator; on Linux a program whose file was
// removed or replaced since its start has " (deleted)" after it, and still
// runs under that name.
int FirstTableRuleOf(const char* path) {
    const char* fileName = path;
    const char* end = path;
    for (; *end; ++end) {
        if (*end == '/' || *end == '\\') fileName = end + 1;
    }
    const TargetTable& table = runOptions.rules.table;
    const std::size_t length = static_cast<std::size_t>(end - fileName);
    int first = FirstTableRule(&table, path, fileName, length);
    const std::size_t deleted = sizeof " (deleted)" - 1;
    if (length > deleted && std::strcmp(end - deleted, " (deleted)") == 0) {
        const int running = FirstTableRule(&table, "", fileName, length - deleted);
        if (running >= 0 && (first < 0 || running < first)) first = running;
    }
    return first;
}

int ReadProcessFile(Candidate* candidate) {
    if (!candidate->fileRead) {
        candidate->fileRead =
            GetProcessFileId(candidate->processId, &candidate->device, &candidate->inode) ? 1 : -1;
    }
    return candidate->fileRead == 1;
}

// The path a process reports is the one in its own view of the files, which
// a user may make up with a mount namespace of their own: it counts only
// when it names, in ours, the file that the process runs.
int RunsTheFileAtItsPath(Candidate* candidate) {
    std::uint64_t device = 0, inode = 0;
    return ReadProcessFile(candidate) && GetFileId(candidate->name, &device, &inode) &&
           device == candidate->device && inode == candidate->inode;
}

// A row that may name a path, looked at as a part of names.
int PartMatches(const TargetRow& row, Candidate* candidate) {
    if (!candidate->folded) FoldName(candidate);
    if (candidate->folded < 0) return NameContainsTarget(candidate->name, row.text);
    return std::strstr(candidate->foldedName, row.folded) != nullptr;
}

// 1 when rule is a rule that comes before first (-1: none).
int Before(int rule, int first) { return rule >= 0 && (first < 0 || rule < first); }

// The first target, in the order given, that the process matches; null for
// none. The table gives the first of the rows that never name a path; the
// index of the others, at their last look, gives the first file that the
// process runs and the first path or folder that its path is or lies in;
// the few of them that were parts of names are tested one by one. The path
// counts only when it names the file the process runs, which is asked only
// of a path that would win. What the rows name is looked at again once the
// last look has expired, so that a link flipped or a file installed counts
// within a quarter second, at a cost bounded however fast processes start.
TargetRow* MatchingTarget(DWORD processId, const char* name) {
    TargetRules& rules = runOptions.rules;
    int first = FirstTableRuleOf(name);
    if (rules.pathCount > 0 && Before(rules.pathRows[0], first)) {
        const DWORD now = GetTickCount();
        if (now - rules.lookedAt >= kLookMilliseconds) {
            LookAtPaths(now);
        } else if (judgingStarts) {
            rules.lookReused = 1;
        }
        Candidate candidate;
        candidate.processId = processId;
        candidate.name = name;
        candidate.folded = 0;
        candidate.fileRead = 0;
        for (int i = 0; i < rules.partCount && Before(rules.partRows[i], first); ++i) {
            if (!PartMatches(rules.rows[rules.partRows[i]], &candidate)) continue;
            first = rules.partRows[i];
            break;
        }
        if (Before(rules.paths.firstFile, first) && ReadProcessFile(&candidate)) {
            const int file = FileRuleOf(&rules.paths, candidate.device, candidate.inode);
            if (Before(file, first)) first = file;
        }
        const int path = FirstPathRule(&rules.paths, name);
        if (Before(path, first) && RunsTheFileAtItsPath(&candidate)) first = path;
    }
    return first < 0 ? nullptr : &rules.rows[first];
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

// Only the rows that may name a path are looked at: a round, and a start,
// cost the same whatever the number of other rules.
void ExamineTargets(int now) {
    runOptions.matchedAny = 0;
    ++matchRound;
    judgingStarts = !now;
    if (now) {
        LookAtPaths(GetTickCount());
        // The walk that follows judges every process by these looks.
        looksChangedAfterReuse = 0;
    }
}

int LookAgainAtReusedTargets(DWORD* due) {
    const DWORD now = GetTickCount();
    const TargetRules& rules = runOptions.rules;
    *due = kNoLookDue;
    if (rules.lookReused) {
        const DWORD age = now - rules.lookedAt;
        if (age >= kLookMilliseconds) {
            LookAtPaths(now);
        } else {
            *due = kLookMilliseconds - age;
        }
    }
    const int changed = looksChangedAfterReuse;
    looksChangedAfterReuse = 0;
    return changed;
}

std::int32_t NameMatchVisitor(DWORD processId, DWORD, const char* name, void* userData) {
    if (!name[0]) return 1;
    const int id = static_cast<int>(processId);
    // Hoister never changes itself: installed under the folder it is given,
    // it would take itself for the program and, with -s, start nothing.
    TargetRow* row = processId != GetCurrentProcessId() ? MatchingTarget(processId, name) : nullptr;
    if (!row && !runOptions.verbose) return 1;
    char buffer[kShownNameSize];
    const char* shown = ShownName(name, buffer);
    if (!row) {
        LogMessage("Process %.256s priority unchanged\n", shown);
        return 1;
    }
    if (runOptions.verbose) LogMessage("Process(%d) %.256s matches target\n", id, shown);
    if (runOptions.allMatches || row->matched != matchRound) {
        auto* hold = static_cast<HoldState*>(userData);
        // A stop ends the walk between two changes, never inside one, and
        // nothing is changed once it has been asked.
        if (StopAsked(hold)) return 0;
        if (ApplyPriority(processId, shown, row->priority, hold)) {
            row->matched = matchRound;
            runOptions.matchedAny = 1;
        }
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
    if (ApplyPriority(processId, shown, FindPriorityClassByValue(runOptions.priorityClass),
                      nullptr)) {
        runOptions.matchedAny = 1;
    }
    return 1;
}

std::int32_t SetPriorityByName() {
    ExamineTargets(1);
    return EnumerateProcesses(NameMatchVisitor, nullptr);
}

std::int32_t SetPriorityById() {
    if (runOptions.processId == 0) return 0;
    EnumerateProcesses(IdMatchVisitor, nullptr);
    if (runOptions.matchedAny) return 1;
    LogMessage("Error: Process with ID #%3d not found.\n", static_cast<int>(runOptions.processId));
    return 0;
}
