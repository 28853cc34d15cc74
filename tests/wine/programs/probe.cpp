// A process that reports on itself: appends "<own ID> <class in hex>" to the
// file named by its first argument at start and whenever its class changes,
// so a test reads the class that the system gives it, not a listing. It ends
// after the seconds given as its second argument (default 120), with a last
// "<ID> end" line, so a copy that a test launched ends on its own.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Report(const char* file, const char* what) {
    FILE* out = std::fopen(file, "ab");  // "\n", not "\r\n"
    if (out == nullptr) return;
    std::fprintf(out, "%lu %s\n", static_cast<unsigned long>(GetCurrentProcessId()), what);
    std::fclose(out);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    unsigned long seconds = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 120;
    DWORD reported = 0;
    for (unsigned long tick = 0;; ++tick) {
        DWORD now = GetPriorityClass(GetCurrentProcess());
        if (now != reported) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(now));
            Report(argv[1], text);
            reported = now;
        }
        if (tick >= seconds * 10) break;
        Sleep(100);
    }
    Report(argv[1], "end");
    return 0;
}
