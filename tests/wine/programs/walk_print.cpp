// Prints what the process walk reports on the system it runs on, one
// "<id> <task16> <name>" line per entry, then "result <n>".
#include <cstdio>

#include "enum/enumerate_processes.h"

namespace {

std::int32_t PrintVisitor(plat::DWORD processId, plat::DWORD task16, const char* name, void*) {
    std::printf("%lu %lu %s\n", static_cast<unsigned long>(processId),
                static_cast<unsigned long>(task16), name);
    return 1;
}

}  // namespace

int main() {
    std::int32_t result = EnumerateProcesses(PrintVisitor, nullptr);
    std::printf("result %d\n", static_cast<int>(result));
    return static_cast<int>(result);
}
