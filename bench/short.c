/* The short-lived programs of bench/hold.sh, and their launcher.
 *
 *   short LIFE_MS FILE STARTED
 * lives LIFE_MS milliseconds, watching its own nice value, then appends one
 * line to FILE: the microseconds from STARTED (the wall clock just before its
 * exec, as seconds with a fraction) to the Low class (nice 10 or more), or -1
 * when it never got there; then those to its own main().
 *
 *   short launch PROGRAM COUNT LIFE_MS FILE IDS
 * starts COUNT copies of PROGRAM 0.1 s apart, appends the ID of each to IDS
 * as it starts it (so that the script can end each by its ID), and waits for
 * them all. With wrap instead of launch, each copy is started as
 * sh -c 'sleep 0.3; exec PROGRAM ...', as wrappers start programs. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long Microseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int Launch(char** argv) {
    const int count = atoi(argv[3]);
    FILE* ids = fopen(argv[6], "a");
    if (!ids) return 1;
    for (int i = 0; i < count; ++i) {
        const pid_t id = fork();
        if (id == 0) {
            char started[32];
            const long long now = Microseconds();
            snprintf(started, sizeof started, "%lld.%06lld", now / 1000000, now % 1000000);
            if (strcmp(argv[1], "wrap") == 0) {
                execl("/bin/sh", "sh", "-c", "sleep 0.3; exec \"$0\" \"$@\"", argv[2], argv[4],
                      argv[5], started, (char*)NULL);
            } else {
                execl(argv[2], argv[2], argv[4], argv[5], started, (char*)NULL);
            }
            _exit(127);
        }
        if (id > 0) {
            fprintf(ids, "%d\n", (int)id);
            fflush(ids);
        }
        const struct timespec pause = {0, 100000000};
        nanosleep(&pause, NULL);
    }
    fclose(ids);
    while (wait(NULL) > 0) {
    }
    return 0;
}

int main(int argc, char** argv) {
    const long long born = Microseconds();
    if (argc == 7 && (strcmp(argv[1], "launch") == 0 || strcmp(argv[1], "wrap") == 0))
        return Launch(argv);
    if (argc != 4) return 2;
    const long long life = atoll(argv[1]) * 1000;
    const long long start = (long long)(atof(argv[3]) * 1e6);
    long long low = -1;
    for (long long now = born; now - born < life; now = Microseconds()) {
        if (low < 0 && getpriority(PRIO_PROCESS, 0) >= 10) low = now - start;
        const struct timespec pause = {0, low < 0 ? 200000 : 10000000};
        nanosleep(&pause, NULL);
    }
    char line[48];
    const int length = snprintf(line, sizeof line, "%lld %lld\n", low, born - start);
    const int file = open(argv[2], O_WRONLY | O_APPEND);
    if (file < 0 || write(file, line, (size_t)length) != length) return 1;
    close(file);
    return 0;
}
