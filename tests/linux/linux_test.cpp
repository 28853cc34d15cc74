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
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/command_line_posix.h"
#include "platform/platform.h"
#include "support.h"

using namespace plat;

namespace {

// A field of /proc/PID/task/TID/stat, numbered as in proc(5).
long StatField(pid_t id, pid_t thread, int field) {
    std::string stat =
        ReadFile("/proc/" + std::to_string(id) + "/task/" + std::to_string(thread) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string value;
    for (int i = 3; i <= field; ++i)
        rest >> value;
    return std::atol(value.c_str());
}

// Every thread of the process has this nice value and policy.
void ExpectAllThreads(pid_t id, long nice, long policy) {
    std::vector<pid_t> threads = NumericEntries("/proc/" + std::to_string(id) + "/task");
    ASSERT_FALSE(threads.empty());
    for (pid_t thread : threads) {
        EXPECT_EQ(StatField(id, thread, 19), nice) << "thread " << thread;
        EXPECT_EQ(StatField(id, thread, 41), policy) << "thread " << thread;
    }
}

class Linux : public ::testing::Test {
  protected:
    // What the program launches outlives it; as subreaper we can reap it.
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override {
        char dir[] = "/tmp/hoister-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        marker_ = dir_.substr(5);
        file_ = "sleeper " + marker_;
        path_ = dir_ + "/" + file_;
        std::ofstream(path_, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
        ASSERT_EQ(chmod(path_.c_str(), 0755), 0);
    }

    void TearDown() override {
        for (pid_t id : FindByPath(path_))
            started_.push_back(id);
        for (pid_t id : started_) {
            kill(id, SIGKILL);
            waitpid(id, nullptr, 0);
        }
        unlink(path_.c_str());
        unlink((dir_ + "/out").c_str());
        rmdir(dir_.c_str());
    }

    // Returns once the copy runs with its extra threads.
    pid_t StartSleeper(int threads) {
        int ready[2];
        std::string count = std::to_string(threads);
        if (pipe(ready) != 0) return -1;
        pid_t id = fork();
        if (id == 0) {
            dup2(ready[1], 1);
            execl(path_.c_str(), path_.c_str(), count.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(ready[1]);
        char line[8];
        if (read(ready[0], line, sizeof line) <= 0) id = -1;
        close(ready[0]);
        if (id > 0) started_.push_back(id);
        return id;
    }

    // Output goes to a file: a launched child keeps the program's stdout.
    int Run(const std::vector<std::string>& words, std::string* out) {
        int status = RunProgram({}, words, dir_ + "/out");
        *out = ReadFile(dir_ + "/out");
        return status;
    }

    std::string dir_, marker_, file_, path_;
    std::vector<pid_t> started_;
};

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
    char small[4];
    char* argv[8];
    EXPECT_EQ(SplitCommandLine("abcd", small, sizeof small, argv, 8), 0);
    EXPECT_EQ(SplitCommandLine("a b c", small, sizeof small, argv, 2), 0);
}

TEST_F(Linux, BackendFindsChildAndItsPath) {
    pid_t id = StartSleeper(0);
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
    CloseHandle(process);
    EXPECT_TRUE(FreeLibrary(psapi));
}

TEST_F(Linux, BackendSetsEveryThreadThenRefusesWhenGone) {
    pid_t id = StartSleeper(4);
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
    EXPECT_TRUE(!process ||
                (!GetPriorityClass(process) && !SetPriorityClass(process, IDLE_PRIORITY_CLASS)));
    CloseHandle(process);
}

TEST_F(Linux, BackendCreatesInClassAndSessionOrFailsCleanly) {
    char missing[] = "/nonexistent/program";
    PROCESS_INFORMATION info = {};
    EXPECT_FALSE(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0x250, nullptr, nullptr,
                                nullptr, &info));
    int status;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child is left behind";

    std::string line = "\"" + path_ + "\" 0 \"x y\" a\\\"b \"c\"\"d\"";
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0x250, nullptr, nullptr,
                               nullptr, &info));
    pid_t id = info.dwProcessId;
    started_.push_back(id);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(id) + "/cmdline"),
              path_ + std::string("\0"
                                  "0\0x y\0a\"b\0c\"d\0",
                                  15));
    EXPECT_EQ(StatField(id, id, 6), id) << "leads its own session";
    EXPECT_EQ(StatField(id, id, 19), 19);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
}

