// How a hold finds new processes where the system tells of no start: sorted
// lists of process IDs, each compared with the one before, and short tables
// of the processes that are looked at again.
#include <cstdlib>
#include <cstring>

#include "enum/enumerate_processes.h"

using namespace plat;

namespace {

const DWORD kFirstCapacity = 1024;
const DWORD kLargestCapacity = 0x4000000;
// A process that gives no name yet is asked again for this long, then
// counts as seen: the next round judges it as it judges every process. Under
// Wine on a slow machine a program may take more than a second from its ID
// to its path.
const DWORD kNamelessMilliseconds = 5000;
// Wrappers (sh -c, env, nice, nohup, service scripts) exec the program they
// start within moments, under the ID that a poll has already seen.
const DWORD kYoungMilliseconds = 5000;
const int kNamelessSlots = 1024;
const int kYoungSlots = 1024;

struct Nameless {
    DWORD id;
    DWORD since;
};

struct Young {
    DWORD id;  // 0: ended, or out of reach now
    DWORD since;
    std::uint64_t program;  // NameHash of its path
};

struct Search {
    DWORD* block;  // both lists, capacity IDs each
    DWORD capacity;
    DWORD* lists[2];
    DWORD counts[2];
    int last;       // the list that the next one is compared with
    int lastValid;  // 0: the last list could not be taken whole
    int newestKnown;
    DWORD newest;  // the newest ID just before the last list was taken
    int execKeepsId;
    Nameless nameless[kNamelessSlots];
    int namelessCount;
    Young young[kYoungSlots];  // a ring, oldest first; when full, the oldest makes room
    int youngFirst;
    int youngCount;
};
Search search;

int CompareIds(const void* a, const void* b) {
    const DWORD x = *static_cast<const DWORD*>(a), y = *static_cast<const DWORD*>(b);
    return x < y ? -1 : x > y;
}

// Doubles both lists, keeping the last one; 0 when memory is exhausted.
int Grow() {
    if (search.capacity >= kLargestCapacity) return 0;
    const DWORD capacity = search.capacity ? search.capacity * 2 : kFirstCapacity;
    HANDLE heap = GetProcessHeap();
    auto* block = static_cast<DWORD*>(HeapAlloc(heap, 0, SIZE_T(2) * capacity * sizeof(DWORD)));
    if (!block) return 0;
    DWORD* lists[2] = {block, block + capacity};
    if (search.block) {
        std::memcpy(lists[search.last], search.lists[search.last],
                    search.counts[search.last] * sizeof(DWORD));
        HeapFree(heap, 0, search.block);
    }
    search.block = block;
    search.capacity = capacity;
    search.lists[0] = lists[0];
    search.lists[1] = lists[1];
    return 1;
}

// Takes a sorted list of IDs into lists[which]: 1; 0 when it cannot be
// taken; -1 when it did not fit and the lists could not grow.
int TakeList(int which) {
    for (;;) {
        DWORD count = 0;
        if (search.capacity) {
            if (!ListProcessIds(search.lists[which], search.capacity, &count)) return 0;
            if (count < search.capacity) {
                std::qsort(search.lists[which], count, sizeof(DWORD), CompareIds);
                search.counts[which] = count;
                return 1;
            }
        }
        if (!Grow()) return -1;
    }
}

void NoteYoung(DWORD processId, const char* name, DWORD now) {
    if (!search.execKeepsId) return;
    if (search.youngCount == kYoungSlots) {
        search.youngFirst = (search.youngFirst + 1) % kYoungSlots;
        --search.youngCount;
    }
    Young& entry = search.young[(search.youngFirst + search.youngCount++) % kYoungSlots];
    entry.id = processId;
    entry.since = now;
    entry.program = NameHash(name);
}

// A new process, visited once its name is known; before a round (no
// visitor) only noted.
int Judge(DWORD processId, ProcessVisitor visitor, void* userData, DWORD now) {
    char name[LONGEST_PATH];
    const int read = ReadProcessName(processId, name);
    if (read == kNameNotYet && search.namelessCount < kNamelessSlots) {
        search.nameless[search.namelessCount].id = processId;
        search.nameless[search.namelessCount++].since = now;
        return 1;
    }
    if (read == kNameRead) NoteYoung(processId, name, now);
    return !visitor || visitor(processId, 0, name, userData);
}

// Where no process was created since the last list, the list is not taken.
int TakeNextList(ProcessVisitor visitor, void* userData, DWORD now) {
    DWORD newest = 0;
    const int newestKnown = GetNewestProcessId(&newest) ? 1 : 0;
    if (search.lastValid && newestKnown && search.newestKnown && newest == search.newest) return 1;
    const int next = 1 - search.last;
    const int taken = TakeList(next);
    // A list that could not be taken leaves the last one to compare with, so
    // that what starts meanwhile is new to the next list that can be.
    if (taken == 0) return 1;
    if (taken < 0) {
        search.lastValid = 0;
        return -1;
    }
    const int judge = search.lastValid;
    search.last = next;
    search.lastValid = 1;
    search.newest = newest;
    search.newestKnown = newestKnown;
    if (!judge) return 1;
    const DWORD* last = search.lists[1 - next];
    const DWORD lastCount = search.counts[1 - next];
    const DWORD* ids = search.lists[next];
    for (DWORD i = 0, j = 0; i < search.counts[next]; ++i) {
        while (j < lastCount && last[j] < ids[i])
            ++j;
        if (j < lastCount && last[j] == ids[i]) continue;
        if (!Judge(ids[i], visitor, userData, now)) return 0;
    }
    return 1;
}

int AskNamelessAgain(ProcessVisitor visitor, void* userData, DWORD now) {
    int kept = 0;
    for (int i = 0; i < search.namelessCount; ++i) {
        const Nameless entry = search.nameless[i];
        char name[LONGEST_PATH];
        const int read = ReadProcessName(entry.id, name);
        if (read == kNameNotYet && now - entry.since < kNamelessMilliseconds) {
            search.nameless[kept++] = entry;
            continue;
        }
        if (read == kNameRead) NoteYoung(entry.id, name, now);
        if (!visitor(entry.id, 0, name, userData)) return 0;
    }
    search.namelessCount = kept;
    return 1;
}

// An exec keeps the ID, which the lists hold already: the paths of the young
// processes are read again, and a changed one is a start.
int LookAgainAtYoung(ProcessVisitor visitor, void* userData, DWORD now) {
    while (search.youngCount) {
        const Young& oldest = search.young[search.youngFirst];
        if (oldest.id && now - oldest.since < kYoungMilliseconds) break;
        search.youngFirst = (search.youngFirst + 1) % kYoungSlots;
        --search.youngCount;
    }
    for (int k = 0; k < search.youngCount; ++k) {
        Young& entry = search.young[(search.youngFirst + k) % kYoungSlots];
        char name[LONGEST_PATH];
        if (!entry.id) continue;
        if (ReadProcessName(entry.id, name) != kNameRead) {
            entry.id = 0;
            continue;
        }
        const std::uint64_t program = NameHash(name);
        if (program == entry.program) continue;
        entry.program = program;
        if (!visitor(entry.id, 0, name, userData)) return 0;
    }
    return 1;
}

}  // namespace

std::uint64_t NameHash(const char* name) {
    std::uint64_t hash = 14695981039346656037ull;
    for (; *name; ++name) {
        hash ^= static_cast<unsigned char>(*name);
        hash *= 1099511628211ull;
    }
    return hash;
}

void BeginNewProcessSearch() {
    search.block = nullptr;
    search.capacity = 0;
    search.counts[0] = search.counts[1] = 0;
    search.last = 0;
    search.lastValid = 0;
    search.newestKnown = 0;
    search.execKeepsId = ExecKeepsProcessId() ? 1 : 0;
    search.namelessCount = 0;
    search.youngFirst = search.youngCount = 0;
}

void EndNewProcessSearch() {
    if (search.block) HeapFree(GetProcessHeap(), 0, search.block);
    search.block = nullptr;
    search.capacity = 0;
}

void NoteProcessesBeforeRound() { TakeNextList(nullptr, nullptr, GetTickCount()); }

std::int32_t PollNewProcesses(ProcessVisitor visitor, void* userData) {
    const DWORD now = GetTickCount();
    if (!LookAgainAtYoung(visitor, userData, now) || !AskNamelessAgain(visitor, userData, now))
        return 0;
    return TakeNextList(visitor, userData, now);
}
