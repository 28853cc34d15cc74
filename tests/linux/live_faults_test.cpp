// The live system changing under the program: processes and threads that
// come and go during a walk, entries it may not read, and no privilege.
#include <errno.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support.h"

using namespace plat;

namespace {

long Nice(pid_t id) { return StatField(id, id, 19); }

// Threads that end while being read are skipped.
void ExpectLiveThreadsNice(pid_t id, long nice) {
    const std::string task = "/proc/" + std::to_string(id) + "/task/";
    int seen = 0;
    for (pid_t thread : NumericEntries(task)) {
        long value = StatField(id, thread, 19);
        if (value == -100) continue;
        EXPECT_EQ(value, nice) << "thread " << thread;
        ++seen;
    }
    EXPECT_GT(seen, 1);
}

class LiveFaults : public SleeperTest {};

TEST_F(LiveFaults, BackendQueriesOfAProcessEndedAfterTheListFail) {
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    auto enumProcesses = reinterpret_cast<EnumProcessesFn>(
        GetProcAddress(LoadLibraryA("PSAPI.DLL"), "EnumProcesses"));
    std::vector<DWORD> ids(1 << 16);
    DWORD bytes = 0;
    ASSERT_TRUE(enumProcesses(ids.data(), ids.size() * 4, &bytes));
    ASSERT_NE(std::find(ids.begin(), ids.begin() + bytes / 4, DWORD(id)), ids.begin() + bytes / 4);
    kill(id, SIGKILL);
    ASSERT_EQ(waitpid(id, nullptr, 0), id);
    started_.clear();

    auto fileName = reinterpret_cast<GetModuleFileNameExAFn>(
        GetProcAddress(LoadLibraryA("PSAPI.DLL"), "GetModuleFileNameExA"));
    HANDLE process = OpenProcess(0x410, FALSE, id);
    char name[MAX_PATH] = "stale";
    EXPECT_TRUE(!process || (fileName(process, nullptr, name, sizeof name) == 0 && !name[0]));
    CloseHandle(process);
    process = OpenProcess(0x600, FALSE, id);
    EXPECT_FALSE(GetPriorityClass(process));
    EXPECT_FALSE(SetPriorityClass(process, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "gone, not refused";
    CloseHandle(process);
}

TEST_F(LiveFaults, ProgramWalksWhileProcessesComeAndGo) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    ASSERT_GT(Start("processes"), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Run({"-l", "-a", "nosuch" + marker_}), 1);
        EXPECT_EQ(Run({"-a", "-pl", marker_}), 1);
        // Every match changed: one gone before it could be is no match.
        std::istringstream lines(Body());
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(line, path_ + " priority set to Low");
    }
}

TEST_F(LiveFaults, ProgramSetsEveryThreadWhileThreadsAreStarted) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t id = Start("threads");
    ASSERT_GT(id, 0);
    const char* classes[] = {"-pl", "-ph", "-pn"};
    const long nices[] = {19, -10, 0};
    for (int i = 0; i < (geteuid() == 0 ? 3 : 1); ++i) {
        EXPECT_EQ(Run({"-#" + std::to_string(id), classes[i]}), 1);
        EXPECT_NE(Body().find(path_ + " priority set to "), std::string::npos) << Body();
        ExpectLiveThreadsNice(id, nices[i]);
    }
}

TEST_F(LiveFaults, ProgramWithoutPrivilegeSkipsOthersAndCannotRaise) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    pid_t ours = Start("0");
    ASSERT_GT(ours, 0);
    // Another user's exe link cannot be read: no name at all.
    pid_t probe = fork();
    if (probe == 0) {
        if (setgroups(0, nullptr) || setresgid(65534, 65534, 65534) ||
            setresuid(65534, 65534, 65534))
            _exit(2);
        auto fileName = reinterpret_cast<GetModuleFileNameExAFn>(
            GetProcAddress(LoadLibraryA("PSAPI.DLL"), "GetModuleFileNameExA"));
        char name[MAX_PATH] = "stale";
        DWORD length = fileName(OpenProcess(0x410, FALSE, ours), nullptr, name, sizeof name);
        _exit(length == 0 && !name[0] ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(probe, &status, 0), probe);
    EXPECT_EQ(status, 0);

    std::string oldPath = getenv("PATH");
    setenv("PATH", (dir_ + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(Run({"-f", "-pl", file_}, kNobody), 1) << Body();
    std::vector<pid_t> all = FindByPath(path_);
    ASSERT_EQ(all.size(), 2u);
    pid_t theirs = all[0] == ours ? all[1] : all[0];
    EXPECT_EQ(Nice(theirs), 19);

    EXPECT_EQ(Run({"-l", "-a", "nosuch" + marker_}, kNobody), 1);
    EXPECT_NE(Body().find(std::to_string(theirs) + " Low      " + path_), std::string::npos)
        << Body();
    EXPECT_EQ(Body().find(std::to_string(ours) + " "), std::string::npos) << Body();
    EXPECT_EQ(Run({"-a", "-pl", marker_}, kNobody), 1);
    EXPECT_EQ(Body(), path_ + " priority set to Low\n") << "only the one of our own";
    EXPECT_EQ(Nice(ours), 0);

    const std::string failed = "Error: command to set " + path_ + " priority to ";
    Run({"-pn", "-#" + std::to_string(theirs)}, kNobody);
    EXPECT_NE(Body().find(failed + "Normal failed\n"), std::string::npos) << Body();
    Run({"-ph", "-a", marker_}, kNobody);
    EXPECT_EQ(Body(), failed + "High failed\n");
    EXPECT_EQ(Nice(theirs), 19);

    for (pid_t id : all)
        kill(id, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    started_.clear();
    EXPECT_EQ(Run({"-f", "-ph", file_}, kNobody), 0);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_NE(Body().find("Error: Failed to create"), std::string::npos) << Body();
    EXPECT_TRUE(FindByPath(path_).empty());
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child is left behind";
}

}  // namespace
