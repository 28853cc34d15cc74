// A hold on real processes: copies started after it begins, a class changed
// back by hand, the stop signals, and a run without privilege.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

// The system call a process is blocked in, or -1.
long BlockedIn(pid_t id) {
    return std::atol(ReadFile("/proc/" + std::to_string(id) + "/syscall").c_str());
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
    SKIP_UNLESS_STARTS_AT_NORMAL();
    pid_t first = Start("0");
    StartHold({"-w1", "-a", "-pl", marker_});
    ASSERT_TRUE(Within(10, [&] { return StatField(first, first, 19) == 19; })) << Out();
    pid_t later = Start("1");
    // Each change is over once its line is written: a class set by hand
    // while the change still goes over the threads would be set by it.
    EXPECT_TRUE(Within(10, [&] {
        return StatField(later, later, 19) == 19 && Count(Out(), "Low\n") == 2;
    })) << "started later";
    std::string changes = path_ + " priority set to Low\n" + path_ + " priority set to Low\n";
    if (geteuid() == 0) {
        ASSERT_EQ(setpriority(PRIO_PROCESS, later, 0), 0);
        EXPECT_TRUE(Within(10, [&] {
            return StatField(later, later, 19) == 19 && Count(Out(), "Low\n") == 3;
        })) << "by hand";
        // A worker thread alone out of the class is as much out of it.
        pid_t worker = 0;
        for (pid_t thread : NumericEntries("/proc/" + std::to_string(later) + "/task"))
            if (thread != later) worker = thread;
        ASSERT_EQ(setpriority(PRIO_PROCESS, worker, 0), 0);
        EXPECT_TRUE(Within(10, [&] { return StatField(later, worker, 19) == 19; })) << "thread";
        changes += path_ + " priority set to Low\n" + path_ + " priority set to Low\n";
    }
    // A line follows its change: a stop before it is written cuts it.
    EXPECT_TRUE(Within(10, [&] { return Count(Out(), "Low\n") == Count(changes, "Low\n"); }));
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    out_ = Out();
    EXPECT_EQ(Body(), changes);
}

