// The Linux backend and the built program, on processes these tests start.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "platform/linux/command_line.h"
#include "platform/platform.h"
#include "support.h"

using namespace plat;

namespace {

// Every thread of the process has this nice value and policy.
void ExpectAllThreads(pid_t id, long nice, long policy) {
    std::vector<pid_t> threads = NumericEntries("/proc/" + std::to_string(id) + "/task");
    ASSERT_FALSE(threads.empty());
    for (pid_t thread : threads) {
        EXPECT_EQ(StatField(id, thread, 19), nice) << "thread " << thread;
        EXPECT_EQ(StatField(id, thread, 41), policy) << "thread " << thread;
    }
}

class Linux : public SleeperTest {};

TEST(SplitCommandLine, FollowsWindowsRules) {
    const struct {
        const char* line;
        const char* words;  // joined with '|'
    } cases[] = {
        {"  a b\tc  ", "a|b|c"},
        {"\"a b\" c", "a b|c"},
        {"a\\\\b \\c", "a\\\\b|\\c"},
        {"a\\\"b a\\\\\\\"b", "a\"b|a\\\"b"},
        {"\"a\\\\\" b", "a\\|b"},
        {"\"a\"\"b c\" \"\" d", "a\"b|c \"|d"},
        {"\"a\tb", "a\tb"},
        {"\"\" x", "|x"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char words[64];
        char* argv[8];
        ASSERT_EQ(SplitCommandLine(c.line, words, sizeof words, argv, 8), 1) << c.line;
        std::string joined;
        for (int i = 0; argv[i]; ++i)
            joined += (i ? "|" : "") + std::string(argv[i]);
        EXPECT_EQ(joined, c.words) << c.line;
    }
    // The launch's command line gives every target back exactly.
    for (const char* target : {"a\"b", "C:\\a b\\", "x\\\\\"y z\\", "\"", "p\\q", "a\tb"}) {
        char line[kCommandLineSize];
        BuildCommandLine(line, target, " -x");
        char words[2 * kCommandLineSize];
        char* argv[4];
        ASSERT_EQ(SplitCommandLine(line, words, sizeof words, argv, 4), 1) << line;
        EXPECT_STREQ(argv[0], target) << line;
        EXPECT_STREQ(argv[1], "-x") << line;
    }
    // So does every argument vector, each argument quoted where it must be.
    const std::vector<std::vector<std::string>> vectors = {
        {"t", "", "x\"y", "a b", "c\\", "d\\ e\\", "\"", "a\"b c"},
        {"C:\\a b\\", "", "", "\\\\\"", "'x\"y'", "\"quoted words\""},
        {"p", "tab\there", "back\\slash", "\\", "\\\\ \\\"", "x"},
    };
    for (const auto& words : vectors) {
        char args[kCommandLineSize] = "";
        for (std::size_t i = 1; i < words.size(); ++i) {
            std::strcat(args, " ");
            ASSERT_TRUE(AppendCommandLineWord(args, sizeof args, words[i].c_str()));
        }
        char line[2 * kCommandLineSize];
        BuildCommandLine(line, words[0].c_str(), args);
        char split[2 * kCommandLineSize];
        char* argv[16];
        ASSERT_EQ(SplitCommandLine(line, split, sizeof split, argv, 16), 1) << line;
        std::vector<std::string> back;
        for (int i = 0; argv[i]; ++i)
            back.push_back(argv[i]);
        EXPECT_EQ(back, words) << line;
    }
    char small[4];
    char* argv[8];
    EXPECT_EQ(SplitCommandLine("abcd", small, sizeof small, argv, 8), 0);
    EXPECT_EQ(SplitCommandLine("a b c", small, sizeof small, argv, 2), 0);
}

TEST_F(Linux, BackendFindsChildAndItsPath) {
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    HMODULE psapi = LoadLibraryA("psapi.dll");
    ASSERT_TRUE(psapi);
    auto enumProcesses = reinterpret_cast<EnumProcessesFn>(GetProcAddress(psapi, "EnumProcesses"));
    std::vector<DWORD> ids(1 << 16);
    DWORD bytes = 0;
    ASSERT_TRUE(enumProcesses(ids.data(), ids.size() * 4, &bytes));
    ids.resize(bytes / 4);
    EXPECT_NE(std::find(ids.begin(), ids.end(), DWORD(id)), ids.end());
    ASSERT_TRUE(enumProcesses(ids.data(), 4, &bytes));
    EXPECT_EQ(bytes, 4u) << "a block that is too small comes back full";

    auto modules =
        reinterpret_cast<EnumProcessModulesFn>(GetProcAddress(psapi, "EnumProcessModules"));
    auto fileName =
        reinterpret_cast<GetModuleFileNameExAFn>(GetProcAddress(psapi, "GetModuleFileNameExA"));
    HANDLE process = OpenProcess(0x410, FALSE, id);
    HMODULE module;
    char name[MAX_PATH] = "";
    ASSERT_TRUE(modules(process, &module, sizeof module, &bytes));
    EXPECT_EQ(fileName(process, module, name, sizeof name), path_.size());
    EXPECT_EQ(name, path_);
    EXPECT_EQ(fileName(process, module, name, 8), 7u);
    EXPECT_EQ(name, path_.substr(0, 7));
    std::uint64_t start = 0;
    ASSERT_TRUE(GetProcessStartTime(id, &start));
    EXPECT_EQ(static_cast<long>(start), StatField(id, id, 22)) << "ticks since boot";
    CloseHandle(process);
    EXPECT_TRUE(FreeLibrary(psapi));
}

TEST_F(Linux, BackendSetsEveryThreadThenRefusesWhenGone) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t id = Start("4");
    ASSERT_GT(id, 0);
    HANDLE process = OpenProcess(0x600, FALSE, id);
    EXPECT_FALSE(SetPriorityClass(process, 0x4000));
    ASSERT_TRUE(SetPriorityClass(process, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(process), IDLE_PRIORITY_CLASS);
    ExpectAllThreads(id, 19, 0);
    CloseHandle(process);

    kill(id, SIGKILL);
    ASSERT_EQ(waitpid(id, nullptr, 0), id);
    started_.clear();  // the ID may be reused now
    process = OpenProcess(0x600, FALSE, id);
    EXPECT_FALSE(GetPriorityClass(process));
    EXPECT_FALSE(SetPriorityClass(process, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "gone, not refused";
    CloseHandle(process);
}

TEST_F(Linux, BackendCreatesInClassAndSessionOrFailsCleanly) {
    char missing[] = "/nonexistent/program";
    PROCESS_INFORMATION info = {};
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0x250, nullptr, nullptr,
                                nullptr, &info));
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child is left behind";

    // Low, then Normal: at least one of them is not the class this test runs in.
    for (DWORD flags : {0x250u, 0x230u}) {
        if (flags == 0x230u && !StartsAtNormal()) break;
        std::string line = "\"" + path_ + "\" 0 \"x y\" a\\\"b \"c\"\"d\"";
        ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr,
                                   nullptr, nullptr, &info));
        pid_t id = info.dwProcessId;
        started_.push_back(id);
        EXPECT_EQ(ReadFile("/proc/" + std::to_string(id) + "/cmdline"),
                  path_ + std::string("\0"
                                      "0\0x y\0a\"b\0c\"d\0",
                                      15));
        EXPECT_EQ(StatField(id, id, 6), id) << "leads its own session";
        // Low keeps the nice value of 10 to 19 that this test may run at.
        const long own = getpriority(PRIO_PROCESS, 0), low = own >= 10 ? own : 19;
        EXPECT_EQ(StatField(id, id, 19), flags == 0x250u ? low : 0);
        EXPECT_TRUE(CloseHandle(info.hThread));
        EXPECT_TRUE(CloseHandle(info.hProcess));
    }
}

