// Test helper: starts as many extra threads as its first argument says,
// writes one line, then sleeps until it is killed. Given "threads" instead,
// it keeps starting threads (some from threads that end right after, some
// that stay); given "processes", it keeps forking children that end soon;
// given "orphan", its main thread ends and one other thread goes on; given
// "short" and milliseconds, it lives that long, then writes its nice value;
// given "workers", it forks 20 children that sleep, without exec, on SIGUSR1.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void* SleepForever(void*) {
    for (;;)
        pause();
    return nullptr;
}

static int Start(void* (*body)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0) return 0;
    pthread_detach(thread);
    return 1;
}

// Each link starts its successor, so new threads also come from threads
// that a class change may not have reached yet.
static void* ChainLink(void*) {
    usleep(500);
    Start(ChainLink);
    return nullptr;
}

static void Ready() {
    std::puts("ready");
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "0";
    if (std::strcmp(mode, "threads") == 0) {
        for (int i = 0; i < 8; ++i)
            if (!Start(ChainLink)) return 1;
        Ready();
        for (int kept = 0;; usleep(1000))
            if (kept < 64 && Start(SleepForever)) ++kept;
    }
    if (std::strcmp(mode, "processes") == 0) {
        Ready();
        for (;; usleep(300)) {
            if (fork() == 0) {
                usleep(2000);
                _exit(0);
            }
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        }
    }
    if (std::strcmp(mode, "workers") == 0) {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
        Ready();
        int signal = 0;
        sigwait(&usr1, &signal);
        for (int i = 0; i < 20; ++i)
            if (fork() == 0) SleepForever(nullptr);
        SleepForever(nullptr);
    }
    if (std::strcmp(mode, "orphan") == 0) {
        if (!Start(SleepForever)) return 1;
        Ready();
        pthread_exit(nullptr);
    }
    if (std::strcmp(mode, "short") == 0 && argc > 2) {
        usleep(std::atoi(argv[2]) * 1000);
        std::printf("%d\n", getpriority(PRIO_PROCESS, 0));
        return 0;
    }
    int threads = std::atoi(mode);
    for (int i = 0; i < threads; ++i)
        if (!Start(SleepForever)) return 1;
    Ready();
    SleepForever(nullptr);
    return 0;
}
