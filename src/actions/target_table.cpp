// The rules of many targets in one table. Parts of names are one automaton
// over their folded texts: a trie whose states are numbered breadth first,
// so that the children of each state are consecutive, with a failure link
// per state and, per state, the lowest rule that ends there or at any state
// its failure links reach; a path is read once, byte by byte. Whole file
// names are an open-addressing hash table. Both live in one heap block.
#include <algorithm>
#include <cstring>

#include "actions/actions.h"

using namespace plat;

namespace {

const std::uint32_t kNone = 0xFFFFFFFFu;  // no rule; above every rule number
const std::size_t kLongestText = 255;
// Beyond this many rules or states the sizes below could overflow a 32-bit
// SIZE_T; a load that large is refused as memory that runs out.
const std::uint32_t kMostStaged = 1u << 24;
const std::uint32_t kMostStates = 1u << 26;

struct StagedRule {
    std::uint32_t rule;
    std::uint32_t offset;  // of the folded text in the staged texts
    unsigned char length;
    unsigned char kind;
};

struct NameSlot {
    std::uint32_t hash;
    std::uint32_t rule;    // kNone: a free slot
    std::uint32_t offset;  // of the folded name in names
    std::uint32_t length;
};

// A state of the automaton, with what a step from it reads side by side.
struct TableState {
    std::uint32_t firstChild;  // its children are the states from here to the next's firstChild
    std::uint32_t fail;
    std::uint32_t best;   // the lowest rule that ends here or where the failure links lead
    unsigned char label;  // the byte that leads here, ascending among siblings
};

}  // namespace

struct TargetTableBuilt {
    std::uint32_t states;     // of the automaton; 0 without parts
    std::uint32_t nameSlots;  // a power of two; 0 without names
    std::uint32_t rootNext[256];
    TableState* state;  // states + 1, the last only for its firstChild
    NameSlot* slots;
    char* names;
};

namespace {

unsigned char Folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

std::uint32_t HashStep(std::uint32_t hash, unsigned char c) { return (hash ^ c) * 16777619u; }
const std::uint32_t kHashStart = 2166136261u;

void* Allocate(std::uint64_t bytes) {
    if (bytes > SIZE_T(-1)) return nullptr;
    return HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(bytes));
}

