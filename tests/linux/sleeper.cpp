// Test helper: starts as many extra threads as its first argument says,
// writes one line, then sleeps until it is killed.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static void* SleepForever(void*) {
    for (;;)
        pause();
    return nullptr;
}

int main(int argc, char** argv) {
    int threads = argc > 1 ? std::atoi(argv[1]) : 0;
    for (int i = 0; i < threads; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, SleepForever, nullptr) != 0) return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    SleepForever(nullptr);
    return 0;
}