TEST_F(Hold, ProgramEndsAtOnceOnSigintSigtermOrSighupWithStatusOne) {
    Start("0");
    // Negative: the caller starts the hold with the signal blocked; its waits
    // let it in. Quiet: no write lets it in instead.
    for (int asked : {SIGINT, SIGTERM, SIGHUP, -SIGINT, -SIGTERM}) {
        const int signal = asked < 0 ? -asked : asked;
        sigset_t blocked, old;
        sigemptyset(&blocked);
        if (asked < 0) sigaddset(&blocked, signal);
        sigprocmask(SIG_BLOCK, &blocked, &old);
        StartHold({"-q", "-w100000", "-pl", marker_});  // a pause far longer than the test
        sigprocmask(SIG_SETMASK, &old, nullptr);
        ASSERT_TRUE(Within(10, [&] { return BlockedIn(hold_) == SYS_ppoll; }));
        double took;
        ASSERT_EQ(StopHold(signal, &took), 1) << asked;  // one that runs on is ended by TearDown
        EXPECT_LT(took, Generous(1)) << asked;
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

// Only an event can give a copy the class within a second of a -w60 hold's
// first round; without the privilege to listen, the hold says it polls.
TEST_F(Hold, ProgramCatchesACopyAsItStartsWhereEventsCanBeHad) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and setpriv";
    }
    pid_t first = Start("0");
    StartHold({"-v", "-w60", "-a", "-pl", marker_});
    // The line comes once the hold listens.
    ASSERT_TRUE(Within(10, [&] {
        return Out().find("Hold: processes are matched as they start, and every 60 seconds\n") !=
                   std::string::npos &&
               StatField(first, first, 19) == 19;
    })) << Out();
    pid_t copy = Start("0");
    EXPECT_TRUE(Within(1, [&] { return StatField(copy, copy, 19) == 19; })) << Out();

    // Execs while the hold is stopped overflow its socket, whose buffer has
    // the system's default size: an event takes more than 256 bytes of it,
    // and twice as many execs as that would fill it are run. The loss calls
    // for a round, and a start during that round is caught as it comes. What
    // was queued before the loss is dropped: the round sees it.
    const std::string round = "(" + std::to_string(first) + ") " + path_ + " matches target\n";
    ASSERT_EQ(kill(hold_, SIGSTOP), 0);
    const std::string stat = "/proc/" + std::to_string(hold_) + "/stat";
    ASSERT_TRUE(Within(10, [&] { return ReadFile(stat).find(") T ") != std::string::npos; }));
    // Other tests' starts may have overflowed the socket already.
    const std::size_t roundsBefore = Count(Out(), round);
    const pid_t queued = Start("0");
    const long execs = std::atol(ReadFile("/proc/sys/net/core/rmem_default").c_str()) / 128;
    for (long i = 0; i < execs; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            execl("/bin/true", "true", static_cast<char*>(nullptr));
            _exit(127);
        }
        waitpid(child, nullptr, 0);
    }
    ASSERT_EQ(kill(hold_, SIGCONT), 0);
    ASSERT_TRUE(Within(10, [&] { return Count(Out(), round) > roundsBefore; })) << Out();
    copy = Start("0");
    EXPECT_TRUE(Within(2, [&] { return StatField(copy, copy, 19) == 19; })) << Out();
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    const std::string queuedMatch = "(" + std::to_string(queued) + ") " + path_ + " matches";
    EXPECT_EQ(Count(Out(), queuedMatch), Count(Out(), round) - roundsBefore) << Out();

    // Without them, it looks for new processes four times a second: programs
    // of nobody's that live half a second are caught all the same, and so is
    // every tenth, which a shell execs under an ID that a poll has already seen.
    // Once its first round is over (a slow one outlasts the first programs),
    // it waits between polls.
    StartHold({"-v", "-w60", "-pl", marker_}, kNobody);
    EXPECT_TRUE(Within(10, [&] {
        return Out().find(
                   "Hold: new processes are matched within a quarter second, and all "
                   "every 60 seconds\n") != std::string::npos &&
               BlockedIn(hold_) == SYS_ppoll;
    })) << Out();
    const std::string said = dir_ + "/said", lifetime = std::to_string(int(Generous(0.5) * 1000));
    const std::string wrapped =
        "sleep 0.3; exec \"$0\" short " + std::to_string(int(Generous(1.5) * 1000));
    std::vector<pid_t> shorts;
    for (int i = 0; i < 100; ++i, usleep(20000)) {
        const pid_t id = fork();
        if (id == 0) {
            const int out = open(said.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            StartAtNormal();
            if (out >= 0 && dup2(out, 1) == 1 && setgid(65534) == 0 && setuid(65534) == 0) {
                if (i % 10 == 9)
                    execl("/bin/sh", "sh", "-c", wrapped.c_str(), path_.c_str(), (char*)nullptr);
                execl(path_.c_str(), path_.c_str(), "short", lifetime.c_str(), (char*)nullptr);
            }
            _exit(127);
        }
        shorts.push_back(id);
    }
    for (pid_t id : shorts)
        waitpid(id, nullptr, 0);
    // Fewer than 95 when the wrapped ones are missed.
    EXPECT_GE(Count(ReadFile(said), "19\n"), 95u) << ReadFile(said);
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
}

