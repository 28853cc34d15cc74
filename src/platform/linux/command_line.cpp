#include "platform/linux/command_line.h"

#include <cstring>

namespace {

int Put(char* words, std::size_t wordsSize, std::size_t* used, char c, std::size_t count) {
    if (count > wordsSize - *used) return 0;
    std::memset(words + *used, c, count);
    *used += count;
    return 1;
}

}  // namespace

int SplitCommandLine(const char* commandLine, char* words, std::size_t wordsSize, char** argv,
                     std::size_t argvCount) {
    if (!commandLine || !words || !argv || wordsSize == 0 || argvCount == 0) return 0;
    const char* p = commandLine;
    std::size_t used = 0;
    std::size_t count = 0;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p) break;
        if (count + 1 >= argvCount) return 0;
        argv[count++] = words + used;
        int quoted = 0;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                std::size_t run = 0;
                while (p[run] == '\\')
                    ++run;
                p += run;
                if (*p != '"') {
                    if (!Put(words, wordsSize, &used, '\\', run)) return 0;
                    continue;
                }
                if (!Put(words, wordsSize, &used, '\\', run / 2)) return 0;
                if (run % 2) {
                    if (!Put(words, wordsSize, &used, '"', 1)) return 0;
                    ++p;
                }
                // An even run leaves the quote to open or close a stretch below.
                continue;
            }
            if (*p == '"') {
                if (quoted && p[1] == '"') {
                    if (!Put(words, wordsSize, &used, '"', 1)) return 0;
                    p += 2;
                    quoted = 0;
                } else {
                    quoted = !quoted;
                    ++p;
                }
                continue;
            }
            if (!Put(words, wordsSize, &used, *p, 1)) return 0;
            ++p;
        }
        if (!Put(words, wordsSize, &used, '\0', 1)) return 0;
    }
    argv[count] = nullptr;
    return 1;
}
