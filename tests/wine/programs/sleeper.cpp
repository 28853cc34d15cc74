// A process for the tests to find and act on: sleeps for the number of
// seconds given as its argument, or until it is killed.
#include <cstdlib>

#include "platform/platform.h"

int main(int argc, char* argv[]) {
    if (argc > 1) {
        unsigned long seconds = std::strtoul(argv[1], nullptr, 10);
        for (; seconds > 0; --seconds)
            plat::Sleep(1000);
        return 0;
    }
    for (;;)
        plat::Sleep(60000);
}
