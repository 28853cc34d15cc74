/* Starts N idle processes that wait until killed, then writes their IDs,
 * one a line, to FILE (complete once it exists: it is renamed into place),
 * and waits for them all to end. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    int count = atoi(argv[1]);
    char partial[4096];
    snprintf(partial, sizeof partial, "%s.part", argv[2]);
    FILE* ids = fopen(partial, "w");
    if (!ids) return 1;
    for (int i = 0; i < count; ++i) {
        pid_t id = fork();
        if (id < 0) break;
        if (id == 0) {
            /* A safety net: should the script be killed before it ends them,
             * they end with their parent. */
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == 1) _exit(0);
            for (;;)
                pause();
        }
        fprintf(ids, "%d\n", (int)id);
    }
    if (fclose(ids) != 0 || rename(partial, argv[2]) != 0) return 1;
    while (wait(NULL) > 0 || errno == EINTR) {
    }
    return 0;
}
