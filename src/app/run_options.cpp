#include "app/run_options.h"

RunOptions runOptions;

const PriorityClass PriorityClassTable[4] = {
    {'N', plat::NORMAL_PRIORITY_CLASS, "Normal", "Normal  "},
    {'L', plat::IDLE_PRIORITY_CLASS, "Low", "Low     "},
    {'H', plat::HIGH_PRIORITY_CLASS, "High", "High    "},
    {'R', plat::REALTIME_PRIORITY_CLASS, "Realtime", "Realtime"},
};

const PriorityClass* FindPriorityClassByLetter(char letter) {
    for (const PriorityClass& entry : PriorityClassTable) {
        if (entry.letter == letter) return &entry;
    }
    return nullptr;
}

const PriorityClass* FindPriorityClassByValue(plat::DWORD value) {
    for (const PriorityClass& entry : PriorityClassTable) {
        if (entry.value == value) return &entry;
    }
    return nullptr;
}
