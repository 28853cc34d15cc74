// The program in ordinary Unix use: absolute paths, closed pipes, launched
// programs on their own, real executables only, unusual names, processes
// whose main thread has ended, and classes set by hand.
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

namespace {

class Contracts : public SleeperTest {
  protected:
    long Field(pid_t id, int field) { return StatField(id, id, field); }

    // The one copy of path that runs, waiting a while for it to appear.
    pid_t WaitForOne(const std::string& path) {
        for (int i = 0; i < 400; ++i) {
            std::vector<pid_t> found = FindByPath(path);
            if (found.size() == 1) return found[0];
            usleep(25000);
        }
        return -1;
    }
};

TEST_F(Contracts, ProgramTakesAnAbsolutePathAsTheTarget) {
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    EXPECT_EQ(Run({"-s", "-pl", path_}), 1);
    EXPECT_EQ(Body(), path_ + " priority set to Low\n");
    EXPECT_EQ(Run({"-pn", "-a", dir_ + "/"}), 1) << "a leading part of the path matches";
    EXPECT_EQ(Body(), path_ + " priority set to Normal\n");
    EXPECT_EQ(FindByPath(path_), std::vector<pid_t>{id});

    // A name with a blank and double quotes starts exactly that file.
    const std::string odd = dir_ + "/a \"b\" c\\";
    std::ofstream(odd, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
    ASSERT_EQ(chmod(odd.c_str(), 0755), 0);
    EXPECT_EQ(Run({"-s", "-pl", odd, "x"}), 1);
    EXPECT_EQ(Body(), "Created: \"" + odd + "  x\"\n");
    pid_t copy = WaitForOne(odd);
    ASSERT_GT(copy, 0);
    started_.push_back(copy);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(copy) + "/cmdline"),
              odd + std::string("\0x\0", 3));
    EXPECT_EQ(Field(copy, 19), 19);

    // A path of more than 300 bytes is read and matched whole; a line shows
    // its first 256.
    const std::string deep = dir_ + "/" + std::string(200, 'd'), deeper = deep + "/" + file_;
    std::string longPath = deeper + "/" + std::string(100, 'f');
    ASSERT_EQ(mkdir(deep.c_str(), 0755) | mkdir(deeper.c_str(), 0755), 0);
    std::ofstream(longPath, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
    ASSERT_EQ(chmod(longPath.c_str(), 0755), 0);
    std::swap(path_, longPath), copy = Start("0"), std::swap(path_, longPath);
    EXPECT_EQ(Run({"-pl", file_ + "/" + std::string(50, 'f')}), 1);
    EXPECT_EQ(Body(), longPath.substr(0, 256) + " priority set to Low\n");
    ASSERT_EQ(unlink(longPath.c_str()) | rmdir(deeper.c_str()) | rmdir(deep.c_str()), 0);
}

TEST_F(Contracts, ProgramActsInFullWhenItsOutputIsClosed) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t a = Start("0"), b = Start("0");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);
    EXPECT_EQ(RunProgramTo({}, {"-pl", "-a", "-v", marker_}, pipeEnds[1]), 1);
    close(pipeEnds[1]);
    EXPECT_EQ(Field(a, 19), 19);
    EXPECT_EQ(Field(b, 19), 19);
}

TEST_F(Contracts, ProgramLaunchesAProgramThatHoldsNoneOfItsDescriptors) {
    // The output is a pipe that only the program and the launched copy could
    // hold open: end of file comes once the program has ended.
    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    EXPECT_EQ(RunProgramTo({}, {"-f", path_, "1"}, pipeEnds[1]), 1);
    close(pipeEnds[1]);
    pollfd ready = {pipeEnds[0], POLLIN, 0};
    char buffer[4096];
    std::string printed;
    ssize_t got = 1;
    while (got > 0 && poll(&ready, 1, 30000) == 1 && (got = read(pipeEnds[0], buffer, 4096)) > 0)
        printed.append(buffer, static_cast<std::size_t>(got));
    close(pipeEnds[0]);
    EXPECT_EQ(got, 0) << "the pipe stays open";
    EXPECT_NE(printed.find("Created: \"" + path_ + "  1\"\n"), std::string::npos) << printed;

    pid_t id = WaitForOne(path_);
    ASSERT_GT(id, 0);
    started_.push_back(id);
    // Its second thread shows that it has reached its main: the loader's own
    // descriptors are closed by then.
    const std::string tasks = "/proc/" + std::to_string(id) + "/task";
    for (int i = 0; i < 400 && NumericEntries(tasks).size() < 2; ++i)
        usleep(5000);
    ASSERT_EQ(NumericEntries(tasks).size(), 2u);
    const std::string fds = "/proc/" + std::to_string(id) + "/fd";
    EXPECT_EQ(NumericEntries(fds), (std::vector<pid_t>{1, 2})) << "and 0, which is not counted";
    char target[256];
    for (const char* fd : {"/0", "/1", "/2"}) {
        ssize_t n = readlink((fds + fd).c_str(), target, sizeof target);
        EXPECT_EQ(std::string(target, n > 0 ? n : 0), "/dev/null") << fd;
    }

    // A terminal stays the launched program's output.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    kill(id, SIGKILL);
    waitpid(id, nullptr, 0);  // ours to reap: its parent has ended
    EXPECT_EQ(RunProgramTo({}, {"-f", path_}, slave), 1);
    close(slave);
    id = WaitForOne(path_);
    ASSERT_GT(id, 0);
    started_.push_back(id);
    ssize_t n = readlink(("/proc/" + std::to_string(id) + "/fd/1").c_str(), target, sizeof target);
    EXPECT_EQ(std::string(target, n > 0 ? n : 0), terminal);
    close(master);
}