void Release(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

void ReleaseStaged(TargetTable* table) {
    Release(table->staged);
    table->staged = nullptr;
    table->stagedCount = table->stagedRoom = 0;
    table->textUsed = table->textRoom = 0;
}

// The staging block: the rules as added, room for their sorted order, then
// their folded texts.
StagedRule* StagedRules(const TargetTable* table) {
    return static_cast<StagedRule*>(table->staged);
}
std::uint32_t* StagedOrder(const TargetTable* table) {
    return reinterpret_cast<std::uint32_t*>(StagedRules(table) + table->stagedRoom);
}
char* StagedText(const TargetTable* table) {
    return reinterpret_cast<char*>(StagedOrder(table) + table->stagedRoom);
}

std::uint32_t ChildOf(const TargetTableBuilt* t, std::uint32_t state, unsigned char c) {
    if (state == 0) return t->rootNext[c];
    std::uint32_t lo = t->state[state].firstChild, hi = t->state[state + 1].firstChild;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (t->state[mid].label < c) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo < t->state[state + 1].firstChild && t->state[lo].label == c ? lo : 0;
}

// Builds the trie from the part rules in sorted order. A state's texts are a
// run of that order; while the states are made, fail and best hold the run's
// bounds, which its children's runs replace once it has been made.
void BuildTrie(TargetTableBuilt* t, const StagedRule* staged, const char* text,
               const std::uint32_t* order, std::uint32_t parts) {
    t->state[0].fail = 0;
    t->state[0].best = parts;
    std::uint32_t next = 1, levelEnd = 1, depth = 0;
    for (std::uint32_t s = 0; s < t->states; ++s) {
        if (s == levelEnd) {
            ++depth;
            levelEnd = next;
        }
        std::uint32_t i = t->state[s].fail;
        const std::uint32_t end = t->state[s].best;
        std::uint32_t ending = kNone;
        for (; i < end && staged[order[i]].length == depth; ++i)
            ending = std::min(ending, staged[order[i]].rule);
        t->state[s].best = ending;
        t->state[s].firstChild = next;
        while (i < end) {
            const unsigned char c = text[staged[order[i]].offset + depth];
            std::uint32_t j = i + 1;
            while (j < end &&
                   static_cast<unsigned char>(text[staged[order[j]].offset + depth]) == c)
                ++j;
            t->state[next].label = c;
            t->state[next].fail = i;
            t->state[next].best = j;
            if (s == 0) t->rootNext[c] = next;
            ++next;
            i = j;
        }
    }
    t->state[t->states].firstChild = next;
}

// Failure links in breadth-first order: each link and the best rule it
// reaches are settled before any deeper state needs them.
void LinkFailures(TargetTableBuilt* t) {
    for (std::uint32_t s = 0; s < t->states; ++s) {
        for (std::uint32_t child = t->state[s].firstChild; child < t->state[s + 1].firstChild;
             ++child) {
            std::uint32_t to = 0;
            if (s != 0) {
                for (std::uint32_t f = t->state[s].fail;; f = t->state[f].fail) {
                    to = ChildOf(t, f, t->state[child].label);
                    if (to || f == 0) break;
                }
            }
            t->state[child].fail = to;
            t->state[child].best = std::min(t->state[child].best, t->state[to].best);
        }
    }
}

void FillNames(TargetTableBuilt* t, const StagedRule* staged, std::uint32_t count,
               const char* text) {
    for (std::uint32_t k = 0; k < t->nameSlots; ++k)
        t->slots[k].rule = kNone;
    std::uint32_t used = 0;
    for (std::uint32_t r = 0; r < count; ++r) {
        if (staged[r].kind != TABLE_NAME) continue;
        const char* name = text + staged[r].offset;
        std::uint32_t hash = kHashStart;
        for (std::uint32_t k = 0; k < staged[r].length; ++k)
            hash = HashStep(hash, static_cast<unsigned char>(name[k]));
        for (std::uint32_t k = hash;; ++k) {
            NameSlot& slot = t->slots[k & (t->nameSlots - 1)];
            if (slot.rule == kNone) {
                slot = {hash, staged[r].rule, used, staged[r].length};
                std::memcpy(t->names + used, name, staged[r].length);
                used += staged[r].length;
                break;
            }
            if (slot.hash == hash && slot.length == staged[r].length &&
                std::memcmp(t->names + slot.offset, name, slot.length) == 0) {
                slot.rule = std::min(slot.rule, staged[r].rule);
                break;
            }
        }
    }
}

std::size_t Aligned(std::size_t bytes) { return (bytes + 7) & ~std::size_t(7); }

}  // namespace

int BeginTargetTable(TargetTable* table, int rules, std::size_t textBytes) {
    FreeTargetTable(table);
    const std::uint64_t bytes = (sizeof(StagedRule) + 4) * std::uint64_t(rules) + textBytes;
    table->staged = rules >= 0 && std::uint64_t(rules) <= kMostStaged && textBytes <= 0xFFFFFFFFu
                        ? Allocate(bytes ? bytes : 1)
                        : nullptr;
    if (!table->staged) return 0;
    table->stagedRoom = static_cast<std::uint32_t>(rules);
    table->textRoom = textBytes;
    return 1;
}

int AddTableRule(TargetTable* table, int rule, int kind, const char* text) {
    std::size_t length = 0;
    while (length < kLongestText && text[length])
        ++length;
    if (table->stagedCount == table->stagedRoom || table->textRoom - table->textUsed < length) {
        FreeTargetTable(table);
        return 0;
    }
    StagedRule& staged = StagedRules(table)[table->stagedCount++];
    staged.rule = static_cast<std::uint32_t>(rule);
    staged.offset = static_cast<std::uint32_t>(table->textUsed);
    staged.length = static_cast<unsigned char>(length);
    staged.kind = static_cast<unsigned char>(kind);
    char* folded = StagedText(table);
    for (std::size_t i = 0; i < length; ++i)
        folded[table->textUsed++] = static_cast<char>(Folded(text[i]));
    return 1;
}

