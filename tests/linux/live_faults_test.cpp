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

const std::vector<std::string> kNobody = {"setpriv",         "--reuid=65534",
                                          "--regid=65534",   "--clear-groups",
                                          "--inh-caps=-all", "--bounding-set=-all"};

// The nice field of a stat file; -100 when it cannot be read (gone).
long NiceIn(const std::string& statPath) {
    std::string stat = ReadFile(statPath), value = "-100";
    std::istringstream fields(stat.empty() ? "" : stat.substr(stat.rfind(')') + 2));
    for (int i = 3; i <= 19; ++i)
        fields >> value;
    return std::atol(value.c_str());
}

long Nice(pid_t id) { return NiceIn("/proc/" + std::to_string(id) + "/stat"); }

// Threads that end while being read are skipped.
void ExpectLiveThreadsNice(pid_t id, long nice) {
    const std::string task = "/proc/" + std::to_string(id) + "/task/";
    int seen = 0;
    for (pid_t thread : NumericEntries(task)) {
        long value = NiceIn(task + std::to_string(thread) + "/stat");
        if (value == -100) continue;
        EXPECT_EQ(value, nice) << "thread " << thread;
        ++seen;
    }
    EXPECT_GT(seen, 1);
}

class LiveFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override {
        char dir[] = "/tmp/hoister-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        ASSERT_EQ(chmod(dir, 0755), 0);  // the unprivileged runs read it
        marker_ = dir_.substr(5);
        file_ = "sleeper " + marker_;
        path_ = dir_ + "/" + file_;
        std::ofstream(path_, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
        ASSERT_EQ(chmod(path_.c_str(), 0755), 0);
    }

    // Children of what we started were handed to us: reap until none is left.
    void TearDown() override {
        for (pid_t id : FindByPath(path_))
            started_.push_back(id);
        for (pid_t id : started_)
            kill(id, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        unlink(path_.c_str());
        unlink((dir_ + "/out").c_str());
        rmdir(dir_.c_str());
    }

    pid_t Start(const char* mode) {
        int ready[2];
        if (pipe(ready) != 0) return -1;
        pid_t id = fork();
        if (id == 0) {
            dup2(ready[1], 1);
            execl(path_.c_str(), path_.c_str(), mode, (char*)nullptr);
            _exit(127);
        }
        close(ready[1]);
        char line[8];
        if (read(ready[0], line, sizeof line) <= 0) id = -1;
        close(ready[0]);
        if (id > 0) started_.push_back(id);
        return id;
    }

    int Run(const std::vector<std::string>& prefix, const std::vector<std::string>& args) {
        int status = RunProgram(prefix, args, dir_ + "/out");
        out_ = ReadFile(dir_ + "/out");
        out_.erase(0, out_.find('\n', out_.find('\n') + 1) + 1);  // the banner
        return status;
    }

    std::string dir_, marker_, file_, path_, out_;
    std::vector<pid_t> started_;
};

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
    EXPECT_TRUE(!process ||
                (!GetPriorityClass(process) && !SetPriorityClass(process, IDLE_PRIORITY_CLASS)));
    CloseHandle(process);
}

TEST_F(LiveFaults, ProgramWalksWhileProcessesComeAndGo) {
    ASSERT_GT(Start("processes"), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Run({}, {"-l", "-a", "nosuchprocessxyz"}), 1);
        EXPECT_EQ(Run({}, {"-a", "-pl", marker_}), 1);
        // Every match either changed or, gone before it could be, failed.
        std::istringstream lines(out_);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line == path_ + " priority set to Low" ||
                        line == "Error: command to set " + path_ + " priority to Low failed")
                << line;
        }
    }
}

TEST_F(LiveFaults, ProgramSetsEveryThreadWhileThreadsAreStarted) {
    pid_t id = Start("threads");
    ASSERT_GT(id, 0);
    const char* classes[] = {"-pl", "-ph", "-pn"};
    const long nices[] = {19, -10, 0};
    for (int i = 0; i < (geteuid() == 0 ? 3 : 1); ++i) {
        EXPECT_EQ(Run({}, {"-#" + std::to_string(id), classes[i]}), 1);
        EXPECT_NE(out_.find(path_ + " priority set to "), std::string::npos) << out_;
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
    EXPECT_EQ(Run(kNobody, {"-f", "-pl", file_}), 1) << out_;
    std::vector<pid_t> all = FindByPath(path_);
    ASSERT_EQ(all.size(), 2u);
    pid_t theirs = all[0] == ours ? all[1] : all[0];
    EXPECT_EQ(Nice(theirs), 19);

    EXPECT_EQ(Run(kNobody, {"-l", "-a", "nosuchprocessxyz"}), 1);
    EXPECT_NE(out_.find(std::to_string(theirs) + " Low      " + path_), std::string::npos) << out_;
    EXPECT_EQ(out_.find(std::to_string(ours) + " "), std::string::npos) << out_;
    EXPECT_EQ(Run(kNobody, {"-a", "-pl", marker_}), 1);
    EXPECT_EQ(out_, path_ + " priority set to Low\n") << "only the one of our own";
    EXPECT_EQ(Nice(ours), 0);

    const std::string failed = "Error: command to set " + path_ + " priority to ";
    Run(kNobody, {"-pn", "-#" + std::to_string(theirs)});
    EXPECT_NE(out_.find(failed + "Normal failed\n"), std::string::npos) << out_;
    Run(kNobody, {"-ph", "-a", marker_});
    EXPECT_EQ(out_, failed + "High failed\n");
    EXPECT_EQ(Nice(theirs), 19);

    for (pid_t id : all)
        kill(id, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    started_.clear();
    EXPECT_EQ(Run(kNobody, {"-f", "-ph", file_}), 0);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_NE(out_.find("Error: Failed to create"), std::string::npos) << out_;
    EXPECT_TRUE(FindByPath(path_).empty());
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child is left behind";
}

}  // namespace
