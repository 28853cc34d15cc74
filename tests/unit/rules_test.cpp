#include <string>
#include <utility>
#include <vector>

#include "app/rules_file.h"
#include "harness.h"

namespace {

typedef std::vector<std::pair<plat::DWORD, plat::DWORD>> Changes;
const plat::DWORD kLow = plat::IDLE_PRIORITY_CLASS, kHigh = plat::HIGH_PRIORITY_CLASS;

class Rules : public ScriptedTest {};

}  // namespace

TEST_F(Rules, FileSyntaxAndEachRefusalWithItsLineNumber) {
    const std::string long255 = "C:\\" + std::string(252, 'n');
    const struct {
        std::string text;
        std::string out;  // the error after the banner; none: the changes are shown
        Changes changes;
    } cases[] = {
        {"\xEF\xBB\xBF# rules\r\nlow\tnote\r\n\r\n  HIGH \t =bash \t\r\n",
         "",
         {{1, kLow}, {3, kHigh}, {4, kHigh}, {6, kHigh}, {7, kHigh}}},  // whole file names
        {"  # low note\n\t\nRealTime C:\\Program Files\\x y.exe  \n", "", {{2, 0x100}}},
        {"normal bash\nlow =BASH\n",  // the first rule wins
         "",
         {{3, 0x20}, {4, 0x20}, {6, 0x20}, {7, 0x20}, {8, 0x20}, {9, 0x20}, {10, 0x20}}},
        {"low " + long255, "", {{5, kLow}}},
        {"", "", {}},
        {"# only a comment", "", {}},
        {"low note\n\nlowish a\n", "Error: r line 3 not understood\n", {}},
        {"# c\nlow\n", "Error: r line 2 not understood\n", {}},
        {"low   \r\n", "Error: r line 1 not understood\n", {}},
        {"medium a", "Error: r line 1 not understood\n", {}},
        {"low=a", "Error: r line 1 not understood\n", {}},
        {"low =\n", "Error: r line 1 not understood\n", {}},
        {"low =bin\\bash\n", "Error: r line 1 not understood\n", {}},
        {"low a\rb\n", "Error: r line 1 not understood\n", {}},
        {std::string("low a\0b", 7), "Error: r line 1 not understood\n", {}},
        {"low " + long255 + "n", "Error: r line 1 not understood\n", {}},
        {"\xEF\xBB\xBF\xEF\xBB\xBFlow a", "Error: r line 1 not understood\n", {}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().files["r"].text = c.text;
        AddProcess(1, "C:\\a\\note.exe");
        AddProcess(2, "C:\\Program Files\\x y.exe");
        AddProcess(3, "C:\\bin\\bash", kHigh);
        AddProcess(4, "C:\\bin\\BaSh", kHigh);
        AddProcess(5, long255);
        AddProcess(6, "bash");
        AddProcess(7, "/usr/bin/bash (deleted)");
        AddProcess(8, "/usr/bin/bashbug");
        AddProcess(9, "/usr/bin/xbash");
        AddProcess(10, "/usr/bin/bash (deleted)x");
        RunResult run = RunHoister({"-a", "@r"});
        if (!c.out.empty()) {
            EXPECT_EQ(run.out, kBanner + c.out) << c.text;
        }
        EXPECT_EQ(run.status, c.out.empty() ? 1 : 0) << c.text;
        EXPECT_EQ(scripted::World().priorityChanges, c.changes) << c.text;
        ExpectNothingOutstanding();
    }

    // A file that is missing, unreadable, untrusted or changing as it is read;
    // -v counts the rules in place of the targets.
    scripted::Reset();
    AddProcess(1, "C:\\a\\note.exe");
    const std::string unread = "Error: could not read r\n", text = "low note\nhigh x\n";
    EXPECT_EQ(RunHoister({"-l", "@r"}).out, kBanner + unread);
    for (const scripted::File& file :
         {scripted::File{text, false, true, false}, scripted::File{text, true, false, false},
          scripted::File{text, true, true, true}}) {
        scripted::World().files["r"] = file;
        EXPECT_EQ(RunHoister({"@r"}).out,
                  kBanner + (file.trusted ? unread
                                          : "Error: r may be changed by users other than root\n"));
    }
    scripted::World().files["r"].changesInRead = false;
    RunResult run = RunHoister({"-v", "@r"});
    EXPECT_EQ(run.out.substr(0, run.out.find("Process")),
              kBanner + std::string("Rules: 2 from r\n"));
}

TEST_F(Rules, APathLongerThanTheWalksRoomKeepsItsFileName) {
    AddProcess(1, "C:\\" + std::string(plat::LONGEST_PATH, 'd') + "\\probe.exe");
    EXPECT_EQ(RunHoister({"-a", "-pl", "probe.exe"}).out,
              kBanner + ("C:\\" + std::string(240, 'd') + "...\\probe.exe priority set to Low\n"));
    EXPECT_EQ(RunHoister({"-pl", "=probe.exe"}).status, 1);
    EXPECT_EQ(RunHoister({"-s", "probe.exe"}).status, 1);
    EXPECT_EQ(scripted::World().priorityChanges, (Changes{{1, kLow}, {1, kLow}, {1, kHigh}}));
    EXPECT_TRUE(scripted::World().creations.empty());
}

// Scripted time: the hold's waits move the clock. The file is edited at 3 s,
// made bad at 10 s and removed at 20 s; the 60 s round shows the rules that
// were in force before the bad edit.
TEST_F(Rules, AHoldTakesAGoodEditWithinTwoSecondsAndReportsEachBadVersionOnce) {
    // NT with start events looks with GetFileAttributesExA; 95/98, polling, with FindFirstFileA.
    for (bool events : {false, true}) {
        scripted::Reset();
        scripted::State& world = scripted::World();
        world.eventsAvailable = events;
        world.platformId = events ? plat::VER_PLATFORM_WIN32_NT : plat::VER_PLATFORM_WIN32_WINDOWS;
        world.files["r"].text = "low alpha\n";
        AddProcess(1, "C:\\alpha.exe");
        AddProcess(2, "C:\\beta.exe");
        static plat::DWORD edited, taken, stage;
        edited = taken = stage = 0;
        world.stopAtWait = 0;
        world.atSetClass = [](int call) {
            if (call == 2) taken = scripted::World().tickCount;
        };
        world.betweenPolls = [](int) {
            static const plat::DWORD at[] = {3000, 10000, 20000, 66000};  // the last: stop
            scripted::State& w = scripted::World();
            if (w.tickCount < at[stage]) return;
            if (stage == 0) edited = w.tickCount;
            if (stage == 1) w.processes[1].priorityClass = plat::NORMAL_PRIORITY_CLASS;
            if (stage < 2)
                w.files["r"].text =
                    stage ? "low alpha\nhigh beta\nbogus\n" : "low alpha\nhigh beta\n";
            if (stage == 2) w.files.erase("r");
            w.stopAsked = stage == 3;
            stage += stage < 3;
        };
        RunResult run = RunHoister({"-w60", "@r"});
        const std::string beta = "C:\\beta.exe priority set to High\n";
        EXPECT_EQ(run.out.substr(run.out.find("C:")),
                  "C:\\alpha.exe priority set to Low\n" + beta +
                      "Error: r line 3 not understood\nError: could not read r\n" + beta);
        EXPECT_LE(taken - edited, 2000u) << events;
        // One look a second, one more after each change; one read per version.
        EXPECT_GE(world.fileLooks, 64);
        EXPECT_LE(world.fileLooks, 72);
        EXPECT_EQ(world.fileReads, 3);
        EXPECT_EQ(
            scripted::CallsStartingWith(events ? "GetFileAttributesExA" : "FindFirstFileA").size(),
            static_cast<std::size_t>(world.fileLooks));
        ExpectNothingOutstanding();
    }
}

TEST_F(Rules, ThousandsOfRulesLoadMatchInOrderAndAreReleased) {
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "low =p" + std::to_string(i) + ".exe\n";
    text += "high p99999\nnormal p7.exe\n";
    scripted::World().files["r"].text = text;
    AddProcess(1, "C:\\p99999.exe", kHigh);
    AddProcess(2, "C:\\p99999.exe.old", kLow);
    AddProcess(3, "C:\\p7.exe", kHigh);
    RunResult run = RunHoister({"-a", "-v", "@r"});
    EXPECT_NE(run.out.find("Rules: 100002 from r\n"), std::string::npos);
    EXPECT_EQ(scripted::World().priorityChanges, (Changes{{1, kLow}, {2, kHigh}, {3, kLow}}));
    // The text, the rules, the table's staging and the table, the walk.
    EXPECT_EQ(scripted::CallsStartingWith("HeapAlloc").size(), 5u);
}

// The rows that may name a path are found by what they name (or, for the
// few that name none, tested one by one), the others by the table at once:
// the lowest rule of either gives the class. Many paths and folders that no
// process runs lie between.
TEST_F(Rules, RowsThatMayNameAPathAndTheTableKeepTheOrderOfTheRules) {
    const plat::DWORD kNormal = plat::NORMAL_PRIORITY_CLASS, kReal = plat::REALTIME_PRIORITY_CLASS;
    std::string many;
    std::vector<std::string> looks = {"/srv/", "/srv/app/", "/", "/opt/new"};
    for (int i = 0; i < 200; ++i) {
        looks.push_back("/opt/x" + std::to_string(i) + (i % 2 ? "/" : "/bin/p"));
        many += "low " + looks.back() + "\n";
    }
    const struct {
        std::string text;
        Changes changes;
    } cases[] = {
        {"low C:\\a\\\nhigh note\nnormal =note.exe\nrealtime /x/file\nlow run\n",
         {{1, kLow}, {2, kHigh}, {3, kReal}, {4, kHigh}}},
        {"normal =NOTE.EXE\nrealtime /x/file\nhigh note\nlow C:\\a\\\n",
         {{1, kNormal}, {2, kNormal}, {3, kReal}, {4, kNormal}}},
        {"low run\nrealtime /x/file\n", {{3, kLow}}},
        // A folder, a missing path and a file before the table's answer, and after it.
        {"realtime /srv/\n" + many + "high game\nnormal /opt/new\nlow /x/file\n",
         {{3, kLow}, {5, kReal}, {6, kNormal}, {7, kHigh}}},
        {"high game\n" + many + "realtime /srv/\nnormal /opt/new\nlow /x/file\nnormal =run\n",
         {{3, kLow}, {5, kHigh}, {6, kNormal}, {7, kHigh}}},
        {"realtime /srv/app/\nlow /\nrealtime /opt/new\n", {{5, kReal}, {6, kLow}}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::State& world = scripted::World();
        world.files["r"].text = c.text;
        world.targetFiles["/x/file"] = {3};
        for (const std::string& look : looks)  // each names itself
            world.pathTargets[look] = {look.back() == '/' ? plat::TARGET_FOLDER : plat::TARGET_PATH,
                                       look};
        world.runAtTheirPath = {5, 6};
        AddProcess(1, "C:\\a\\note.exe", kHigh);
        AddProcess(2, "D:\\note.exe", kLow);
        AddProcess(3, "/opt/run", kLow);
        AddProcess(4, "/y/note.exe (deleted)", kLow);
        AddProcess(5, "/srv/app/game", kLow);
        AddProcess(6, "/opt/new", kLow);
        AddProcess(7, "/srv/app/gamex", kLow);  // a path made up in a namespace of its own
        RunHoister({"-a", "@r"});
        EXPECT_EQ(scripted::World().priorityChanges, c.changes) << c.text;
        ExpectNothingOutstanding();
    }
    // Where no target is a path, the table has them all, and nothing is looked at.
    scripted::World().pathsAsPaths = false;
    scripted::World().files["r"].text = cases[0].text;
    scripted::World().priorityChanges.clear();
    scripted::World().targetLooks = 0;
    RunHoister({"-a", "@r"});
    EXPECT_EQ(scripted::World().priorityChanges,
              (Changes{{1, kLow}, {2, kHigh}, {3, kLow}, {4, kHigh}}));
    EXPECT_EQ(scripted::World().targetLooks, 0);
}

TEST_F(Rules, ExhaustedMemoryRefusesTheFileAndHoldsNothing) {
    // The rules, then the table's staging, then the table.
    for (int fail = 1; fail <= 3; ++fail) {
        scripted::Reset();
        TargetRules rules = {};
        scripted::World().failAllocation = fail;
        EXPECT_EQ(ParseRules("low a\nhigh =b\n", 14, &rules), -1) << fail;
        EXPECT_EQ(rules.block, nullptr);
        ExpectNothingOutstanding();
        // The command line's targets likewise, before anything is done.
        scripted::Reset();
        AddProcess(1, "C:\\a.exe");
        scripted::World().failAllocation = fail;
        RunResult run = RunHoister({"-w1", "-pl", "a", "=b"});
        EXPECT_EQ(run.out, kBanner + std::string("Error: not enough memory for 2 targets\n"));
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(scripted::World().priorityChanges.empty());
        ExpectNothingOutstanding();
    }
}
