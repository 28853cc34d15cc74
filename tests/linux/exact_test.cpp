// The program acts on exactly what it was given: processes that still run,
// never itself, the program a path names; and a hold keeps an ignored
// SIGTERM ignored.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support.h"

namespace {

bool Wrapped() {
    const char* wrapper = std::getenv("HOISTER_TEST_WRAPPER");
    return wrapper && *wrapper;
}

class Exact : public SleeperTest {
  protected:
    // The one copy of path that runs besides those in known, after a while.
    pid_t WaitForNew(const std::string& path, const std::vector<pid_t>& known) {
        for (int i = 0; i < 400; ++i) {
            for (pid_t id : FindByPath(path)) {
                bool old = false;
                for (pid_t k : known)
                    old = old || k == id;
                if (!old) return id;
            }
            usleep(25000);
        }
        return -1;
    }
};

TEST_F(Exact, ProgramTakesAnEndedProcessForNoMatch) {
    // A zombie answers every scheduler call, yet has ended: its ID is not found.
    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    ASSERT_GT(zombie, 0);
    const std::string zombieId = std::to_string(zombie);
    for (int i = 0;
         i < 400 && ReadFile("/proc/" + zombieId + "/stat").find(") Z ") == std::string::npos; ++i)
        usleep(5000);
    ASSERT_NE(ReadFile("/proc/" + zombieId + "/stat").find(") Z "), std::string::npos);
    EXPECT_EQ(Run({"-pl", "-#" + zombieId}), 0);
    EXPECT_EQ(Body(), "Error: Process with ID #" + zombieId + " not found.\n");

    // One whose main thread alone has ended runs on.
    pid_t orphan = StartOrphan();
    ASSERT_GT(orphan, 0);
    EXPECT_EQ(Run({"-pl", "-#" + std::to_string(orphan)}), 1);
    EXPECT_EQ(Body(), path_ + " priority set to Low\n");

    // Children of this copy end within 2 ms, many between the walk and
    // their change: none of them is an error.
    pid_t parent = Start("processes");
    ASSERT_GT(parent, 0);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(Run({"-a", i % 2 && geteuid() == 0 ? "-pn" : "-pl", marker_}), 1);
        EXPECT_EQ(Body().find("Error"), std::string::npos) << Body();
    }
}

TEST_F(Exact, ProgramNeverMatchesItself) {
    // A prefix runs the copy of the program in a folder of its own.
    const std::string copy = ProgramForEveryone();
    const std::string folder = copy.substr(0, copy.rfind('/') + 1);
    pid_t self = StartProgram({"env"}, {"-l", "-v", "-pl", folder}, dir_ + "/out");
    EXPECT_EQ(WaitProgram(self), 1);
    out_ = ReadFile(dir_ + "/out");
    EXPECT_EQ(out_.find("priority set"), std::string::npos) << out_;
    if (!Wrapped() && StartsAtNormal()) {  // then it is listed at Normal
        char line[512];
        std::snprintf(line, sizeof line, "%4d Normal   %s\n", self, copy.c_str());
        EXPECT_NE(out_.find(line), std::string::npos) << "still listed\n" << out_;
        EXPECT_NE(out_.find("Process " + copy + " priority unchanged\n"), std::string::npos);
    }

    // Named as the program to start if missing, it is missing: it starts.
    EXPECT_EQ(Run({"-s", copy}, {"env"}), 1);
    EXPECT_EQ(Body(), "Created: \"" + copy + " \"\n");
}

TEST_F(Exact, ProgramMatchesAPathByTheProgramThatRunsFromIt) {
    pid_t id = Start("0");
    ASSERT_GT(id, 0);
    const std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    const std::string folder = dir_.substr(dir_.rfind('/') + 1);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    for (const std::string& target : {link, "./" + file_, "../" + folder + "/./" + file_}) {
        EXPECT_EQ(Run({"-s", "-pl", target}), 1) << target;
        EXPECT_EQ(Body(), path_ + " priority set to Low\n") << target;
    }
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(FindByPath(path_), std::vector<pid_t>{id}) << "-s started a copy";
    // A folder is matched as given, not as the path it resolves to, with
    // which the copy's path begins.
    const std::string sibling = dir_ + "/" + file_.substr(0, file_.find(' '));
    ASSERT_EQ(mkdir(sibling.c_str(), 0755), 0);
    EXPECT_EQ(Run({"-pl", sibling + "/"}), 1);
    EXPECT_EQ(Body(), "");

    // -f starts the target as given.
    EXPECT_EQ(Run({"-f", link}), 1);
    pid_t started = WaitForNew(path_, {id});
    ASSERT_GT(started, 0);
    started_.push_back(started);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(started) + "/cmdline"), link + '\0');
}

