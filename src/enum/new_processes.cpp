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
const int kFirstYoungSlots = 64;
// Where the newest ID moved by at most this much, the IDs in between are
// looked at one by one instead of taking the whole list.
const DWORD kLargestStep = 1024;

struct Nameless {
    DWORD id;
    DWORD since;
};

struct Young {
    DWORD id;
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
    // A listed process started at or before this moment (a list's end, or
    // the moment before the newest ID of a step was read): one under a
    // listed ID that started later holds an ID that was freed and handed out
    // again.
    int listedKnown;
    std::uint64_t listedAt;
    DWORD stepped[2 * kLargestStep];  // the processes new in a step, for the list
    // The kernel hands an ID out before its process shows in /proc: the IDs
    // of the last step that showed no process are looked at once more, with
    // the moment that stood before that step.
    DWORD unseen[kLargestStep];
    DWORD unseenCount;
    std::uint64_t unseenListedAt;
    int execKeepsId;
    Nameless nameless[kNamelessSlots];
    int namelessCount;
    Young* young;  // oldest first; grows when full, and drops the oldest only when it cannot
    int youngCount;
    int youngCapacity;
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
    if (search.youngCount == search.youngCapacity) {
        const int capacity = search.youngCapacity ? search.youngCapacity * 2 : kFirstYoungSlots;
        HANDLE heap = GetProcessHeap();
        auto* young = static_cast<Young*>(HeapAlloc(heap, 0, SIZE_T(capacity) * sizeof(Young)));
        if (young) {
            if (search.young) {
                std::memcpy(young, search.young, SIZE_T(search.youngCount) * sizeof(Young));
                HeapFree(heap, 0, search.young);
            }
            search.young = young;
            search.youngCapacity = capacity;
        } else if (search.youngCount) {
            std::memmove(search.young, search.young + 1,
                         SIZE_T(--search.youngCount) * sizeof(Young));
        } else {
            return;
        }
    }
    Young& entry = search.young[search.youngCount++];
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

int Listed(DWORD processId) {
    const DWORD* last = search.lists[search.last];
    return std::bsearch(&processId, last, search.counts[search.last], sizeof(DWORD), CompareIds) !=
           nullptr;
}

// A listed ID that the system handed out since: new when its process started
// after the list.
int StartedSinceListed(DWORD processId, int listedKnown, std::uint64_t listedAt) {
    std::uint64_t start = 0;
    return listedKnown && GetProcessStartTime(processId, &start) && start > listedAt;
}

// The IDs after from up to newest, past a wrap too.
int HandedOut(DWORD id, DWORD from, DWORD newest) {
    return from < newest ? id > from && id <= newest : id > from || id <= newest;
}

// Where the IDs handed out since the last list are few, only they are looked
// at. The new processes join the last list, which stays right for the next
// list to be compared with. 1; 0 when the visitor returned 0; -1 when the IDs
// cannot be looked at so (the whole list is taken instead); -2 when the list
// could not grow. before: the moment before the newest ID was read.
int Step(DWORD newest, std::uint64_t before, ProcessVisitor visitor, void* userData, DWORD now) {
    DWORD count = 0, unseen = 0;
    for (DWORD k = 0; k < search.unseenCount; ++k) {
        const DWORD id = search.unseen[k];
        BOOL isProcess = FALSE;
        if (IsProcessId(id, &isProcess) && isProcess &&
            (!Listed(id) || StartedSinceListed(id, 1, search.unseenListedAt)))
            search.stepped[count++] = id;
    }
    for (DWORD id = search.newest + 1; id - 1 != newest; ++id) {
        BOOL isProcess = FALSE;
        if (!IsProcessId(id, &isProcess)) return -1;
        if (!isProcess) {
            search.unseen[unseen++] = id;
        } else if (!Listed(id) || StartedSinceListed(id, 1, search.listedAt)) {
            search.stepped[count++] = id;
        }
    }
    search.unseenCount = unseen;
    search.unseenListedAt = search.listedAt;
    const DWORD lastCount = search.counts[search.last];
    while (lastCount + count >= search.capacity) {
        if (!Grow()) {
            search.lastValid = 0;
            return -2;
        }
    }
    if (count) {
        const int next = 1 - search.last;
        const DWORD* last = search.lists[search.last];
        DWORD* merged = search.lists[next];
        DWORD i = 0, j = 0, k = 0;
        while (i < lastCount || j < count) {
            if (j == count || (i < lastCount && last[i] < search.stepped[j])) {
                merged[k++] = last[i++];
            } else {
                if (i < lastCount && last[i] == search.stepped[j]) ++i;
                merged[k++] = search.stepped[j++];
            }
        }
        search.counts[next] = k;
        search.last = next;
    }
    search.newest = newest;
    search.listedAt = before;
    for (DWORD n = 0; n < count; ++n)
        if (!Judge(search.stepped[n], visitor, userData, now)) return 0;
    return 1;
}

// Where no process was created since the last list, the list is not taken.
int TakeNextList(ProcessVisitor visitor, void* userData, DWORD now) {
    std::uint64_t before = 0;
    const int beforeKnown = GetCurrentStartTime(&before) ? 1 : 0;
    DWORD newest = 0;
    const int newestKnown = GetNewestProcessId(&newest) ? 1 : 0;
    const int moveKnown = search.lastValid && newestKnown && search.newestKnown;
    if (moveKnown && newest == search.newest && !search.unseenCount) return 1;
    if (moveKnown && beforeKnown && search.listedKnown && newest >= search.newest &&
        newest - search.newest <= kLargestStep) {
        const int stepped = Step(newest, before, visitor, userData, now);
        if (stepped != -1) return stepped < 0 ? -1 : stepped;
    }
    search.unseenCount = 0;
    const int next = 1 - search.last;
    const int taken = TakeList(next);
    // A list that could not be taken leaves the last one to compare with, so
    // that what starts meanwhile is new to the next list that can be.
    if (taken == 0) return 1;
    if (taken < 0) {
        search.lastValid = 0;
        return -1;
    }
    const int judge = search.lastValid, listedKnown = search.listedKnown;
    const std::uint64_t listedAt = search.listedAt;
    search.listedKnown = GetCurrentStartTime(&search.listedAt) ? 1 : 0;
    const DWORD from = search.newest;
    search.last = next;
    search.lastValid = 1;
    search.newest = newest;
    search.newestKnown = newestKnown;
    if (judge) {
        const DWORD* last = search.lists[1 - next];
        const DWORD lastCount = search.counts[1 - next];
        const DWORD* ids = search.lists[next];
        for (DWORD i = 0, j = 0; i < search.counts[next]; ++i) {
            while (j < lastCount && last[j] < ids[i])
                ++j;
            // An ID in both lists is the same process, unless it was handed
            // out again since (past a wrap too).
            if (j < lastCount && last[j] == ids[i] &&
                !(moveKnown && HandedOut(ids[i], from, newest) &&
                  StartedSinceListed(ids[i], listedKnown, listedAt)))
                continue;
            if (!Judge(ids[i], visitor, userData, now)) return 0;
        }
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
// The ended and the grown-up leave the table as it is read.
int LookAgainAtYoung(ProcessVisitor visitor, void* userData, DWORD now) {
    int kept = 0, k = 0;
    int result = 1;
    for (; k < search.youngCount && result; ++k) {
        Young entry = search.young[k];
        char name[LONGEST_PATH];
        if (now - entry.since >= kYoungMilliseconds || ReadProcessName(entry.id, name) != kNameRead)
            continue;
        const std::uint64_t program = NameHash(name);
        if (program != entry.program) {
            entry.program = program;
            result = visitor(entry.id, 0, name, userData);
        }
        search.young[kept++] = entry;
    }
    if (k < search.youngCount)
        std::memmove(search.young + kept, search.young + k,
                     SIZE_T(search.youngCount - k) * sizeof(Young));
    search.youngCount = kept + search.youngCount - k;
    return result;
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
    search.listedKnown = 0;
    search.unseenCount = 0;
    search.namelessCount = 0;
    search.young = nullptr;
    search.youngCount = search.youngCapacity = 0;
}

void EndNewProcessSearch() {
    if (search.block) HeapFree(GetProcessHeap(), 0, search.block);
    if (search.young) HeapFree(GetProcessHeap(), 0, search.young);
    search.block = nullptr;
    search.young = nullptr;
    search.capacity = 0;
    search.youngCount = search.youngCapacity = 0;
}

void NoteProcessesBeforeRound() { TakeNextList(nullptr, nullptr, GetTickCount()); }

std::int32_t PollNewProcesses(ProcessVisitor visitor, void* userData) {
    const DWORD now = GetTickCount();
    if (!LookAgainAtYoung(visitor, userData, now) || !AskNamelessAgain(visitor, userData, now))
        return 0;
    return TakeNextList(visitor, userData, now);
}