TEST_F(Linux, ProgramUsageAndParameterErrors) {
    EXPECT_EQ(Run({}), 1);
    const std::string usage = out_;
    ASSERT_EQ(usage.rfind("Hoister.exe v1.4", 0), 0u);
    std::size_t bannerEnd = usage.find('\n', usage.find('\n') + 1) + 1;
    std::string banner = usage.substr(0, bannerEnd);
    EXPECT_EQ(usage.find("Hoister.exe: Spawns"), bannerEnd);
    EXPECT_EQ(Run({"-h"}), 0);
    EXPECT_EQ(out_, usage);
    EXPECT_EQ(Run({"-x"}), 0);
    EXPECT_EQ(out_, banner + "Error: Parameter -x not understood\n\n" + usage.substr(bannerEnd));
    EXPECT_EQ(Run({"-q", "-x"}), 0);
    EXPECT_EQ(out_, banner);
}

TEST_F(Linux, ProgramListsAndChangesByName) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t a = Start("3"), b = Start("3");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    Run({"-l"});
    for (pid_t id : {a, b}) {
        char line[512];
        std::snprintf(line, sizeof line, "%4d Normal   %s\n", id, path_.c_str());
        EXPECT_NE(out_.find(line), std::string::npos) << out_;
    }
    EXPECT_EQ(Run({"-pl", marker_}), 1);
    ExpectAllThreads(std::min(a, b), 19, 0);
    ExpectAllThreads(std::max(a, b), 0, 0);
    EXPECT_EQ(Run({"-a", "-pl", marker_}), 1);
    ExpectAllThreads(std::max(a, b), 19, 0);
    if (geteuid() != 0) GTEST_SKIP() << "High, Realtime and back to Normal need root";
    for (const char* option : {"-ph", "-pr", "-pn"}) {
        EXPECT_EQ(Run({"-a", option, marker_}), 1);
        long nice = option[2] == 'n' ? 0 : -10, policy = option[2] == 'r' ? 2 : 0;
        ExpectAllThreads(a, nice, policy);
        ExpectAllThreads(b, nice, policy);
    }
}