TEST_F(Contracts, ProgramStartsOnlyWhatTheKernelRuns) {
    const std::string garbage = "garbage-" + marker_, script = "script-" + marker_;
    const std::string garbagePath = dir_ + "/" + garbage, scriptPath = dir_ + "/" + script;
    std::ofstream(garbagePath, std::ios::binary) << "\x01\x02garbage\n";
    std::ofstream(scriptPath) << "#!/bin/sh\nexec '" << path_ << "' 0\n";
    ASSERT_EQ(chmod(garbagePath.c_str(), 0755) | chmod(scriptPath.c_str(), 0755), 0);
    const std::string oldPath = getenv("PATH");
    setenv("PATH", ("/nonexistent::" + dir_ + ":" + oldPath).c_str(), 1);
    for (const std::string& word : {garbagePath, garbage}) {
        EXPECT_EQ(Run({"-f", word}), 0);
        EXPECT_EQ(Body(), "Error: Failed to create: \"" + word + "\"\n");
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "nothing is left running";
    }
    EXPECT_EQ(Run({"-f", script}), 1);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(Body(), "Created: \"" + script + " \"\n");
    EXPECT_GT(WaitForOne(path_), 0);
}

TEST_F(Contracts, ProgramFindsAProcessWhoseMainThreadHasEnded) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t id = StartOrphan();
    ASSERT_GT(id, 0);
    const std::string exe = "/proc/" + std::to_string(id) + "/exe";
    char link[16];
    ASSERT_LT(readlink(exe.c_str(), link, sizeof link), 0) << "the main thread still runs";
    char line[512];
    std::snprintf(line, sizeof line, "%4d Normal   %s\n", id, path_.c_str());
    Run({"-l"});
    EXPECT_NE(out_.find(line), std::string::npos) << out_;
    EXPECT_EQ(Run({"-pl", path_}), 1) << "a path names the file that it runs";
    EXPECT_EQ(Body(), path_ + " priority set to Low\n");
    for (pid_t thread : NumericEntries("/proc/" + std::to_string(id) + "/task")) {
        if (thread != id) {
            EXPECT_EQ(StatField(id, thread, 19), 19);
        }
    }
}

TEST_F(Contracts, ProgramKeepsAClassAlreadyHeld) {
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    sched_param param = {};
    ASSERT_EQ(sched_setscheduler(id, SCHED_IDLE, &param), 0);
    EXPECT_EQ(Run({"-pl", marker_}), 1);
    EXPECT_EQ(Body(), path_ + " priority set to Low\n");
    EXPECT_EQ(Field(id, 41), SCHED_IDLE);
    if (geteuid() != 0) GTEST_SKIP() << "a raised nice value and real time need root";

    ASSERT_EQ(sched_setscheduler(id, SCHED_OTHER, &param), 0);
    ASSERT_EQ(setpriority(PRIO_PROCESS, id, -15), 0);
    EXPECT_EQ(Run({"-ph", marker_}), 1);
    EXPECT_EQ(Field(id, 19), -15);
    param.sched_priority = 50;
    ASSERT_EQ(sched_setscheduler(id, SCHED_FIFO, &param), 0);
    EXPECT_EQ(Run({"-pr", marker_}), 1);
    EXPECT_EQ(Field(id, 41), SCHED_FIFO);
    EXPECT_EQ(Field(id, 40), 50);
}

}  // namespace
