#include "harness.h"

#include "app/entry.h"
#include "app/run_options.h"

const char kBanner[] =
    "Hoister.exe v1.4: launches programs and changes the priority class of processes\n"
    "Home page: see the README that comes with Hoister.exe\n";

const char kUsage[] =
    "Hoister.exe: Spawns / Changes priority of processes.\n"
    "\nUsage:\n"
    "\tHoister.exe [options] <target.exe> <target args>\n"
    "\nOptions:\n"
    "-h\t\tthis help\n"
    "-l\t\tshow list of processes (ignore other options)\n"
    "-dnn\t\tsleep for #nn seconds before runnning\n\t\t(do not put a space between -d and "
    "number)\n"
    "-#nnn\t\tboost process with ID #nnn\n"
    "\t\t(IDs shown in listing, do not put a space between -# and number)\n"
    "-s\t\tstart new target process\n\t\t(if not already running)\n"
    "-f\t\tforce start new target process\n\t\t(even if others are running), -a ignored\n"
    "-a\t\tset priority of all processes matching target\n\t\t(default to just first)\n"
    "-p(l|n|h|r)\tset priority to low, normal, high (default), realtime\n"
    "-q\t\tquiet mode (overrides -l and -v)\n"
    "-v\t\tverbose\n"
    "-wnn\t\thold: repeat every #nn seconds until stopped\n"
    "\t\t(only with a target matched by name)\n"
    "\nSpecify valid target executable for -s and -f,\n"
    "otherwise target is case-insensitive substring.\n";

RunResult RunHoister(const std::vector<std::string>& words) {
    runOptions = RunOptions();
    std::vector<std::string> storage;
    storage.push_back("C:\\tools\\hoister.exe");
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    std::size_t firstMessage = scripted::World().debugMessages.size();
    ::testing::internal::CaptureStdout();
    int status = HoisterMain(static_cast<int>(storage.size()), argv.data());
    RunResult result;
    result.status = status;
    result.out = ::testing::internal::GetCapturedStdout();
    const auto& messages = scripted::World().debugMessages;
    for (std::size_t i = firstMessage; i < messages.size(); ++i) {
        result.debugMessages.push_back(messages[i]);
        result.debug += messages[i];
    }
    return result;
}

scripted::Process& AddProcess(plat::DWORD id, const std::string& name, plat::DWORD priorityClass) {
    scripted::Process process;
    process.id = id;
    process.name = name;
    process.priorityClass = priorityClass;
    scripted::World().processes.push_back(process);
    return scripted::World().processes.back();
}

void ExpectNothingOutstanding() {
    const scripted::State& world = scripted::World();
    EXPECT_EQ(world.librariesOutstanding, 0) << "libraries still loaded";
    EXPECT_EQ(world.handlesOutstanding, 0) << "handles still open";
    EXPECT_EQ(world.blocksOutstanding, 0) << "heap blocks still held";
    EXPECT_EQ(world.eventsOutstanding, 0) << "process-start events still on";
    EXPECT_EQ(world.badReleases, 0) << "something released that was not held";
}