int BuildTargetTable(TargetTable* table) {
    Release(table->built);
    table->built = nullptr;
    if (!table->staged) return BeginTargetTable(table, 0, 0) && BuildTargetTable(table);
    const StagedRule* staged = StagedRules(table);
    const char* text = StagedText(table);
    std::uint32_t parts = 0, names = 0;
    std::uint64_t nameBytes = 0;
    for (std::uint32_t r = 0; r < table->stagedCount; ++r) {
        if (staged[r].kind == TABLE_NAME) {
            ++names;
            nameBytes += staged[r].length;
        } else {
            ++parts;
        }
    }
    std::uint32_t* order = StagedOrder(table);
    std::uint32_t k = 0;
    for (std::uint32_t r = 0; r < table->stagedCount; ++r) {
        if (staged[r].kind != TABLE_NAME) order[k++] = r;
    }
    std::sort(order, order + parts, [staged, text](std::uint32_t a, std::uint32_t b) {
        const StagedRule &x = staged[a], &y = staged[b];
        const int sign =
            std::memcmp(text + x.offset, text + y.offset, std::min(x.length, y.length));
        return sign < 0 || (sign == 0 && x.length < y.length);
    });
    // One state per distinct prefix, the empty one included.
    std::uint64_t states = parts ? 1 : 0;
    for (std::uint32_t i = 0; i < parts; ++i) {
        std::uint32_t shared = 0;
        if (i > 0) {
            const StagedRule &x = staged[order[i - 1]], &y = staged[order[i]];
            while (shared < x.length && shared < y.length &&
                   text[x.offset + shared] == text[y.offset + shared])
                ++shared;
        }
        states += staged[order[i]].length - shared;
    }
    std::uint64_t slots = 0;
    if (names) {
        slots = 4;
        while (slots < 2 * std::uint64_t(names))
            slots *= 2;
    }
    const std::uint64_t bytes = Aligned(sizeof(TargetTableBuilt)) + 16 * slots +
                                sizeof(TableState) * (states + 1) + nameBytes;
    auto* t = states <= kMostStates ? static_cast<TargetTableBuilt*>(Allocate(bytes)) : nullptr;
    if (!t) {
        FreeTargetTable(table);
        return 0;
    }
    char* at = reinterpret_cast<char*>(t) + Aligned(sizeof(TargetTableBuilt));
    t->states = static_cast<std::uint32_t>(states);
    t->nameSlots = static_cast<std::uint32_t>(slots);
    std::memset(t->rootNext, 0, sizeof t->rootNext);
    t->slots = reinterpret_cast<NameSlot*>(at);
    at += 16 * slots;
    t->state = reinterpret_cast<TableState*>(at);
    at += sizeof(TableState) * (states + 1);
    t->names = at;
    if (parts) {
        BuildTrie(t, staged, text, order, parts);
        LinkFailures(t);
    }
    FillNames(t, staged, table->stagedCount, text);
    ReleaseStaged(table);
    table->built = t;
    return 1;
}

int FirstTableRule(const TargetTable* table, const char* path, const char* fileName,
                   std::size_t fileNameLength) {
    const TargetTableBuilt* t = table->built;
    if (!t) return -1;
    std::uint32_t first = kNone;
    if (t->nameSlots && fileNameLength <= kLongestText) {
        std::uint32_t hash = kHashStart;
        for (std::size_t i = 0; i < fileNameLength; ++i)
            hash = HashStep(hash, Folded(static_cast<unsigned char>(fileName[i])));
        for (std::uint32_t k = hash;; ++k) {
            const NameSlot& slot = t->slots[k & (t->nameSlots - 1)];
            if (slot.rule == kNone) break;
            if (slot.hash != hash || slot.length != fileNameLength) continue;
            std::size_t i = 0;
            while (i < fileNameLength && Folded(static_cast<unsigned char>(fileName[i])) ==
                                             static_cast<unsigned char>(t->names[slot.offset + i]))
                ++i;
            if (i == fileNameLength) {
                first = slot.rule;
                break;
            }
        }
    }
    if (t->states) {
        std::uint32_t state = 0;
        first = std::min(first, t->state[0].best);
        for (const char* at = path; *at; ++at) {
            const unsigned char c = Folded(static_cast<unsigned char>(*at));
            std::uint32_t to;
            while (!(to = ChildOf(t, state, c)) && state)
                state = t->state[state].fail;
            state = to;
            first = std::min(first, t->state[state].best);
        }
    }
    return first == kNone ? -1 : static_cast<int>(first);
}

void FreeTargetTable(TargetTable* table) {
    ReleaseStaged(table);
    Release(table->built);
    table->built = nullptr;
}