TEST_F(Hold, ProgramStopsAtOnceWhileAWriteBlocksAndDuringTheListingAndTheDelay) {
    Start("0");
    const struct {
        std::vector<std::string> args;
        int unread;  // bytes already in the pipe, which nobody reads; -1: output to a file
        long blockedIn;
    } cases[] = {
        {{"-v", "-w1", "-a", "-pl", marker_}, 0, SYS_write},
        {{"-l", "-w60", "-pl", marker_}, 3800, SYS_write},
        {{"-q", "-d100", "-w60", "-pl", marker_}, -1, SYS_ppoll},
    };
    for (const auto& c : cases) {
        int pipe[2] = {-1, -1};
        if (c.unread < 0) {
            StartHold(c.args);
        } else {
            ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
            ASSERT_EQ(fcntl(pipe[1], F_SETPIPE_SZ, 4096), 4096);
            const std::string fill(c.unread, 'x');
            ASSERT_EQ(write(pipe[1], fill.data(), fill.size()), c.unread);
            hold_ = StartProgramTo({}, c.args, pipe[1]);
            close(pipe[1]);
        }
        EXPECT_TRUE(Within(10, [&] { return BlockedIn(hold_) == c.blockedIn; })) << c.args[0];
        double took;
        EXPECT_EQ(StopHold(SIGTERM, &took), 1) << c.args[0];
        EXPECT_LT(took, Generous(1)) << c.args[0];
        if (hold_ > 0 && kill(hold_, SIGKILL) == 0) waitpid(hold_, nullptr, 0);
        hold_ = -1;
        if (pipe[0] >= 0) close(pipe[0]);
    }
}

// Past the banner nobody reads: each change waits at most 100 ms, then every
// match is changed all the same, and the count follows the next line written.
TEST_F(Hold, ProgramChangesEveryMatchWhileItsReaderStalls) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    std::vector<pid_t> copies;
    for (int i = 0; i < 20; ++i)
        copies.push_back(Start("0"));
    const std::size_t room = 134;  // for the two banner lines
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(pipe[1], F_SETPIPE_SZ, 4096), 4096);
    ASSERT_EQ(write(pipe[1], std::string(4096 - room, 'x').data(), 4096 - room), 4096 - room);
    hold_ = StartProgramTo({}, {"-w1", "-a", "-pl", marker_}, pipe[1]);
    close(pipe[1]);
    // Every copy changed, and the round over: the hold waits for the next,
    // about 100 ms after the first change, whose line waited for the reader.
    ASSERT_TRUE(Within(10, [&] {
        for (pid_t id : copies)
            if (StatField(id, id, 19) == 19) return true;
        return false;
    }));
    EXPECT_TRUE(Within(0.5, [&] {
        for (pid_t id : copies)
            if (StatField(id, id, 19) != 19) return false;
        return BlockedIn(hold_) == SYS_ppoll;
    }));
    char buffer[4096];
    ASSERT_EQ(read(pipe[0], buffer, 4096), 4096);
    Start("0");  // its line gets through, then the count
    const std::string rest =
        path_ + " priority set to Low\nError: 20 messages could not be written\n";
    std::string out;
    pollfd ready = {pipe[0], POLLIN, 0};
    for (ssize_t got = 1; got > 0 && out.size() < rest.size() && poll(&ready, 1, 10000) == 1;)
        if ((got = read(pipe[0], buffer, sizeof buffer)) > 0) out.append(buffer, got);
    EXPECT_EQ(out, rest);
    close(pipe[0]);
}

// Workers forked by a program whose class was changed behind the hold's back
// are caught as they start, not at the next round.
TEST_F(Hold, ProgramCatchesWorkersForkedWithoutExec) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const pid_t parent = Start("workers");
    StartHold({"-v", "-w60", "-pl", marker_});
    // Its first round over: on a busy machine it may outlast the time allowed.
    ASSERT_TRUE(Within(10, [&] {
        return StatField(parent, parent, 19) == 19 &&
               Out().find("as they start") != std::string::npos && BlockedIn(hold_) == SYS_ppoll;
    })) << Out();
    ASSERT_EQ(setpriority(PRIO_PROCESS, parent, 0), 0);
    kill(parent, SIGUSR1);
    EXPECT_TRUE(Within(2, [&] {
        std::vector<pid_t> all = FindByPath(path_);
        for (pid_t id : all)
            if (id != parent && StatField(id, id, 19) != 19) return false;
        return all.size() == 21;
    })) << Out();
}

