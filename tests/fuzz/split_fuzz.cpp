// The command line splitter: words quoted as the launch quotes them come back
// unchanged, and any bytes at all, with small or large buffers, stay in bounds.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "platform/linux/command_line.h"

namespace {

// The launch's own quoting, into a buffer that always has room.
std::string Quote(const std::string& word) {
    std::vector<char> text(2 * word.size() + 3, '\0');
    if (!AppendCommandLineWord(text.data(), text.size(), word.c_str())) std::abort();
    return text.data();
}

// Splits into exactly sized buffers, so that ASan sees every stray access.
int Split(const std::string& line, std::size_t wordsSize, std::size_t argvCount,
          std::vector<std::string>* out) {
    std::vector<char> words(wordsSize);
    std::vector<char*> argv(argvCount);
    if (!SplitCommandLine(line.c_str(), words.data(), wordsSize, argv.data(), argvCount)) return 0;
    out->clear();
    for (char** p = argv.data(); *p; ++p)
        out->push_back(*p);
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // The input's NUL-separated pieces as words, quoted and joined.
    std::vector<std::string> words;
    std::string line;
    std::size_t wordBytes = 0;
    for (std::size_t start = 0; start <= size;) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = size;
        words.push_back(bytes.substr(start, end - start));
        line += (start ? " " : "") + Quote(words.back());
        wordBytes += end - start + 1;
        start = end + 1;
    }
    std::vector<std::string> back;
    if (!Split(line, wordBytes, words.size() + 1, &back) || back != words) std::abort();

    // The raw bytes as a command line: large buffers always suffice, and a
    // small buffer either fails or gives the same words.
    const std::string raw = bytes.substr(0, bytes.find('\0'));
    std::vector<std::string> large, small;
    if (!Split(raw, raw.size() + 1, raw.size() / 2 + 2, &large)) std::abort();
    std::size_t smallWords = size ? data[0] % 24 + 1 : 1;
    std::size_t smallArgv = size > 1 ? data[1] % 5 + 1 : 1;
    if (Split(raw, smallWords, smallArgv, &small) && small != large) std::abort();
    return 0;
}
