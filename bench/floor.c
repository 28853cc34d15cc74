/* The floor: the least a listing can do per process, in plain C. Reads the
 * /proc directory, then for each process the exe link and the scheduling
 * policy and nice value, and prints one line with stdio. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

int main(void) {
    DIR* proc = opendir("/proc");
    if (!proc) return 1;
    struct dirent* entry;
    while ((entry = readdir(proc)) != NULL) {
        char* end;
        long id = strtol(entry->d_name, &end, 10);
        if (id <= 0 || *end) continue;
        char link[32], path[4096];
        snprintf(link, sizeof link, "/proc/%ld/exe", id);
        ssize_t length = readlink(link, path, sizeof path - 1);
        if (length <= 0) continue;
        path[length] = '\0';
        int policy = sched_getscheduler((pid_t)id);
        errno = 0;
        int nice = getpriority(PRIO_PROCESS, (id_t)id);
        if (policy < 0 || (nice == -1 && errno)) continue;
        printf("%4ld %d %3d %s\n", id, policy, nice, path);
    }
    closedir(proc);
    return 0;
}
