// A hold on real processes: copies started after it begins, a class changed
// back by hand, the stop signals, and a run without privilege.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace {

double Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// Bounds for an idle machine, ten times longer under a memory checker.
double Generous(double seconds) {
    const char* wrapper = std::getenv("HOISTER_TEST_WRAPPER");
    return wrapper && *wrapper ? seconds * 10 : seconds;
}

template <typename Condition>
bool Within(double seconds, Condition holds) {
    for (const double end = Now() + Generous(seconds); !holds(); usleep(20000))
        if (Now() > end) return false;
    return true;
}

std::size_t Count(const std::string& text, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

class Hold : public SleeperTest {
  protected:
    void TearDown() override {
        if (hold_ > 0 && kill(hold_, SIGKILL) == 0) waitpid(hold_, nullptr, 0);
        SleeperTest::TearDown();
    }

    void StartHold(const std::vector<std::string>& args,
                   const std::vector<std::string>& prefix = {}) {
        unlink((dir_ + "/out").c_str());  // what the last run showed has not happened yet
        hold_ = StartProgram(prefix, args, dir_ + "/out");
    }

    std::string Out() const { return ReadFile(dir_ + "/out"); }

    // The exit status, -1 when killed or still running after a generous
    // while; *took is the time from the signal to the end.
    int StopHold(int signal, double* took) {
        const double sent = Now();
        kill(hold_, signal);
        siginfo_t info;
        const bool ended = Within(5, [&] {
            info.si_pid = 0;
            return waitid(P_PID, hold_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid;
        });
        *took = Now() - sent;
        if (!ended) return -1;
        const pid_t id = hold_;
        hold_ = -1;
        return WaitProgram(id);
    }

    pid_t hold_ = -1;
};

TEST_F(Hold, ProgramGivesTheClassToLaterCopiesAndRestoresIt) {
    pid_t first = Start("0");
    StartHold({"-w1", "-a", "-pl", marker_});
    ASSERT_TRUE(Within(10, [&] { return StatField(first, first, 19) == 19; })) << Out();
    pid_t later = Start("0");
    EXPECT_TRUE(Within(10, [&] { return StatField(later, later, 19) == 19; })) << "started later";
    std::string changes = path_ + " priority set to Low\n" + path_ + " priority set to Low\n";
    if (geteuid() == 0) {
        ASSERT_EQ(setpriority(PRIO_PROCESS, later, 0), 0);
        EXPECT_TRUE(Within(10, [&] { return StatField(later, later, 19) == 19; })) << "by hand";
        changes += path_ + " priority set to Low\n";
    }
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    out_ = Out();
    EXPECT_EQ(Body(), changes);
}

TEST_F(Hold, ProgramEndsAtOnceOnSigintOrSigtermWithStatusOne) {
    pid_t copy = Start("0");
    const std::string matched = "(" + std::to_string(copy) + ") " + path_ + " matches target\n";
    for (int signal : {SIGINT, SIGTERM}) {
        StartHold({"-v", "-w100000", "-pl", marker_});  // a pause far longer than the test
        ASSERT_TRUE(Within(10, [&] { return Out().find(matched) != std::string::npos; }));
        double took;
        EXPECT_EQ(StopHold(signal, &took), 1) << strsignal(signal);
        EXPECT_LT(took, Generous(1)) << strsignal(signal);
    }
}

TEST_F(Hold, ProgramWithoutPrivilegeReportsItsFailureOnce) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    // A copy of nobody's own, in Low: nobody may not raise it to Normal.
    std::string oldPath = getenv("PATH");
    setenv("PATH", (dir_ + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(Run({"-f", "-pl", file_}, kNobody), 1) << Body();
    setenv("PATH", oldPath.c_str(), 1);
    ASSERT_EQ(FindByPath(path_).size(), 1u);

    StartHold({"-v", "-w1", "-pn", marker_}, kNobody);
    EXPECT_TRUE(Within(20, [&] { return Count(Out(), path_ + " matches target\n") >= 3; }));
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    EXPECT_EQ(Count(Out(), "Error: command to set " + path_ + " priority to Normal failed\n"), 1u)
        << Out();
}

}  // namespace
