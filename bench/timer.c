/* Times commands side by side: every round runs each command once, in an
 * order rotated per round so that none always follows the same neighbour.
 *
 *   timer ROUNDS LABEL OUTFILE COMMAND... [:: LABEL OUTFILE COMMAND...]...
 *
 * Prints one line per command: label, median and minimum wall time in
 * microseconds, and the largest peak resident set in KiB. A command that
 * exits with status 127 or by a signal is reported and ends the run. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_COMMANDS 16
#define MAX_ROUNDS 101

struct command {
    const char* label;
    const char* out;
    char** argv;
    double micros[MAX_ROUNDS];
    long maxRss;
};

static int compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int run(struct command* c, double* micros) {
    double start = now();
    pid_t id = fork();
    if (id < 0) return 0;
    if (id == 0) {
        int fd = open(c->out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
        execvp(c->argv[0], c->argv);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(id, &status, 0, &usage) != id) return 0;
    *micros = now() - start;
    if (usage.ru_maxrss > c->maxRss) c->maxRss = usage.ru_maxrss;
    if (WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
        fprintf(stderr, "timer: %s failed (status 0x%x)\n", c->label, status);
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    struct command commands[MAX_COMMANDS];
    int count = 0;
    if (argc < 5) {
        fprintf(stderr, "usage: timer ROUNDS LABEL OUTFILE COMMAND... [:: ...]\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    if (rounds < 1 || rounds > MAX_ROUNDS) return 2;
    for (int i = 2; i < argc;) {
        if (count == MAX_COMMANDS || i + 2 >= argc) return 2;
        struct command* c = &commands[count++];
        memset(c, 0, sizeof *c);
        c->label = argv[i];
        c->out = argv[i + 1];
        c->argv = &argv[i + 2];
        int end = i + 2;
        while (end < argc && strcmp(argv[end], "::") != 0)
            ++end;
        if (end < argc) argv[end] = NULL;
        i = end + 1;
    }
    double ignored;
    for (int i = 0; i < count; ++i)
        if (!run(&commands[i], &ignored)) return 1;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < count; ++k) {
            struct command* c = &commands[(k + r) % count];
            if (!run(c, &c->micros[r])) return 1;
        }
    }
    for (int i = 0; i < count; ++i) {
        struct command* c = &commands[i];
        qsort(c->micros, rounds, sizeof c->micros[0], compare);
        printf("%s %.0f %.0f %ld\n", c->label, c->micros[rounds / 2], c->micros[0], c->maxRss);
    }
    return 0;
}
