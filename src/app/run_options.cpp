#include "app/run_options.h"

#include <cstring>

#include "actions/actions.h"

RunOptions runOptions;

const PriorityClass PriorityClassTable[4] = {
    {'N', plat::NORMAL_PRIORITY_CLASS, "Normal", "Normal  "},
    {'L', plat::IDLE_PRIORITY_CLASS, "Low", "Low     "},
    {'H', plat::HIGH_PRIORITY_CLASS, "High", "High    "},
    {'R', plat::REALTIME_PRIORITY_CLASS, "Realtime", "Realtime"},
};

const PriorityClass* FindPriorityClassByLetter(char letter) {
    for (const PriorityClass& entry : PriorityClassTable) {
        if (entry.letter == letter) return &entry;
    }
    return nullptr;
}

const PriorityClass* FindPriorityClassByValue(plat::DWORD value) {
    for (const PriorityClass& entry : PriorityClassTable) {
        if (entry.value == value) return &entry;
    }
    return nullptr;
}

namespace {

char Folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int IsSeparator(char c) { return c == '/' || c == '\\'; }

std::uint64_t RoundedUp(std::uint64_t bytes) { return (bytes + 7) & ~std::uint64_t(7); }

}  // namespace

int MayNamePath(const char* text, std::size_t length) {
    if (!plat::MatchesPathsAsPaths() || (length > 0 && text[0] == '=')) return 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (IsSeparator(text[i])) return 1;
    }
    return 0;
}

int BeginRules(TargetRules* rules, std::size_t rows, std::size_t textBytes, std::size_t pathRows) {
    std::memset(rules, 0, sizeof *rules);
    if (rows > 0x7FFFFFF || pathRows > rows) return 0;
    // Each text is kept twice, as given and folded, each with its terminator.
    const std::uint64_t texts = 2 * (std::uint64_t(textBytes) + rows);
    const std::uint64_t rowBytes = RoundedUp(std::uint64_t(rows) * sizeof(TargetRow));
    const std::uint64_t fileBytes = RoundedUp(std::uint64_t(pathRows) * sizeof(plat::TargetFile));
    // Numbers of the path rows, then of those matched as parts.
    const std::uint64_t numberBytes = 2 * RoundedUp(std::uint64_t(pathRows) * sizeof(int));
    const std::uint64_t indexBytes = PathIndexSize(pathRows);
    const std::uint64_t total = rowBytes + fileBytes + numberBytes + indexBytes + texts;
    if (textBytes > 0x7FFFFFFF || total > 0x7FFFFFFF) return 0;
    char* block = static_cast<char*>(plat::HeapAlloc(plat::GetProcessHeap(), 0, total ? total : 1));
    if (!block) return 0;
    rules->block = block;
    rules->rows = reinterpret_cast<TargetRow*>(block);
    rules->capacity = static_cast<int>(rows);
    rules->pathCapacity = static_cast<int>(pathRows);
    rules->files = reinterpret_cast<plat::TargetFile*>(block + rowBytes);
    rules->pathRows = reinterpret_cast<int*>(block + rowBytes + fileBytes);
    rules->partRows = rules->pathRows + numberBytes / 2 / sizeof(int);
    BeginPathIndex(&rules->paths, block + rowBytes + fileBytes + numberBytes, pathRows);
    rules->texts = block + rowBytes + fileBytes + numberBytes + indexBytes;
    rules->textSize = texts;
    return 1;
}

int AddRule(TargetRules* rules, const char* text, std::size_t length,
            const PriorityClass* priority) {
    if (length == 0 || length > kTextSize - 1) return 0;
    if (plat::MarksLostCharactersInNames() && std::memchr(text, '?', length)) return 0;
    const int name = text[0] == '=';
    if (name && (length == 1 || std::memchr(text, '/', length) || std::memchr(text, '\\', length)))
        return 0;
    if (rules->count == rules->capacity || rules->textUsed + 2 * (length + 1) > rules->textSize)
        return 0;
    TargetRow& row = rules->rows[rules->count];
    std::memset(&row, 0, sizeof row);
    char* copy = rules->texts + rules->textUsed;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    char* folded = copy + length + 1;
    std::size_t used = 0;
    for (std::size_t i = name; i < length; ++i)
        folded[used++] = Folded(text[i]);
    folded[used] = '\0';
    rules->textUsed += 2 * (length + 1);
    row.text = copy;
    row.folded = folded;
    row.priority = priority;
    row.kind = name ? plat::TARGET_NAME : plat::TARGET_PART;
    if (MayNamePath(text, length)) {
        if (rules->pathCount == rules->pathCapacity) return 0;
        row.file = &rules->files[rules->pathCount];
        std::memset(row.file, 0, sizeof *row.file);
        rules->pathRows[rules->pathCount++] = rules->count;
    }
    ++rules->count;
    return 1;
}

int FinishRules(TargetRules* rules) {
    if (rules->count == 0) return 1;
    // The rows that may name a path are looked at again between walks, and
    // tested one by one.
    std::size_t textBytes = 0;
    for (int i = 0; i < rules->count; ++i) {
        if (!rules->rows[i].file) textBytes += std::strlen(rules->rows[i].folded);
    }
    int ok = BeginTargetTable(&rules->table, rules->count - rules->pathCount, textBytes);
    for (int i = 0; ok && i < rules->count; ++i) {
        const TargetRow& row = rules->rows[i];
        if (row.file) continue;
        ok = AddTableRule(&rules->table, i, row.kind == plat::TARGET_NAME ? TABLE_NAME : TABLE_PART,
                          row.folded);
    }
    if (ok && BuildTargetTable(&rules->table)) return 1;
    ReleaseRules(rules);
    return 0;
}

void ReleaseRules(TargetRules* rules) {
    FreeTargetTable(&rules->table);
    if (rules->block) plat::HeapFree(plat::GetProcessHeap(), 0, rules->block);
    std::memset(rules, 0, sizeof *rules);
}