TEST_F(Linux, ProgramChangesById) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    EXPECT_EQ(Run({"-#" + std::to_string(id), "-pl"}), 1);
    EXPECT_NE(out_.find(path_ + " priority set to Low\n"), std::string::npos) << out_;
    ExpectAllThreads(id, 19, 0);

    // IDs run below pid_max: that one names no process, now or during the run.
    const pid_t unused = std::atoi(ReadFile("/proc/sys/kernel/pid_max").c_str());
    EXPECT_EQ(Run({"-#" + std::to_string(unused)}), 0);
    EXPECT_NE(out_.find("Error: Process with ID #" + std::to_string(unused) + " not found.\n"),
              std::string::npos);
}

TEST_F(Linux, ProgramLaunchesInClassOnlyWhenAskedTo) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    // The copy is found on PATH.
    std::string oldPath = getenv("PATH");
    setenv("PATH", (dir_ + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(Run({"-s", "-pl", file_}), 1) << out_;
    std::vector<pid_t> first = FindByPath(path_);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(Run({"-s", "-pl", file_}), 1);
    EXPECT_EQ(FindByPath(path_), first) << "-s starts nothing while one runs";

    EXPECT_EQ(Run({"-f", "-pl", file_, "a", "b"}), 1);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_NE(out_.find("Created: \"" + file_ + "  a b\"\n"), std::string::npos) << out_;
    std::vector<pid_t> all = FindByPath(path_);
    ASSERT_EQ(all.size(), 2u);
    pid_t id = all[0] == first[0] ? all[1] : all[0];
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(id) + "/cmdline"),
              file_ + std::string("\0a\0b\0", 5));
    EXPECT_EQ(StatField(id, id, 6), id);
    ExpectAllThreads(id, 19, 0);
}

}  // namespace
