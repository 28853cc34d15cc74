#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "actions/actions.h"
#include "harness.h"
#include "platform/win32/console_events.h"

namespace {

typedef std::vector<std::pair<plat::DWORD, plat::DWORD>> Changes;

const std::string kA = "C:\\a\\backup.exe", kB = "D:\\BACKUP\\b.exe", kC = "C:\\c\\backup.exe";
const std::string kD = "E:\\backup\\d.exe";
const std::string kRefused = " priority to Low failed\n";

scripted::Process* Find(plat::DWORD id) {
    for (scripted::Process& process : scripted::World().processes)
        if (process.id == id) return &process;
    return nullptr;
}

class Hold : public ScriptedTest {};

}  // namespace

TEST_F(Hold, EachRoundChangesWhatIsNotInTheClassAndReportsAFailureOnce) {
    AddProcess(1, kA).startTime = 100;
    AddProcess(2, kB, plat::IDLE_PRIORITY_CLASS);
    AddProcess(3, "C:\\other.exe");
    scripted::World().stopAtWait = 6;
    scripted::World().betweenRounds = [](int round) {
        scripted::State& world = scripted::World();
        if (round == 1) {  // one appears, one vanishes, one is changed back behind our back
            AddProcess(4, kC).startTime = 400;
            world.processes.erase(world.processes.begin() + 1);
            Find(1)->priorityClass = plat::NORMAL_PRIORITY_CLASS;
        }
        if (round == 2) Find(4)->openForSet = false;
        if (round == 3) {
            Find(1)->priorityClass = plat::NORMAL_PRIORITY_CLASS;
            Find(1)->setClassFails = true;
        }
        if (round == 4) {
            Find(4)->openForSet = true;
            Find(4)->priorityClass = plat::HIGH_PRIORITY_CLASS;
        }
        if (round == 5) Find(4)->openForSet = false;
    };
    RunResult run = RunHoister({"-w7", "-a", "-pl", "backup"});
    EXPECT_EQ(run.status, 1);
    const std::string setA = kA + " priority set to Low\n", setC = kC + " priority set to Low\n";
    const std::string failA = "Error: command to set " + kA + kRefused;
    const std::string failC = "Error: command to set " + kC + kRefused;
    EXPECT_EQ(run.out, kBanner + setA + setA + setC + failC + failA + setC + failC);
    EXPECT_EQ(scripted::World().priorityChanges,
              (Changes{{1, 0x40}, {1, 0x40}, {4, 0x40}, {4, 0x40}}));
    EXPECT_EQ(scripted::World().nonZeroWaits, 6);
}

TEST_F(Hold, WithoutAllTheFirstMatchCountsInEveryRoundAndVerboseShowsItLeftAlone) {
    AddProcess(1, kA);
    AddProcess(2, kB);
    scripted::World().stopAtWait = 2;
    RunResult run = RunHoister({"-v", "-w1", "-pl", "backup"});
    const std::string matchA = "Process(1) " + kA + " matches target\n";
    const std::string matchB = "Process(2) " + kB + " matches target\n";
    const std::string notB = "Process(2) " + kB + " does not match target\n";
    EXPECT_EQ(
        run.out,
        kBanner + std::string("Target: \"backup\"\n") +
            "Hold: new processes are matched within a quarter second, and all every 1 seconds\n" +
            matchA + kA + " priority set to Low\n" + matchB + notB + matchA + matchB + notB);
    EXPECT_EQ(scripted::World().priorityChanges, (Changes{{1, 0x40}}));
}

