// The rules file's parser against a plain reference on any bytes: the same
// first bad line, or the same rules in the same order, each with its text,
// its folded text and its class; and nothing held after a refusal.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "app/rules_file.h"
#include "scripted/scripted_platform.h"

namespace {

typedef std::pair<std::string, std::string> Rule;  // the target, the class word

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The first bad line, or 0 with the rules in *rules.
int Reference(std::string text, std::vector<Rule>* rules) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line.erase(line.find_last_not_of(" \t\r") + 1);
        line.erase(0, line.find_first_not_of(" \t"));
        if (line.empty() || line[0] == '#') continue;
        const std::size_t blank = line.find_first_of(" \t");
        if (blank == std::string::npos) return number;
        const std::string word = Lower(line.substr(0, blank));
        const std::string target = line.substr(line.find_first_not_of(" \t", blank));
        bool good = (word == "low" || word == "normal" || word == "high" || word == "realtime") &&
                    target.size() <= 255;
        for (char c : target)
            good = good && (static_cast<unsigned char>(c) >= 0x20 || c == '\t');
        if (target[0] == '=')
            good = good && target.size() > 1 && target.find_first_of("/\\") == std::string::npos;
        if (!good) return number;
        rules->push_back({target, word});
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    scripted::Reset();
    // A heap copy of exactly the bytes, so that a read past them is seen.
    const std::vector<char> copy(data, data + size);
    TargetRules rules = {};
    const int got = ParseRules(copy.data(), size, &rules);
    std::vector<Rule> expected;
    if (got != Reference(std::string(copy.begin(), copy.end()), &expected)) std::abort();
    if (got != 0 ? rules.block != nullptr
                 : static_cast<std::size_t>(rules.count) != expected.size())
        std::abort();
    for (int i = 0; got == 0 && i < rules.count; ++i) {
        const TargetRow& row = rules.rows[i];
        const std::string& want = expected[i].first;
        if (row.text != want || Lower(row.priority->name) != expected[i].second ||
            row.folded != Lower(want.substr(want[0] == '=' ? 1 : 0)))
            std::abort();
    }
    ReleaseRules(&rules);
    if (scripted::World().blocksOutstanding != 0) std::abort();
    return 0;
}