// A hold in a PID namespace gets no answer of its own, only a host hold's.
TEST_F(Hold, ProgramInAPidNamespaceKeepsRoundsBesideAHostHold) {
    if (geteuid() != 0 || std::system("unshare -pf --mount-proc true 2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and unshare";
    StartHold({"-v", "-w60", "-pl", marker_}, {"unshare", "-pf", "--mount-proc", "--kill-child"});
    ASSERT_TRUE(Within(10, [&] { return Out().find("Target:") != std::string::npos; }));
    const pid_t host = StartProgram({}, {"-v", "-w60", "-pl", marker_}, dir_ + "/host");
    EXPECT_TRUE(Within(10, [&] {
        return Out().find("Hold: new processes are matched within") != std::string::npos;
    })) << Out();
    EXPECT_TRUE(Within(
        10, [&] { return ReadFile(dir_ + "/host").find("as they start") != std::string::npos; }));
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);

    // Without a /proc of its own it sees the host's processes (and may not
    // change them: their IDs are not its namespace's), whose newest ID is not
    // its namespace's: its polls take the whole list.
    kill(hold_, SIGKILL);
    waitpid(hold_, nullptr, 0);
    StartHold({"-v", "-w60", "-pl", marker_}, {"unshare", "-pf", "--kill-child"});
    ASSERT_TRUE(Within(10, [&] { return Out().find("Hold: new") != std::string::npos; })) << Out();
    const pid_t copy = Start("0");
    const std::string seen = "(" + std::to_string(copy) + ") " + path_ + " matches";
    EXPECT_TRUE(Within(2, [&] { return Out().find(seen) != std::string::npos; })) << Out();
}

// One hold, three targets in two classes: a file, a folder and a word; a
// program under the folder that the word also names takes the folder's.
TEST_F(Hold, ProgramHoldsSeveralTargetsAndTheFirstMatchedGivesTheClass) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string word = "c" + marker_, folder = dir_ + "/b/";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const pid_t a = Start("0", path_), b = Start("0", folder + word);
    StartHold({"-w60", "-a", "-pl", path_, "-ph", folder, "-pl", word});
    ASSERT_TRUE(Within(10, [&] { return StatField(a, a, 19) == 19; })) << Out();
    EXPECT_TRUE(Within(10, [&] { return StatField(b, b, 19) == -10; })) << Out();
    const pid_t c = Start("0", dir_ + "/" + word);
    EXPECT_TRUE(Within(2, [&] { return StatField(c, c, 19) == 19; })) << "started later\n" << Out();
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    std::system(("rm -r " + folder).c_str());
}

}  // namespace

// A root hold of a rules file takes an edit by rename (as editors and
// package managers save) for a copy started after it, and refuses a file
// that others may write. The copy is named by its file name alone.
TEST_F(Hold, ProgramFollowsARulesFileReplacedByRenameAndRefusesOneOthersMayWrite) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    if (geteuid() != 0) GTEST_SKIP() << "the rules file's ownership rules are root's";
    const std::string rules = dir_ + "/rules";
    std::ofstream(rules) << "# none yet\n";
    ASSERT_EQ(chmod(rules.c_str(), 0644), 0);
    StartHold({"-w100000", "-a", "@" + rules});
    ASSERT_TRUE(Within(10, [&] { return BlockedIn(hold_) == SYS_ppoll; })) << Out();
    std::ofstream(rules + ".new") << "normal =" << marker_ << "\r\nlow  =" << file_ << " \n";
    ASSERT_EQ(chmod((rules + ".new").c_str(), 0644), 0);
    ASSERT_EQ(rename((rules + ".new").c_str(), rules.c_str()), 0);
    const double edited = Now();
    const pid_t later = Start("1");
    EXPECT_TRUE(Within(10, [&] { return StatField(later, later, 19) == 19; })) << Out();
    EXPECT_LT(Now() - edited, Generous(2.2));
    double took;
    EXPECT_EQ(StopHold(SIGTERM, &took), 1);
    out_ = Out();
    EXPECT_EQ(Body(), path_ + " priority set to Low\n");

    ASSERT_EQ(chmod(rules.c_str(), 0646), 0);
    EXPECT_EQ(Run({"@" + rules}), 0);
    EXPECT_EQ(Body(), "Error: " + rules + " may be changed by users other than root\n");
}
