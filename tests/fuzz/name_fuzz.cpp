// The name match against a plain reference: the whole name, the target cut to
// 255 bytes, only A-Z folded, a naive search. The input is the name, a NUL, then the target.
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/actions.h"

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int Reference(const std::string& name, const std::string& target) {
    const std::string& n = name;
    const std::string t = target.substr(0, 255);
    for (std::size_t at = 0; at + t.size() <= n.size(); ++at) {
        std::size_t i = 0;
        while (i < t.size() && Fold(n[at + i]) == Fold(t[i]))
            ++i;
        if (i == t.size()) return 1;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::size_t split = strnlen(bytes, size);
    const std::string name(bytes, split);
    std::string target;
    if (split < size)
        target.assign(bytes + split + 1, strnlen(bytes + split + 1, size - split - 1));

    // Heap copies of exactly the text and its terminator, so an over-read is seen.
    char* nameCopy = static_cast<char*>(std::malloc(name.size() + 1));
    char* targetCopy = static_cast<char*>(std::malloc(target.size() + 1));
    if (!nameCopy || !targetCopy) std::abort();
    std::memcpy(nameCopy, name.c_str(), name.size() + 1);
    std::memcpy(targetCopy, target.c_str(), target.size() + 1);
    const int got = NameContainsTarget(nameCopy, targetCopy);
    std::free(nameCopy);
    std::free(targetCopy);
    if ((got != 0) != (Reference(name, target) != 0)) std::abort();
    return 0;
}
