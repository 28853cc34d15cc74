// The target table against the rules taken one by one. The input is pieces
// separated by NUL. A piece's first byte says: bit 0, a name rule rather
// than a part; bit 1, a path only, no rule; bit 2, the rest is spelled in a
// small alphabet, so that texts overlap; bits 3 to 7, the rule's number.
// Every piece's text is also matched as a path. The first byte of the input,
// from 0xF0 on, fails one of the first 16 allocations: the table must then
// say so and hold nothing.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "scripted/scripted_platform.h"

namespace {

std::string Fold(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

struct Rule {
    int number;
    int kind;
    std::string text;
};

int Reference(const std::vector<Rule>& rules, const std::string& path, const std::string& file) {
    int first = -1;
    for (const Rule& rule : rules) {
        const bool matches = rule.kind == TABLE_PART
                                 ? NameContainsTarget(path.c_str(), rule.text.c_str())
                                 : Fold(rule.text.substr(0, 255)) == Fold(file);
        if (matches && (first < 0 || rule.number < first)) first = rule.number;
    }
    return first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char kAlphabet[] = "aAb/\\.\xe9\xc9";
    scripted::Reset();
    std::size_t at = 0;
    if (size > 0 && data[0] >= 0xF0) scripted::World().failAllocation = data[at++] - 0xEF;
    std::vector<Rule> rules;
    std::vector<std::string> paths;
    std::size_t textBytes = 0;
    while (at < size) {
        const std::size_t end = at + strnlen(reinterpret_cast<const char*>(data + at), size - at);
        const std::uint8_t control = data[at];
        std::string text;
        for (std::size_t i = at + 1; i < end; ++i)
            text += control & 4 ? kAlphabet[data[i] & 7] : static_cast<char>(data[i]);
        if (!(control & 2))
            rules.push_back({control >> 3, control & 1, text}), textBytes += text.size();
        paths.push_back(text);
        at = end + 1;
    }

    TargetTable table = {};
    int built = BeginTargetTable(&table, static_cast<int>(rules.size()), textBytes);
    for (const Rule& rule : rules)
        built = built && AddTableRule(&table, rule.number, rule.kind, rule.text.c_str());
    built = built && BuildTargetTable(&table);
    if (!built && (table.built || table.staged || scripted::World().blocksOutstanding))
        std::abort();
    for (const std::string& path : paths) {
        const std::string file = path.substr(path.find_last_of("/\\") + 1);
        // A heap copy of exactly the text and its terminator, so an over-read is seen.
        const std::vector<char> copy(path.c_str(), path.c_str() + path.size() + 1);
        const char* text = copy.data();
        const int got = FirstTableRule(&table, text, text + path.size() - file.size(), file.size());
        if (got != (built ? Reference(rules, path, file) : -1)) std::abort();
    }
    FreeTargetTable(&table);
    if (scripted::World().blocksOutstanding || scripted::World().badReleases) std::abort();
    return 0;
}