TEST_F(Hold, AFailedWalkIsReportedInItsRoundAndTriedAgain) {
    AddProcess(1, kA);
    scripted::World().psapiMissing = true;
    scripted::World().stopAtWait = 3;
    scripted::World().betweenRounds = [](int round) { scripted::World().psapiMissing = round < 2; };
    RunResult run = RunHoister({"-w2", "-pl", "backup"});
    const std::string noPsapi = "Error: could not load NT library PSAPI.DLL\n";
    EXPECT_EQ(run.out, kBanner + noPsapi + noPsapi + kA + " priority set to Low\n");
    EXPECT_EQ(run.status, 1);
    ExpectNothingOutstanding();

    // A poll judges a process only against a list that was taken: none is new
    // to the first list after a failure.
    scripted::Reset();
    AddProcess(1, kA);
    scripted::World().psapiMissing = true;
    scripted::World().stopAtPoll = 3;
    scripted::World().betweenPolls = [](int poll) { scripted::World().psapiMissing = poll < 2; };
    EXPECT_EQ(RunHoister({"-w2", "-pl", "backup"}).out, kBanner + noPsapi);
    EXPECT_TRUE(scripted::World().priorityChanges.empty());
}

TEST_F(Hold, AStopEndsTheRunAfterTheChangeUnderWayOrAtOnceBetweenRounds) {
    const struct {
        plat::DWORD platform;
        int stopAtSetClass, stopAtWait;
        Changes changes;
        std::size_t waits;  // the non-zero ones
    } cases[] = {
        {plat::VER_PLATFORM_WIN32_NT, 2, 0, {{1, 0x40}, {2, 0x40}}, 0},
        {plat::VER_PLATFORM_WIN32_WINDOWS, 2, 0, {{1, 0x40}, {2, 0x40}}, 0},
        {plat::VER_PLATFORM_WIN32_NT, 4, 0, {{1, 0x40}, {2, 0x40}, {3, 0x40}, {1, 0x40}}, 1},
        {plat::VER_PLATFORM_WIN32_NT, 0, 1, {{1, 0x40}, {2, 0x40}, {3, 0x40}}, 1},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().platformId = c.platform;
        scripted::World().stopAtSetClass = c.stopAtSetClass;
        scripted::World().stopAtWait = c.stopAtWait;
        scripted::World().betweenRounds = [](int) { Find(1)->priorityClass = 0x20; };
        for (plat::DWORD id : {1, 2, 3})
            AddProcess(id, kA);
        RunResult run = RunHoister({"-w60", "-a", "-pl", "backup"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(scripted::World().priorityChanges, c.changes) << c.stopAtSetClass;
        EXPECT_EQ(static_cast<std::size_t>(scripted::World().nonZeroWaits), c.waits);
        // Every change made has its line, and the hold says it has stopped
        // before it frees a library (which may wait for the stop's handler).
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 2 + c.changes.size());
        const auto& calls = scripted::World().calls;
        EXPECT_LT(std::find(calls.begin(), calls.end(), "NoteHoldStopped") - calls.begin(),
                  std::find(calls.begin(), calls.end(), "FreeLibrary PSAPI.DLL") - calls.begin());
        ExpectNothingOutstanding();
    }
}

TEST_F(Hold, WithoutEventsEachNewIdIsJudgedOnceByThePollThatFindsIt) {
    for (plat::DWORD platform : {plat::VER_PLATFORM_WIN32_NT, plat::VER_PLATFORM_WIN32_WINDOWS}) {
        scripted::Reset();
        scripted::World().platformId = platform;
        AddProcess(8, kA);  // the IDs come out of order
        scripted::World().atSetClass = [](int call) {
            if (call == 1) AddProcess(4, kA);  // during the round: the first poll's
        };
        scripted::World().betweenPolls = [](int poll) {
            scripted::State& world = scripted::World();
            if (poll == 2) {
                AddProcess(5, kC);                           // new: changed
                AddProcess(6, kB).nameReadable = false;      // NT: no name yet, asked again
                for (plat::DWORD id = 100; id < 1200; ++id)  // the lists grow: 8 is no start
                    AddProcess(id, "C:\\idle.exe");
                Find(8)->priorityClass = plat::NORMAL_PRIORITY_CLASS;
            } else if (poll == 3) {
                Find(5)->priorityClass = plat::NORMAL_PRIORITY_CLASS;  // in both lists
                Find(6)->nameReadable = true;
            }
            // No list at poll 4, where the newest ID is first known: poll 5
            // judges what started since poll 3.
            world.enumProcessesFails = world.snapshotFails = poll == 4;
            world.newestProcessId = poll >= 4 ? 5000 : 0;
            if (poll == 4) AddProcess(7, kD);
        };
        RunResult run = RunHoister({"-w2", "-pl", "backup"});
        const std::string setA = kA + " priority set to Low\n";
        EXPECT_EQ(run.out, kBanner + setA + setA + kC + " priority set to Low\n" + kB +
                               " priority set to Low\n" + kD + " priority set to Low\n");
        EXPECT_EQ(scripted::World().priorityChanges,
                  (Changes{{8, 0x40}, {4, 0x40}, {5, 0x40}, {6, 0x40}, {7, 0x40}}));
        EXPECT_EQ(scripted::World().polls, 7);
        ExpectNothingOutstanding();
    }
}

// Unnamed processes settle: one without a name after 5 seconds, one
// that may not be opened at once; a read refused after the open (Wine, while
// a process has no thread yet) is asked again. Where an exec keeps the ID, a
// young process that execs is a start. The list is taken only when the
// newest ID has moved.
TEST_F(Hold, APollSettlesTheUnnamedLooksAgainAtTheYoungAndListsOnlyWhatIsNew) {
    for (bool exec : {false, true}) {
        scripted::Reset();
        scripted::State& world = scripted::World();
        world.execKeepsId = exec;
        world.newestProcessId = 6;
        world.betweenPolls = [](int poll) {
            scripted::State& world = scripted::World();
            if (poll == 1) {
                world.newestProcessId = 10;
                AddProcess(7, "C:\\bin\\sh.exe");
                AddProcess(8, kB).openForQuery = false;
                AddProcess(9, kC).nameReadable = false;
                AddProcess(10, kD).nameReadable = false;
                Find(10)->nameError = plat::ERROR_ACCESS_DENIED;
            } else if (poll == 2) {
                Find(7)->name = kA;  // the exec
                Find(8)->openForQuery = true;
            } else if (poll == 3) {
                Find(10)->nameReadable = true;
            } else if (poll == 24) {
                Find(9)->nameReadable = true;
            }
        };
        RunResult run = RunHoister({"-w7", "-pl", "backup"});
        const std::string set = " priority set to Low\n";
        EXPECT_EQ(run.out, kBanner + (exec ? kA + set : "") + kD + set) << exec;
        EXPECT_EQ(world.polls, 27);
        // The first list and the round's: poll 1 looks at the new IDs alone.
        EXPECT_EQ(world.enumProcessesSizes.size(), 2u);
        EXPECT_EQ(scripted::CallsStartingWith("IsProcessId").size(), 4u);
        // The program after the exec is noted: judged once, not at each poll.
        EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x600 7").size(), exec ? 1u : 0u);
        // Read when new, then at polls 2 to 21 (5 s), the last of which gives up.
        EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x410 9").size(), 21u);
        ExpectNothingOutstanding();
    }
}

// A wrapper first seen by the list before a round, which execs right after
// that round, is caught by the next poll, however many started after it.
TEST_F(Hold, AWrapperFirstListedBeforeARoundIsLookedAtAgainAfterIt) {
    scripted::World().execKeepsId = true;
    scripted::World().stopAtWait = 2;
    scripted::World().betweenRounds = [](int) {
        AddProcess(7, "C:\\bin\\sh.exe");
        for (plat::DWORD id = 100; id < 1200; ++id)
            AddProcess(id, "C:\\idle.exe");
    };
    scripted::World().betweenPolls = [](int poll) {
        if (poll == 4) Find(7)->name = kA;
    };
    EXPECT_EQ(RunHoister({"-w1", "-pl", "backup"}).out, kBanner + kA + " priority set to Low\n");
}

// Where the newest ID tells what was handed out since the last poll, a small
// step is looked at ID by ID: a thread's ID, and one that a listed process
// still holds, is no start; a listed ID handed out again is, and so is one
// whose process shows only after the step. A wrap or a larger step takes the
// whole list; without a newest ID (a /proc of another PID namespace), every
// poll does, and an ID handed out again is left to the round.
TEST_F(Hold, APollLooksOnlyAtTheIdsHandedOutSinceTheLast) {
    const struct {
        plat::DWORD from, to;
        std::size_t looks, lists;  // the lists: the first, the round's and the polls'
        Changes changes;
    } cases[] = {
        {100, 106, 11, 3, {{103, 0x40}, {104, 0x40}, {105, 0x40}, {106, 0x40}}},
        {32000, 106, 2, 4, {{103, 0x40}, {104, 0x40}, {105, 0x40}}},
        {100, 1200, 2, 4, {{103, 0x40}, {104, 0x40}, {105, 0x40}}},
        {0, 0, 0, 5, {{103, 0x40}, {104, 0x40}}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        static plat::DWORD to, from;
        to = c.to, from = c.from;
        scripted::World().newestProcessId = c.from;
        AddProcess(103, kC);
        AddProcess(105, "C:\\gone.exe");
        scripted::World().betweenPolls = [](int poll) {
            scripted::State& world = scripted::World();
            if (poll == 2 && to) world.newestProcessId = to + 2;
            if (poll == 2 && from == 100 && to == 106) AddProcess(106, kA);
            if (poll == 3 && to) world.newestProcessId = to + 3000;  // the steps' starts listed
            if (poll != 1) return;
            world.newestProcessId = to;
            Find(103)->priorityClass = plat::NORMAL_PRIORITY_CLASS;  // left to the round
            world.processes.pop_back();
            AddProcess(105, kB).startTime = world.tickCount;
            AddProcess(104, kD);
            AddProcess(102, kA);
            world.threadIds = {102};
        };
        RunHoister({"-w1", "-pl", "backup"});
        EXPECT_EQ(scripted::World().priorityChanges, c.changes) << c.from;
        EXPECT_EQ(scripted::CallsStartingWith("IsProcessId").size(), c.looks) << c.from;
        EXPECT_EQ(scripted::World().enumProcessesSizes.size(), c.lists) << c.from;
        EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x600 104").size(), 1u) << c.from;
        ExpectNothingOutstanding();
    }
}

// A list past 16,384 IDs grows once, at the first list; polls allocate and
// load nothing, and everything is released when the hold ends.
TEST_F(Hold, ManyProcessesStayAPollThatLoadsAndAllocatesNothing) {
    for (plat::DWORD platform : {plat::VER_PLATFORM_WIN32_NT, plat::VER_PLATFORM_WIN32_WINDOWS}) {
        scripted::Reset();
        scripted::World().platformId = platform;
        for (plat::DWORD id = 1; id <= 17000; ++id)
            AddProcess(id * 4, "C:\\idle.exe");
        static std::size_t allocations, loads;
        scripted::World().betweenPolls = [](int poll) {
            if (poll == 1) {
                allocations = scripted::CallsStartingWith("HeapAlloc").size();
                loads = scripted::CallsStartingWith("LoadLibraryA").size();
            }
            if (poll == 2) AddProcess(2, kC);
        };
        RunResult run = RunHoister({"-w1", "-pl", "backup"});
        EXPECT_EQ(run.out, kBanner + kC + " priority set to Low\n");
        EXPECT_EQ(scripted::CallsStartingWith("HeapAlloc").size(), allocations);
        EXPECT_EQ(scripted::CallsStartingWith("LoadLibraryA").size(), loads);
        EXPECT_EQ(loads, platform == plat::VER_PLATFORM_WIN32_NT ? 3u : 1u);
        ExpectNothingOutstanding();
    }
}

TEST_F(Hold, WithEventsEachNewMatchIsChangedAsItStartsAndLostEventsCallForARound) {
    scripted::State& world = scripted::World();
    AddProcess(1, kA, plat::IDLE_PRIORITY_CLASS).threadClass = plat::NORMAL_PRIORITY_CLASS;
    world.eventsAvailable = true;
    world.millisecondsPerEvent = 1500;  // the second start comes after the pause: a round
    scripted::Process match, other, late;
    match.id = 5, match.name = kC, other.id = 6, other.name = "C:\\other.exe";
    late.id = 7, late.name = kB;
    world.startEvents = {{plat::HOLD_WAIT_STARTED, match},
                         {plat::HOLD_WAIT_STARTED, other},
                         {plat::HOLD_WAIT_LOST, {}},
                         {plat::HOLD_WAIT_STARTED, late}};
    world.stopAtSetClass = 3;  // during the change of the last start
    RunResult run = RunHoister({"-v", "-w2", "-pl", "backup"});
    EXPECT_EQ(run.status, 1);
    const std::string match1 = "Process(1) " + kA + " matches target\n";
    const std::string match5 = "Process(5) " + kC + " matches target\n";
    const std::string round = match1 + match5 + "Process(5) " + kC +
                              " does not match target\nProcess C:\\other.exe priority unchanged\n";
    EXPECT_EQ(run.out, kBanner + std::string("Target: \"backup\"\n") +
                           "Hold: processes are matched as they start, and every 2 seconds\n" +
                           match1 + kA + " priority set to Low\n" + match5 + kC +
                           " priority set to Low\nProcess C:\\other.exe priority unchanged\n" +
                           round + round + "Process(7) " + kB + " matches target\n" + kB +
                           " priority set to Low\n");
    EXPECT_EQ(world.priorityChanges, (Changes{{1, 0x40}, {5, 0x40}, {7, 0x40}}));
    EXPECT_EQ(scripted::CallsStartingWith("WaitForStopOrProcessStart"),
              (std::vector<std::string>{
                  "WaitForStopOrProcessStart 2000", "WaitForStopOrProcessStart 500",
                  "WaitForStopOrProcessStart 2000", "WaitForStopOrProcessStart 2000"}));
}

TEST_F(Hold, AFailureIsReportedOncePerProcessStartAndPastTheTableInOneLinePerRound) {
    const struct {
        bool startKnown;
        std::uint64_t start;
        std::string name;
        int reports;
    } reuses[] = {
        {true, 5, kA, 1},   // the same process
        {true, 7, kA, 2},   // a new one under the same ID
        {false, 0, kC, 2},  // no start known: another file is another process
        {false, 0, kA, 1},
    };
    for (const auto& c : reuses) {
        scripted::Reset();
        AddProcess(4, kA).openForSet = false;
        scripted::World().processes[0].startKnown = c.startKnown;
        scripted::World().processes[0].startTime = 5;
        scripted::World().stopAtWait = 2;
        scripted::World().betweenRounds = [&c](int) {
            scripted::Process& again = scripted::World().processes[0];
            again.startTime = c.start, again.name = c.name;
        };
        RunResult run = RunHoister({"-w1", "-pl", "backup"});
        std::size_t reports = 0;
        for (std::size_t at = run.out.find("Error"); at != std::string::npos;
             at = run.out.find("Error", at + 1))
            ++reports;
        EXPECT_EQ(reports, static_cast<std::size_t>(c.reports)) << c.start << c.name;
    }

    scripted::Reset();
    std::string fails;
    // Past the table, each failure counts under its own target's class.
    for (plat::DWORD id = 1; id <= kHoldFailureSlots + 3; ++id) {
        AddProcess(id, id <= kHoldFailureSlots ? kA : kB).openForSet = false;
        if (id <= kHoldFailureSlots) fails += "Error: command to set " + kA + kRefused;
    }
    scripted::World().stopAtWait = 2;
    RunResult run = RunHoister({"-w1", "-a", "-pl", "a\\backup", "-ph", "b.exe"});
    const std::string rest = "Error: command to set priority to High failed for 3 more processes\n";
    EXPECT_EQ(run.out, kBanner + fails + rest + rest);
}

TEST_F(Hold, AStopDuringTheDelayEndsTheRunBeforeAnyRound) {
    AddProcess(1, kA);
    RunResult run = RunHoister({"-l", "-d5", "-w60", "-pl", "backup"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(scripted::World().priorityChanges.empty());
    EXPECT_TRUE(scripted::World().sleeps.empty());
    const auto& calls = scripted::World().calls;
    auto caught = std::find(calls.begin(), calls.end(), "WaitForStopRequest 0");
    auto listed = std::find(calls.begin(), calls.end(), "LoadLibraryA PSAPI.DLL");
    EXPECT_LT(caught, listed);
    EXPECT_EQ(scripted::CallsStartingWith("WaitForStopRequest 5000").size(), 1u);
}

TEST_F(Hold, AStopWhileEventsAreAskedForChangesNothing) {
    AddProcess(1, kA);
    scripted::World().stopAtEventsStart = true;
    RunResult run = RunHoister({"-w60", "-pl", "backup"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(scripted::World().priorityChanges.empty()) << run.out;
}

TEST(WindowsHold, LogoffLeavesItRunningAndShutdownStopsItAsTheConsoleCloseDoes) {
    using namespace plat::win32_backend;
    const plat::DWORD events[] = {kCtrlBreak, kCtrlClose, kCtrlLogoff, kCtrlShutdown, 3};
    const plat::DWORD want[] = {kStop, kStopAndLinger, kKeepHolding, kStopAndLinger, kPassOn};
    const plat::BOOL handled[] = {1, 1, 1, 1, 0};  // 0: passed on to the system
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ConsoleEventAction(events[i]), want[i]) << events[i];
        EXPECT_EQ(ConsoleEventHandled(events[i]), handled[i]) << events[i];
    }
}

// The first target that a process matches gives the class; each target
// keeps its own first match without -a.
TEST_F(Hold, SeveralTargetsEachGiveTheirClassAndTheFirstMatchedWins) {
    for (const std::string& name : {kA, kB, kC})
        AddProcess(static_cast<plat::DWORD>(scripted::World().processes.size() + 1), name);
    RunResult run = RunHoister({"-w1", "-pl", "c\\backup", "-ph", "backup", "-pn", "b.exe"});
    EXPECT_EQ(scripted::World().priorityChanges, (Changes{{1, 0x80}, {3, 0x40}}));
    EXPECT_EQ(run.out, kBanner + kA + " priority set to High\n" + kC + " priority set to Low\n");
}

// A start judged by a look that the round took, a folder link flipped in
// between, is judged again as soon as that look expires.
TEST_F(Hold, AStartJudgedByAReusedLookOfAFlippedFolderIsJudgedAgainWhenItExpires) {
    scripted::State& world = scripted::World();
    world.eventsAvailable = true;
    world.millisecondsPerEvent = 100;
    world.pathTargets["/srv/current/"] = {plat::TARGET_FOLDER, "/srv/v1/"};
    world.optionPrefixes = "-";
    world.runAtTheirPath = {1, 5};
    AddProcess(1, "/srv/v1/game");
    scripted::Process started;
    started.id = 5, started.name = "/srv/v2/game";
    world.startEvents = {{plat::HOLD_WAIT_STARTED, started}};
    static plat::DWORD changedAt;
    world.atSetClass = [](int call) {
        scripted::World().pathTargets["/srv/current/"].second = "/srv/v2/";
        changedAt = call == 2 ? scripted::World().tickCount : 0;
    };
    RunHoister({"-w60", "-a", "-pl", "/srv/current/"});
    EXPECT_EQ(world.priorityChanges, (Changes{{1, 0x40}, {5, 0x40}}));
    EXPECT_EQ(changedAt, 250u);
}