// The path rules: one open-addressing table of every kind, each hash ending
// with the kind's byte, so that a path and a folder of the same text differ.
namespace {

std::uint32_t KindHash(std::uint32_t hash, DWORD kind) {
    return HashStep(hash, static_cast<unsigned char>(kind));
}

std::uint32_t FileHash(std::uint64_t device, std::uint64_t inode) {
    std::uint32_t hash = kHashStart;
    for (int i = 0; i < 64; i += 8)
        hash = HashStep(hash, static_cast<unsigned char>(device >> i));
    for (int i = 0; i < 64; i += 8)
        hash = HashStep(hash, static_cast<unsigned char>(inode >> i));
    return KindHash(hash, TARGET_FILE);
}

int SameKey(const PathSlot& slot, std::uint32_t hash, DWORD kind, const char* path,
            std::uint32_t length, std::uint64_t device, std::uint64_t inode) {
    if (slot.hash != hash || slot.kind != kind) return 0;
    if (kind == TARGET_FILE) return slot.file->device == device && slot.file->inode == inode;
    return slot.length == length && std::memcmp(slot.file->path, path, length) == 0;
}

// The slot of this key, or the free one where it would go.
PathSlot* FindSlot(const PathIndex* index, std::uint32_t hash, DWORD kind, const char* path,
                   std::uint32_t length, std::uint64_t device, std::uint64_t inode) {
    for (std::uint32_t k = hash;; ++k) {
        PathSlot& slot = index->slots[k & (index->slotCount - 1)];
        if (!slot.file || SameKey(slot, hash, kind, path, length, device, inode)) return &slot;
    }
}

std::uint32_t SlotsFor(std::size_t rules) {
    std::uint32_t slots = 4;
    while (slots < 2 * rules)
        slots *= 2;
    return slots;
}

}  // namespace

std::size_t PathIndexSize(std::size_t rules) {
    return rules ? SlotsFor(rules) * sizeof(PathSlot) : 0;
}

void BeginPathIndex(PathIndex* index, void* room, std::size_t rules) {
    index->slots = static_cast<PathSlot*>(room);
    index->slotCount = rules ? SlotsFor(rules) : 0;
    ClearPathIndex(index);
}

void ClearPathIndex(PathIndex* index) {
    for (std::uint32_t k = 0; k < index->slotCount; ++k)
        index->slots[k].file = nullptr;
    index->firstFile = -1;
    index->paths = 0;
}

void AddPathRule(PathIndex* index, int rule, const TargetFile* file) {
    const DWORD kind = file->kind;
    std::uint32_t hash = kHashStart, length = 0;
    if (kind == TARGET_FILE) {
        hash = FileHash(file->device, file->inode);
    } else if (kind == TARGET_FOLDER || kind == TARGET_PATH) {
        for (; file->path[length]; ++length)
            hash = HashStep(hash, static_cast<unsigned char>(file->path[length]));
        if (length == 0 || (kind == TARGET_FOLDER && file->path[length - 1] != '/')) return;
        hash = KindHash(hash, kind);
    } else {
        return;
    }
    if (index->slotCount == 0) return;
    PathSlot* slot = FindSlot(index, hash, kind, file->path, length, file->device, file->inode);
    if (slot->file) {
        if (rule < slot->rule) slot->rule = rule;
    } else {
        *slot = {file, hash, rule, length, kind};
        if (kind != TARGET_FILE) ++index->paths;
    }
    if (kind == TARGET_FILE && (index->firstFile < 0 || rule < index->firstFile))
        index->firstFile = rule;
}

int FileRuleOf(const PathIndex* index, std::uint64_t device, std::uint64_t inode) {
    if (index->firstFile < 0) return -1;
    const PathSlot* slot =
        FindSlot(index, FileHash(device, inode), TARGET_FILE, "", 0, device, inode);
    return slot->file ? slot->rule : -1;
}

int FirstPathRule(const PathIndex* index, const char* path) {
    if (index->paths == 0) return -1;
    int first = -1;
    std::uint32_t hash = kHashStart, length = 0;
    for (; path[length]; ++length) {
        hash = HashStep(hash, static_cast<unsigned char>(path[length]));
        if (path[length] != '/') continue;
        const std::uint32_t folder = KindHash(hash, TARGET_FOLDER);
        const PathSlot* slot = FindSlot(index, folder, TARGET_FOLDER, path, length + 1, 0, 0);
        if (slot->file && (first < 0 || slot->rule < first)) first = slot->rule;
    }
    const std::uint32_t whole = KindHash(hash, TARGET_PATH);
    const PathSlot* slot = FindSlot(index, whole, TARGET_PATH, path, length, 0, 0);
    if (slot->file && (first < 0 || slot->rule < first)) first = slot->rule;
    return first;
}
