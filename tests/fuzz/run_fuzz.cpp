// The whole run on a scripted world. Input: 4 bytes for the platform family,
// the faults, the start events and the process count, then the words,
// separated by NUL or newline, whose bytes also shape the processes. Every
// run must release all it acquired and end with status 0 or 1.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/run_options.h"
#include "scripted/scripted_platform.h"

namespace {

const plat::DWORD kFamilies[] = {2, 1, 0, 3};
const plat::DWORD kClasses[] = {0x20, 0x40, 0x80, 0x100, 0x4000, 0};
const char* const kNames[] = {"C:\\WINDOWS\\SYSTEM\\KERNEL32.DLL", "C:\\Tools\\Backup.EXE",
                              "C:\\WINNT\\System32\\NTVDM.EXE", "", "/usr/bin/sleep"};

void BuildWorld(const std::uint8_t* h, const std::uint8_t* rest, std::size_t restSize,
                const std::vector<std::string>& words) {
    scripted::State& world = scripted::World();
    world.platformId = kFamilies[h[0] & 3];
    world.kernel32Missing = h[0] & 4;
    world.psapiMissing = h[0] & 8;
    world.vdmdbgMissing = h[0] & 16;
    world.snapshotFails = h[0] & 32;
    world.enumProcessesFails = h[0] & 64;
    world.createFails = h[0] & 128;
    world.failAllocation = h[1] & 3;
    world.failVersionFromCall = (h[1] >> 2) & 3;
    if (h[1] & 16) world.missingFunctions.insert(h[1] & 32 ? "Process32Next" : "EnumProcesses");
    world.launchSplitsCommandLine = h[1] & 64;
    world.marksControlBytes = h[1] & 128;
    world.currentProcessId = static_cast<plat::DWORD>(h[2] >> 5) * 4;
    const std::size_t count = h[2] % 7;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t a = 2 * i < restSize ? rest[2 * i] : 0;
        const std::uint8_t b = 2 * i + 1 < restSize ? rest[2 * i + 1] : 0;
        scripted::Process p;
        p.id = static_cast<plat::DWORD>(i + 1) * 4;
        p.name = (a & 8) && words.size() > 1 ? words[1 + i % (words.size() - 1)] : kNames[a % 5];
        p.priorityClass = kClasses[(a >> 4) % 6];
        p.openForQuery = !(b & 1);
        p.openForSet = !(b & 2);
        p.modulesReadable = !(b & 4);
        p.nameReadable = !(b & 8);
        p.getClassFails = b & 16;
        p.setClassFails = b & 32;
        // A failure that says the process has ended.
        if (b & 128) p.openError = p.setClassError = plat::ERROR_INVALID_PARAMETER;
        if (b & 64) p.tasks = {{1, "C:\\APPS\\WORD.EXE"}, {2, words.back()}};
        world.processes.push_back(p);
    }
    // Process-start events for a hold: one that matches the last word, then lost events.
    world.eventsAvailable = h[2] & 8;
    world.stopAtPoll = 3;  // a long pause would poll for ever
    scripted::Process started;
    started.id = 100;
    started.name = words.back();
    started.setClassFails = h[2] & 16;
    world.startEvents = {{plat::HOLD_WAIT_STARTED, started}, {plat::HOLD_WAIT_LOST, {}}};
    // Never more than EnumProcesses wrote: a cut list or an odd byte count.
    if (h[3] & 1) world.reportedByteCount = (h[3] >> 1) % (count * 4 + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[4] = {0, 0, 0, 0};
    const std::size_t used = size < 4 ? size : 4;
    std::memcpy(header, data, used);
    std::vector<std::string> words(1, "C:\\tools\\hoister.exe");
    for (std::size_t i = used; i < size && words.size() < 33; ++i) {
        if (i == used || data[i - 1] == 0 || data[i - 1] == '\n') words.emplace_back();
        if (data[i] != 0 && data[i] != '\n') words.back() += static_cast<char>(data[i]);
    }

    scripted::Reset();
    runOptions = RunOptions();
    BuildWorld(header, data + used, size - used, words);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const int status = HoisterMain(static_cast<int>(words.size()), argv.data());

    const scripted::State& world = scripted::World();
    if ((status != 0 && status != 1) || world.librariesOutstanding || world.handlesOutstanding ||
        world.blocksOutstanding || world.badReleases) {
        std::abort();
    }
    return 0;
}