TEST_F(Linux, ProgramUsageAndParameterErrors) {
    std::string usage, out;
    EXPECT_EQ(Run({}, &usage), 1);
    ASSERT_EQ(usage.rfind("Hoister.exe v1.4", 0), 0u);
    std::size_t bannerEnd = usage.find('\n', usage.find('\n') + 1) + 1;
    std::string banner = usage.substr(0, bannerEnd);
    EXPECT_EQ(usage.find("Hoister.exe: Spawns"), bannerEnd);
    EXPECT_EQ(Run({"-h"}, &out), 0);
    EXPECT_EQ(out, usage);
    EXPECT_EQ(Run({"-x"}, &out), 0);
    EXPECT_EQ(out, banner + "Error: Parameter -x not understood\n\n" + usage.substr(bannerEnd));
    EXPECT_EQ(Run({"-q", "-x"}, &out), 0);
    EXPECT_EQ(out, banner);
}

TEST_F(Linux, ProgramListsAndChangesByName) {
    pid_t a = StartSleeper(3), b = StartSleeper(3);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    std::string out;
    Run({"-l"}, &out);
    for (pid_t id : {a, b}) {
        char line[512];
        std::snprintf(line, sizeof line, "%4d Normal   %s\n", id, path_.c_str());
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    EXPECT_EQ(Run({"-pl", marker_}, &out), 1);
    ExpectAllThreads(std::min(a, b), 19, 0);
    ExpectAllThreads(std::max(a, b), 0, 0);
    EXPECT_EQ(Run({"-a", "-pl", marker_}, &out), 1);
    ExpectAllThreads(std::max(a, b), 19, 0);
    if (geteuid() != 0) GTEST_SKIP() << "High, Realtime and back to Normal need root";
    for (const char* option : {"-ph", "-pr", "-pn"}) {
        EXPECT_EQ(Run({"-a", option, marker_}, &out), 1);
        long nice = option[2] == 'n' ? 0 : -10, policy = option[2] == 'r' ? 2 : 0;
        ExpectAllThreads(a, nice, policy);
        ExpectAllThreads(b, nice, policy);
    }
}

TEST_F(Linux, ProgramChangesById) {
    pid_t id = StartSleeper(0);
    ASSERT_GT(id, 0);
    std::string out;
    EXPECT_EQ(Run({"-#" + std::to_string(id), "-pl"}, &out), 1);
    EXPECT_NE(out.find(path_ + " priority set to Low\n"), std::string::npos) << out;
    ExpectAllThreads(id, 19, 0);

    pid_t unused = std::atoi(ReadFile("/proc/sys/kernel/pid_max").c_str()) - 1;
    while (access(("/proc/" + std::to_string(unused)).c_str(), F_OK) == 0)
        --unused;
    EXPECT_EQ(Run({"-#" + std::to_string(unused)}, &out), 0);
    EXPECT_NE(out.find("Error: Process with ID #" + std::to_string(unused) + " not found.\n"),
              std::string::npos);
}

TEST_F(Linux, ProgramLaunchesInClassOnlyWhenAskedTo) {
    // A path that begins with '/' reads as an option: the copy is found on PATH.
    std::string oldPath = getenv("PATH");
    setenv("PATH", (dir_ + ":" + oldPath).c_str(), 1);
    std::string out;
    EXPECT_EQ(Run({"-s", "-pl", file_}, &out), 1) << out;
    std::vector<pid_t> first = FindByPath(path_);
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(Run({"-s", "-pl", file_}, &out), 1);
    EXPECT_EQ(FindByPath(path_), first) << "-s starts nothing while one runs";

    EXPECT_EQ(Run({"-f", "-pl", file_, "a", "b"}, &out), 1);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_NE(out.find("Created: \"" + file_ + "  a b\"\n"), std::string::npos) << out;
    std::vector<pid_t> all = FindByPath(path_);
    ASSERT_EQ(all.size(), 2u);
    pid_t id = all[0] == first[0] ? all[1] : all[0];
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(id) + "/cmdline"),
              file_ + std::string("\0a\0b\0", 5));
    EXPECT_EQ(StatField(id, id, 6), id);
    ExpectAllThreads(id, 19, 0);
}

}  // namespace