TEST_F(Exact, ProgramHoldLeavesAnIgnoredSigtermIgnored) {
    pid_t hold = StartProgram({"sh", "-c", "trap '' TERM; exec \"$0\" \"$@\""},
                              {"-v", "-w1", "-pl", marker_}, dir_ + "/out");
    ASSERT_GT(hold, 0);
    // Once a round has run, the stop signals are caught.
    for (int i = 0; i < 400 && ReadFile(dir_ + "/out").find("unchanged") == std::string::npos; ++i)
        usleep(25000);
    kill(hold, SIGTERM);
    usleep(Wrapped() ? 3000000 : 300000);
    siginfo_t info = {};
    auto ended = [&] {
        info.si_pid = 0;
        return waitid(P_PID, hold, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid;
    };
    EXPECT_FALSE(ended()) << "ended by an ignored SIGTERM";
    kill(hold, SIGINT);
    for (int i = 0; i < 400 && !ended(); ++i)
        usleep(25000);
    if (!ended()) kill(hold, SIGKILL);
    EXPECT_EQ(WaitProgram(hold), 1) << "SIGINT still stops it";
}

}  // namespace

// A path names one file: a copy whose name holds the path is another program,
// a hard link is the same one.
TEST_F(Exact, ProgramMatchesAPathThatNamesAFileByThatFileAlone) {
    SKIP_UNLESS_STARTS_AT_NORMAL();
    const std::string old = path_ + "-old", hard = dir_ + "/hard";
    std::ofstream(old, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
    ASSERT_EQ(chmod(old.c_str(), 0755) | link(path_.c_str(), hard.c_str()), 0);
    pid_t ids[2];
    for (int i = 0; i < 2; ++i) {
        std::string file = i ? hard : old;
        std::swap(path_, file), ids[i] = Start("0"), std::swap(path_, file);
    }
    EXPECT_EQ(Run({"-s", "-a", "-pl", path_}), 1);
    EXPECT_EQ(Body(), hard + " priority set to Low\n");
    EXPECT_EQ(StatField(ids[0], ids[0], 19), 0) << old;
}

// A path names nothing but itself: a missing file, a file being reinstalled
// and a folder, with or without its slash, reach no program of nobody's
// elsewhere, whatever the path holds.
TEST_F(Exact, ProgramGivesAPathsClassToNothingOutsideIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::string app = dir_ + "/srv/app", held = app + "/server";
    const std::string paths[] = {dir_ + "/x" + held, dir_ + "/srv/app2/server", app + "/sub/y"};
    const std::string folders = " " + dir_ + "/x" + app + " " + app + "/sub " + dir_ + "/srv/app2";
    ASSERT_EQ(std::system(("umask 022; mkdir -p" + folders).c_str()), 0);
    std::vector<pid_t> ids;
    for (const std::string& path : paths)
        ids.push_back(Start("0", path, true));
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const std::string parent = "../" + marker_ + "/srv/./app";
    // The kernel reads ".." after the link: this names paths[0].
    ASSERT_EQ(symlink((dir_ + "/x" + app).c_str(), (dir_ + "/srv/link").c_str()), 0);
    // Which of paths each target changes.
    for (const std::string& row :
         {held + " 000", app + " 001", std::string("./srv/app/ 001"), parent + " 001",
          app + "/ 001", parent + "/server 000", marker_ + "/srv/app/server 100",
          dir_ + "/srv/link/../app/server 100"}) {
        std::string changed;
        for (pid_t id : ids)
            setpriority(PRIO_PROCESS, id, 0);
        EXPECT_EQ(Run({"-a", "-ph", row.substr(0, row.size() - 4)}), 1) << row;
        for (pid_t id : ids)
            changed += StatField(id, id, 19) ? '1' : '0';
        EXPECT_EQ(changed, row.substr(row.size() - 3)) << row << "\n" << Body();
    }
    // From a current folder that was removed, "./" names nothing (in a PID
    // namespace of its own, which holds only a copy besides the program).
    const std::string gone =
        "mkdir gone && cd gone && rmdir ../gone && exec unshare -pf --mount-proc "
        "sh -c '\"$0\" 0 & sleep 0.3; exec \"$1\" -a -pl ./' '" +
        path_ + "' " + HOISTER_PROGRAM + " >out";
    if (std::system(gone.c_str()) == 256) {
        EXPECT_EQ(ReadFile(dir_ + "/out").find("set"), std::string::npos) << ReadFile("out");
    }
    ASSERT_EQ(chdir("/"), 0);

    // Nobody's own copy, bind-mounted at the held file in a namespace of its
    // own, runs under the held path: it is another file.
    std::ofstream(held, std::ios::binary) << ReadFile(SLEEPER_PROGRAM);
    const std::string bind = "setpriv --reuid=65534 --regid=65534 --clear-groups unshare -Urm ";
    if (chmod(held.c_str(), 0700) || std::system((bind + "true 2>/dev/null").c_str())) {
        std::cerr << "nobody may not unshare -Urm here: no bind mount row\n";
    } else {
        std::system((bind + "sh -c 'mount --bind \"$0\" \"$1\"; exec \"$1\" 0' " + paths[1] + " " +
                     held + " >/dev/null &")
                        .c_str());
        for (int i = 0; i < 300 && FindByPath(held).empty(); ++i)
            usleep(10000);
        ASSERT_EQ(FindByPath(held).size(), 1u);
        const pid_t bound = FindByPath(held)[0];
        started_.push_back(bound);
        setpriority(PRIO_PROCESS, bound, 0);
        EXPECT_EQ(Run({"-a", "-ph", held}), 1);
        EXPECT_EQ(StatField(bound, bound, 19), 0) << Body();
    }
    unlink(held.c_str());

    // Held while it is missing, the path catches the program installed there
    // as it starts; reinstalled, it catches the new one, and nothing else.
    // A link flipped to another file names the new one as it starts.
    const std::string current = dir_ + "/srv/current", next = dir_ + "/srv/next",
                      version = dir_ + "/srv/v2";
    ASSERT_EQ(symlink(paths[1].c_str(), current.c_str()), 0);
    const pid_t hold = StartProgram(
        {}, {"-v", "-w60", "-a", "-ph", app + "/new/../server", current}, dir_ + "/out");
    for (int i = 0; i < 100 && ReadFile(dir_ + "/out").find("Hold:") == std::string::npos; ++i)
        usleep(50000);
    // The hold judges starts in their order: nobody's copy before the other.
    for (int i = 0; i < 2; ++i, unlink(held.c_str())) {
        const pid_t other = Start("0", paths[0], true), installed = Start("0", held);
        for (int tenths = 0;
             tenths < (Wrapped() ? 300 : 30) && !StatField(installed, installed, 19); ++tenths)
            usleep(100000);
        EXPECT_NE(StatField(installed, installed, 19), 0) << i;
        EXPECT_EQ(StatField(other, other, 19), 0) << i;
    }
    ASSERT_EQ(symlink(version.c_str(), next.c_str()) | rename(next.c_str(), current.c_str()), 0);
    const pid_t flipped = Start("0", version);
    for (int tenths = 0; tenths < (Wrapped() ? 300 : 15) && !StatField(flipped, flipped, 19);
         ++tenths)
        usleep(100000);
    EXPECT_NE(StatField(flipped, flipped, 19), 0) << "the link's new file";
    kill(hold, SIGTERM);
    EXPECT_EQ(WaitProgram(hold), 1);
    std::system(("rm -rf " + dir_ + "/srv " + dir_ + "/x").c_str());
}
