#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

typedef std::vector<std::pair<plat::DWORD, plat::DWORD>> Changes;

const std::string kA = "C:\\a\\backup.exe", kB = "D:\\BACKUP\\b.exe", kC = "C:\\c\\backup.exe";
const std::string kRefused = " priority to Low failed\n";

scripted::Process* Find(plat::DWORD id) {
    for (scripted::Process& process : scripted::World().processes)
        if (process.id == id) return &process;
    return nullptr;
}

class Hold : public ScriptedTest {};

}  // namespace

TEST_F(Hold, EachRoundChangesWhatIsNotInTheClassAndReportsAFailureOnce) {
    AddProcess(1, kA);
    AddProcess(2, kB, plat::IDLE_PRIORITY_CLASS);
    AddProcess(3, "C:\\other.exe");
    scripted::World().stopAtWait = 6;
    scripted::World().betweenRounds = [](int round) {
        scripted::State& world = scripted::World();
        if (round == 1) {  // one appears, one vanishes, one is changed back behind our back
            AddProcess(4, kC);
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
    EXPECT_EQ(scripted::CallsStartingWith("WaitForStopRequest 7000").size(), 6u);
}

TEST_F(Hold, WithoutAllTheFirstMatchCountsInEveryRoundAndVerboseShowsItLeftAlone) {
    AddProcess(1, kA);
    AddProcess(2, kB);
    scripted::World().stopAtWait = 2;
    RunResult run = RunHoister({"-v", "-w1", "-pl", "backup"});
    const std::string matchA = "Process(1) " + kA + " matches target\n";
    const std::string matchB = "Process(2) " + kB + " matches target\n";
    const std::string notB = "Process(2) " + kB + " does not match target\n";
    EXPECT_EQ(run.out, kBanner + std::string("Target: \"backup\"\n") +
                           "Hold: processes are matched every 1 seconds\n" + matchA + kA +
                           " priority set to Low\n" + matchB + notB + matchA + matchB + notB);
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
        EXPECT_EQ(scripted::CallsStartingWith("WaitForStopRequest 60000").size(), c.waits);
        ExpectNothingOutstanding();
    }
}
