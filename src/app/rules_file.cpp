#include "app/rules_file.h"

#include <cstring>

#include "app/log_message.h"

using namespace plat;

namespace {

// Larger than any set of rules that people keep (100,000 rules of 255
// characters fit); a file past it is refused as unreadable.
const DWORD kLargestFile = 64u << 20;
const DWORD kLookMilliseconds = 1000;

int IsBlank(char c) { return c == ' ' || c == '\t'; }

// How the file looked when it was last read or refused.
struct Version {
    int found;
    DWORD attributes;
    FILETIME written;
    FILETIME created;  // Linux: the last status change
    FILETIME inode;    // Linux: the file's identity (a rename brings another)
    DWORD sizeHigh;
    DWORD sizeLow;
};

struct Follow {
    Version seen;
    DWORD lastLook;
};
Follow follow;

int SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

int SameVersion(const Version& a, const Version& b) {
    return a.found == b.found &&
           (!a.found || (a.attributes == b.attributes && SameTime(a.written, b.written) &&
                         SameTime(a.created, b.created) && SameTime(a.inode, b.inode) &&
                         a.sizeHigh == b.sizeHigh && a.sizeLow == b.sizeLow));
}

// One stat: GetFileAttributesExA on the NT family, FindFirstFileA on 95/98,
// where the former may be missing.
Version LookAt(const char* name) {
    Version version;
    std::memset(&version, 0, sizeof version);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (runOptions.platformId == VER_PLATFORM_WIN32_NT) {
        version.found = GetFileAttributesExA(name, GetFileExInfoStandard, &data) != FALSE;
    } else {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA(name, &found);
        version.found = search != INVALID_HANDLE_VALUE;
        if (version.found) {
            FindClose(search);
            // The search's record begins with the same fields.
            std::memcpy(&data, &found, sizeof data);
        }
    }
    if (!version.found) return version;
    version.attributes = data.dwFileAttributes;
    version.written = data.ftLastWriteTime;
    version.created = data.ftCreationTime;
    version.inode = data.ftLastAccessTime;
    version.sizeHigh = data.nFileSizeHigh;
    version.sizeLow = data.nFileSizeLow;
    return version;
}

// Reads the whole file into a heap block of size + 1 bytes; null when it
// cannot be read, or its size is not the one looked at (an edit under way:
// the next look sees its end).
char* ReadWhole(const char* name, const Version& version) {
    if (version.sizeHigh || version.sizeLow > kLargestFile ||
        (version.attributes & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    HANDLE file =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const DWORD size = version.sizeLow;
    char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    DWORD total = 0;
    while (text) {
        DWORD read = 0;
        // One byte more than the size, so that a file that grew is seen.
        if (!ReadFile(file, text + total, size + 1 - total, &read, nullptr) ||
            (read == 0 && total != size) || total + read > size) {
            HeapFree(GetProcessHeap(), 0, text);
            text = nullptr;
        } else if (read == 0) {
            break;
        }
        total += read;
    }
    CloseHandle(file);
    return text;
}

struct Counts {
    std::size_t rows;
    std::size_t textBytes;
    std::size_t pathRows;
};

// One line: blank, a comment, or a class word, blanks, a target. 0 when it
// is none of these; with rules null the rule is only counted.
int TakeLine(const char* line, std::size_t length, Counts* counts, TargetRules* rules) {
    while (length > 0 && (IsBlank(line[length - 1]) || line[length - 1] == '\r'))
        --length;
    std::size_t at = 0;
    while (at < length && IsBlank(line[at]))
        ++at;
    if (at == length || line[at] == '#') return 1;
    const std::size_t wordStart = at;
    while (at < length && !IsBlank(line[at]))
        ++at;
    const PriorityClass* priority = nullptr;
    for (const PriorityClass& entry : PriorityClassTable) {
        const std::size_t size = std::strlen(entry.name);
        if (size != at - wordStart) continue;
        std::size_t i = 0;
        while (i < size && (line[wordStart + i] | 0x20) == (entry.name[i] | 0x20))
            ++i;
        if (i == size) priority = &entry;
    }
    if (!priority || at == length) return 0;
    while (IsBlank(line[at]))
        ++at;
    const char* target = line + at;
    const std::size_t targetLength = length - at;
    // A control byte (a NUL, a lone CR) belongs to no name that can be written here.
    for (std::size_t i = 0; i < targetLength; ++i) {
        if (static_cast<unsigned char>(target[i]) < 0x20 && target[i] != '\t') return 0;
    }
    if (rules) return AddRule(rules, target, targetLength, priority);
    // The checks that AddRule makes, on a one-row table of the stack.
    TargetRow row;
    plat::TargetFile file;
    char texts[2 * kTextSize];
    TargetRules probe;
    std::memset(&probe, 0, sizeof probe);
    probe.rows = &row;
    probe.capacity = 1;
    probe.files = &file;
    int number = 0;
    probe.pathRows = &number;
    probe.pathCapacity = 1;
    probe.texts = texts;
    probe.textSize = sizeof texts;
    if (!AddRule(&probe, target, targetLength, priority)) return 0;
    ++counts->rows;
    counts->textBytes += targetLength;
    counts->pathRows += MayNamePath(target, targetLength);
    return 1;
}

int WalkLines(const char* text, std::size_t size, Counts* counts, TargetRules* rules) {
    std::size_t at = 0;
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) at = 3;
    for (int number = 1; at < size; ++number) {
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
        const std::size_t length = end ? static_cast<std::size_t>(end - text) - at : size - at;
        if (!TakeLine(text + at, length, counts, rules)) return number;
        at += length + 1;
    }
    return 0;
}

const int kUnreadable = -2;
const int kUntrusted = -3;

// Reads the file as it looked in version into loaded, which must be empty:
// 0 when all of it is good, else what ParseRules gives or kUnreadable or
// kUntrusted, with nothing held.
int Load(const char* name, const Version& version, TargetRules* loaded) {
    if (!version.found) return kUnreadable;
    if (!RulesFileTrusted(name)) return kUntrusted;
    char* text = ReadWhole(name, version);
    if (!text) return kUnreadable;
    const int result = ParseRules(text, version.sizeLow, loaded);
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}

// Puts loaded in force, or prints why the file was refused. At a reload,
// -v shows the new count; at start it is shown with the other settings.
int Take(const char* name, int result, const TargetRules* loaded, int reload) {
    if (result > 0) {
        LogMessage("Error: %.256s line %d not understood\n", name, result);
    } else if (result == -1) {
        LogMessage("Error: not enough memory for the rules of %.256s\n", name);
    } else if (result == kUntrusted) {
        LogMessage("Error: %.256s may be changed by users other than root\n", name);
    } else if (result == kUnreadable) {
        LogMessage("Error: could not read %.256s\n", name);
    } else {
        ReleaseRules(&runOptions.rules);
        runOptions.rules = *loaded;
        if (runOptions.verbose && reload)
            LogMessage("Rules: %d from %.256s\n", runOptions.rules.count, name);
        return 1;
    }
    return 0;
}

}  // namespace

int ParseRules(const char* text, std::size_t size, TargetRules* rules) {
    Counts counts = {0, 0, 0};
    const int bad = WalkLines(text, size, &counts, nullptr);
    if (bad) return bad;
    if (counts.rows == 0) return 0;
    if (!BeginRules(rules, counts.rows, counts.textBytes, counts.pathRows)) return -1;
    WalkLines(text, size, &counts, rules);
    return FinishRules(rules) ? 0 : -1;
}

int LoadRulesFile() {
    std::memset(&follow, 0, sizeof follow);
    const char* name = runOptions.rulesFile;
    follow.seen = LookAt(name);
    follow.lastLook = GetTickCount();
    TargetRules loaded;
    std::memset(&loaded, 0, sizeof loaded);
    return Take(name, Load(name, follow.seen, &loaded), &loaded, 0);
}

int FollowRulesFile() {
    const DWORD now = GetTickCount();
    if (!runOptions.rulesFile || now - follow.lastLook < kLookMilliseconds) return 0;
    follow.lastLook = now;
    const char* name = runOptions.rulesFile;
    const Version version = LookAt(name);
    if (SameVersion(version, follow.seen)) return 0;
    TargetRules loaded;
    std::memset(&loaded, 0, sizeof loaded);
    const int result = Load(name, version, &loaded);
    // A file that changed while it was read (an editor still writing) is
    // neither used nor reported: the next look reads what it became.
    if (!SameVersion(LookAt(name), version)) {
        ReleaseRules(&loaded);
        return 0;
    }
    follow.seen = version;
    return Take(name, result, &loaded, 1);
}
