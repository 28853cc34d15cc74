#include <string>
#include <utility>
#include <vector>

#include "actions/actions.h"
#include "harness.h"

namespace {

typedef std::vector<std::pair<plat::DWORD, plat::DWORD>> Changes;

const std::string kNote = "C:\\a\\note.exe", kNOTE = "D:\\NOTE\\x.exe";

// Two copies of one program with an unrelated and an unnamed process between them.
void AddTwoCopies() {
    AddProcess(1, kNote);
    AddProcess(2, "C:\\b.exe");
    AddProcess(4, "").nameReadable = false;
    AddProcess(3, kNOTE);
}

void NoFault(scripted::State&) {}
void CreateFails(scripted::State& w) { w.createFails = true; }
void FirstCannotBeOpened(scripted::State& w) { w.processes[0].openForSet = false; }
void FirstRefusesTheClass(scripted::State& w) { w.processes[0].setClassFails = true; }
void NoPsapi(scripted::State& w) { w.psapiMissing = true; }
// Ended after the walk: Windows finds that out at the open, Linux at the change.
void FirstHasEnded(scripted::State& w) {
    w.processes[0].openForSet = false;
    w.processes[0].openError = plat::ERROR_INVALID_PARAMETER;
}
void FirstEndsDuringChange(scripted::State& w) {
    w.processes[0].setClassFails = true;
    w.processes[0].setClassError = plat::ERROR_INVALID_PARAMETER;
}
void BothHaveEnded(scripted::State& w) {
    FirstHasEnded(w);
    w.processes[3].setClassFails = true;
    w.processes[3].setClassError = plat::ERROR_INVALID_PARAMETER;
}
void WeAreTheFirst(scripted::State& w) { w.currentProcessId = 1; }
void DotBIsCB(scripted::State& w) { w.targetFiles["./b"] = {2}; }
// The file that kNote names runs as the third process only, under another name.
void ThirdRunsNote(scripted::State& w) { w.targetFiles[kNote] = {3}; }

class Actions : public ScriptedTest {};

}  // namespace

TEST_F(Actions, NameTestFoldsOnlyAsciiLettersAndLooksAtTheWholeName) {
    const std::string x250(250, 'x');
    const struct {
        std::string name, target;
        int matches;
    } cases[] = {
        {"C:\\WIN\\NOTEPAD.EXE", "note", 1},
        {"c:\\notepad.exe", "NOTE", 1},
        {"C:\\caf\xe9.exe", "CAF\xc9", 0},
        {"C:\\CAF\xc9.exe", "caf\xc9", 1},
        {"a[b", "A{B", 0},
        {"a@b", "A`B", 0},
        {"note", "notepad", 0},
        {"x", "", 1},
        {x250 + "target", "target", 1},
        {std::string(4000, 'x') + "/Server", "/server", 1},
        {x250.substr(1) + "target", "TARGET", 1},
        {std::string(255, 'x') + "yz", std::string(300, 'x'), 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NameContainsTarget(c.name.c_str(), c.target.c_str()), c.matches) << c.name;
}

TEST_F(Actions, ByNameChangesTheFirstMatchOrEveryMatchWithAll) {
    const std::string unchanged = "Process C:\\b.exe priority unchanged\n";
    const struct {
        std::vector<std::string> words;
        std::string out;
        Changes changes;
    } cases[] = {
        {{"note"}, kNote + " priority set to High\n", {{1, 0x80}}},
        {{"-v", "NoTe"},
         "Target: \"NoTe\"\nProcess(1) " + kNote + " matches target\n" + kNote +
             " priority set to High\n" + unchanged + "Process(3) " + kNOTE +
             " matches target\nProcess(3) " + kNOTE + " does not match target\n",
         {{1, 0x80}}},
        {{"-a", "-pn", "note"},
         kNote + " priority set to Normal\n" + kNOTE + " priority set to Normal\n",
         {{1, 0x20}, {3, 0x20}}},
        {{"zzz"}, "", {}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddTwoCopies();
        RunResult run = RunHoister(c.words);
        EXPECT_EQ(run.out, kBanner + c.out) << c.words[0];
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(scripted::World().priorityChanges, c.changes) << c.words[0];
        ExpectNothingOutstanding();
    }
}

TEST_F(Actions, ByIdChangesEveryEntryOfTheIdAndShowsTheRawId) {
    AddProcess(2, "C:\\KERNEL32.DLL");
    AddProcess(4, "").nameReadable = false;
    AddProcess(7, "C:\\ntvdm.exe").tasks = {{1, "A.EXE"}, {2, "B.EXE"}};
    RunResult run = RunHoister({"-#7"});
    EXPECT_EQ(run.out, std::string(kBanner) +
                           "C:\\ntvdm.exe priority set to High\nA.EXE priority set to High\n"
                           "B.EXE priority set to High\n");
    EXPECT_EQ(scripted::World().priorityChanges, (Changes{{7, 0x80}, {7, 0x80}, {7, 0x80}}));

    run = RunHoister({"-v", "-#4", "-pl"});
    EXPECT_EQ(run.out,
              std::string(kBanner) + "Process(2) C:\\KERNEL32.DLL priority unchanged\n" +
                  "Process(4)  found\n priority set to Low\n" +
                  "Process(7) C:\\ntvdm.exe priority unchanged\n" +
                  "Process(7) A.EXE priority unchanged\nProcess(7) B.EXE priority unchanged\n");
    EXPECT_EQ(run.status, 1);
    run = RunHoister({"kernel32"});
    EXPECT_EQ(run.out, std::string(kBanner) + "C:\\KERNEL32.DLL priority set to High\n");

    scripted::Reset();
    scripted::World().platformId = plat::VER_PLATFORM_WIN32_WINDOWS;
    AddProcess(0xFFF8A3C5, "C:\\WIN\\X.EXE");
    run = RunHoister({"-v", "-#482363"});
    EXPECT_EQ(run.out, std::string(kBanner) + "Process(-482363) C:\\WIN\\X.EXE found\n" +
                           "C:\\WIN\\X.EXE priority set to High\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(Actions, ByIdNotFoundPrintsTheStoredId) {
    const struct {
        plat::DWORD platform;
        int failVersionFromCall;
        const char* word;
        std::string out;
    } cases[] = {
        {plat::VER_PLATFORM_WIN32_NT, 0, "-#8", "Error: Process with ID #  8 not found.\n"},
        {plat::VER_PLATFORM_WIN32_NT, 0, "-#1234", "Error: Process with ID #1234 not found.\n"},
        {plat::VER_PLATFORM_WIN32_WINDOWS, 0, "-#12", "Error: Process with ID #-12 not found.\n"},
        {plat::VER_PLATFORM_WIN32_NT, 2, "-#5",
         "Error: could not determine Operating System\nError: Process with ID #  5 not found.\n"},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().platformId = c.platform;
        scripted::World().failVersionFromCall = c.failVersionFromCall;
        AddProcess(5, "C:\\a.exe");
        RunResult run = RunHoister({c.word});
        EXPECT_EQ(run.out, kBanner + c.out);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(scripted::World().priorityChanges.empty());
    }
}

TEST_F(Actions, ListingShowsOpenableProcessesInTheFourClasses) {
    AddProcess(96, "C:\\a.exe");
    AddProcess(123456, "C:\\b.exe", plat::HIGH_PRIORITY_CLASS);
    AddProcess(3, "C:\\WIN\\KERNEL32.DLL");
    AddProcess(4, "C:\\WIN\\KERNEL32.dll", plat::IDLE_PRIORITY_CLASS);
    AddProcess(5, "").nameReadable = false;
    AddProcess(6, "C:\\no-set.exe").openForSet = false;
    AddProcess(7, "C:\\below.exe", 0x4000);
    AddProcess(8, "C:\\above.exe", 0x8000);
    AddProcess(9, "C:\\unreadable.exe").getClassFails = true;
    AddProcess(10, "C:\\ntvdm.exe", plat::REALTIME_PRIORITY_CLASS).tasks = {{1, "A.EXE"}};
    RunResult run = RunHoister({"-l"});
    EXPECT_EQ(run.out, std::string(kBanner) + "Current Processes\n\n" +
                           "  96 Normal   C:\\a.exe\n123456 High     C:\\b.exe\n" +
                           "   4 Low      C:\\WIN\\KERNEL32.dll\n" +
                           "  10 Realtime C:\\ntvdm.exe\n  10 Realtime A.EXE\n" +
                           "No target specified.\n\n");
    EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x600").size(), 9u);

    scripted::Reset();
    scripted::World().platformId = plat::VER_PLATFORM_WIN32_WINDOWS;
    AddProcess(0xFFF8A3C5, "C:\\A.EXE");
    AddProcess(0x1234, "C:\\B.EXE");
    AddProcess(0x80000000, "C:\\C.EXE");
    run = RunHoister({"-l", "zzz"});
    EXPECT_EQ(run.out, std::string(kBanner) + "Current Processes\n\n482363 Normal   C:\\A.EXE\n" +
                           "-4660 Normal   C:\\B.EXE\n-2147483648 Normal   C:\\C.EXE\n");
}

TEST_F(Actions, LaunchPassesTheCommandLineAndTheClassInTheFlags) {
    const std::string target255(255, 't'), arg254(254, 'a');
    const struct {
        std::vector<std::string> words;
        std::string commandLine, out;
        plat::DWORD flags;
    } cases[] = {
        {{"-f", "-pl", "notepad"}, "notepad ", "Created: \"notepad \"\n", 0x250},
        {{"-f", "-pn", "notepad", "a", "b"}, "notepad  a b", "Created: \"notepad  a b\"\n", 0x230},
        {{"-f", "-a", "note"}, "note ", "Created: \"note \"\n", 0x290},
        {{"-f", "-pr", "C:\\Program Files\\x.exe", "a"},
         "\"C:\\Program Files\\x.exe\"  a",
         "Created: \"C:\\Program Files\\x.exe  a\"\n",
         0x310},
        {{"-f", "x\ty"}, "\"x\ty\" ", "Created: \"x\ty \"\n", 0x290},
        {{"-f", target255, arg254},
         target255 + "  " + arg254,
         "Created: \"" + target255 + "  " + arg254 + "\"\n",
         0x290},
        {{"-s", "absent", "-x"}, "absent  -x", "Created: \"absent  -x\"\n", 0x290},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddTwoCopies();
        RunResult run = RunHoister(c.words);
        EXPECT_EQ(run.out, kBanner + c.out);
        EXPECT_EQ(run.status, 1);
        ASSERT_EQ(scripted::World().creations.size(), 1u);
        const scripted::Creation& made = scripted::World().creations[0];
        EXPECT_EQ(made.commandLine, c.commandLine);
        EXPECT_EQ(made.flags, c.flags);
        EXPECT_TRUE(made.applicationNameNull && made.attributesNull && made.environmentNull &&
                    made.directoryNull && made.startupRestZero);
        EXPECT_EQ(made.inheritHandles, plat::FALSE);
        EXPECT_EQ(made.startupCb, sizeof(plat::STARTUPINFOA));
        EXPECT_TRUE(scripted::World().priorityChanges.empty());
        // The rules of -s (and their table) are released after the message.
        std::vector<std::string> calls = scripted::World().calls;
        while (calls.back().rfind("HeapFree", 0) == 0)
            calls.pop_back();
        EXPECT_EQ(
            std::vector<std::string>(calls.end() - 3, calls.end() - 1),
            (std::vector<std::string>{"CloseHandle thread 9000", "CloseHandle process 9000"}));
        ExpectNothingOutstanding();
    }
}

TEST_F(Actions, FailedLaunchFailedChangesAndStartIfMissingWithoutALaunch) {
    const std::string failed = "Error: command to set " + kNote + " priority to ";
    const struct {
        std::vector<std::string> words;
        void (*setup)(scripted::State&);
        std::string out;
        int status;
        const char* commandLine;  // null: nothing launched
        Changes changes;
    } cases[] = {
        {{"-f", "notepad", "a"},
         CreateFails,
         "Error: Failed to create: \"notepad\"\n",
         0,
         "notepad  a",
         {}},
        {{"-f"}, NoFault, "Error: Failed to create: \"\"\n", 0, nullptr, {}},
        {{"-f", "-pl", "", "./prog", "30"},
         NoFault,
         "Error: Failed to create: \"\"\n",
         0,
         nullptr,
         {}},
        {{"-s", "note"}, NoFault, kNote + " priority set to High\n", 1, nullptr, {{1, 0x80}}},
        {{"-s", "-a", "note"},
         NoFault,
         kNote + " priority set to High\n" + kNOTE + " priority set to High\n",
         1,
         nullptr,
         {{1, 0x80}, {3, 0x80}}},
        {{"-s", "note"}, FirstCannotBeOpened, failed + "High failed\n", 1, nullptr, {}},
        {{"-pr", "note"}, FirstRefusesTheClass, failed + "Realtime failed\n", 1, nullptr, {}},
        {{"-s", "zzz"}, NoPsapi, "Error: could not load NT library PSAPI.DLL\n", 0, nullptr, {}},
        {{"note"}, FirstHasEnded, kNOTE + " priority set to High\n", 1, nullptr, {{3, 0x80}}},
        {{"-pl", "note"},
         FirstEndsDuringChange,
         kNOTE + " priority set to Low\n",
         1,
         nullptr,
         {{3, 0x40}}},
        {{"-s", "note"}, BothHaveEnded, "Created: \"note \"\n", 1, "note ", {}},
        {{"-#1"}, FirstHasEnded, "Error: Process with ID #  1 not found.\n", 0, nullptr, {}},
        {{"-#1"},
         FirstEndsDuringChange,
         "Error: Process with ID #  1 not found.\n",
         0,
         nullptr,
         {}},
        {{"-a", "note"}, WeAreTheFirst, kNOTE + " priority set to High\n", 1, nullptr, {{3, 0x80}}},
        {{"-s", "C:\\a\\"}, WeAreTheFirst, "Created: \"C:\\a\\ \"\n", 1, "C:\\a\\ ", {}},
        {{"-#1"}, WeAreTheFirst, kNote + " priority set to High\n", 1, nullptr, {{1, 0x80}}},
        {{"-s", "-pl", "./b"},
         DotBIsCB,
         "C:\\b.exe priority set to Low\n",
         1,
         nullptr,
         {{2, 0x40}}},
        {{"-f", "./b"}, DotBIsCB, "Created: \"./b \"\n", 1, "./b ", {}},
        {{"-a", "-pl", kNote},
         ThirdRunsNote,
         kNOTE + " priority set to Low\n",
         1,
         nullptr,
         {{3, 0x40}}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddTwoCopies();
        c.setup(scripted::World());
        RunResult run = RunHoister(c.words);
        EXPECT_EQ(run.out, kBanner + c.out);
        EXPECT_EQ(run.status, c.status);
        ASSERT_EQ(scripted::World().creations.size(), c.commandLine ? 1u : 0u);
        if (c.commandLine) {
            EXPECT_EQ(scripted::World().creations[0].commandLine, c.commandLine);
        }
        EXPECT_EQ(scripted::World().priorityChanges, c.changes);
        ExpectNothingOutstanding();
    }
}

TEST_F(Actions, NamesShowControlBytesAsMarksWhereThePlatformSaysSoAndMatchAsTheyAre) {
    const std::string name = "C:\\a\nb\x7f\x1f\xe9.exe";
    for (bool marks : {true, false}) {
        scripted::Reset();
        scripted::World().marksControlBytes = marks;
        AddProcess(5, name);
        AddProcess(6, "C:\\other\r.exe");
        const std::string shown = marks ? "C:\\a?b??\xe9.exe" : name;
        const std::string other = marks ? "C:\\other?.exe" : "C:\\other\r.exe";
        RunResult run = RunHoister({"-l", "-v", "-pl", "a\nB\x7f"});
        EXPECT_EQ(run.out, std::string(kBanner) + "Current Processes\n\n   5 Normal   " + shown +
                               "\n   6 Normal   " + other + "\nTarget: \"a\nB\x7f\"\nProcess(5) " +
                               shown + " matches target\n" + shown + " priority set to Low\n" +
                               "Process " + other + " priority unchanged\n");
        scripted::World().processes[0].setClassFails = true;
        run = RunHoister({"-v", "-#5"});
        EXPECT_EQ(run.out, std::string(kBanner) + "Process(5) " + shown +
                               " found\nError: command to set " + shown +
                               " priority to High failed\nProcess(6) " + other +
                               " priority unchanged\n");
    }
    // A C1 control in UTF-8 is one mark; a lone lead byte and U+00A0 stay.
    scripted::Reset();
    scripted::World().marksControlBytes = true;
    AddProcess(5,
               "a\xc2\x80\xc2\x85"
               "b\xc2\x9f\xc2\xa0\xc2");
    EXPECT_EQ(
        RunHoister({"-v", "zzz"}).out,
        std::string(kBanner) + "Target: \"zzz\"\nProcess a??b?\xc2\xa0\xc2 priority unchanged\n");
}

namespace {

// A table of rules written "N text" (a part) or "N =text" (a whole file
// name); the lowest rule that path matches, or -1, or -2 when a build failed.
int FirstRule(const std::vector<std::string>& rules, const std::string& path) {
    TargetTable table = {};
    int built = BeginTargetTable(&table, static_cast<int>(rules.size()), 1000);
    for (const std::string& rule : rules) {
        const std::size_t blank = rule.find(' ');
        const bool name = rule[blank + 1] == '=';
        built = built && AddTableRule(&table, std::stoi(rule), name ? TABLE_NAME : TABLE_PART,
                                      rule.c_str() + blank + 1 + name);
    }
    built = built && BuildTargetTable(&table);
    const std::size_t file = path.find_last_of("/\\") + 1;
    const int first = FirstTableRule(&table, path.c_str(), path.c_str() + file, path.size() - file);
    FreeTargetTable(&table);
    return built ? first : -2;
}

}  // namespace

TEST_F(Actions, TargetTableGivesTheLowestRuleOfOverlappingTargets) {
    const struct {
        std::vector<std::string> rules;
        std::string path;
        int first;
    } cases[] = {
        {{"0 note", "1 notepad"}, "C:\\NOTEPAD.EXE", 0},
        {{"0 notepad", "1 note"}, "C:\\NOTEPAD.EXE", 0},
        {{"5 he", "3 she", "9 hers"}, "/usr/bin/ushers", 3},
        {{"7 hers", "8 s", "2 rs"}, "/x/ushers", 2},
        {{"4 abcd", "1 bc"}, "/abcx", 1},
        {{"1 abcd", "4 bc"}, "/abcx", 4},
        {{"0 =bash", "1 ash"}, "/usr/bin/bash", 0},
        {{"0 ash", "1 =bash"}, "/usr/bin/BASH", 0},
        {{"3 =Note.exe", "3 =NOTE.EXE", "1 =note.exe"}, "C:\\A\\note.EXE", 1},
        {{"0 CAF\xc9"}, "C:\\caf\xe9.exe", -1},
        {{"0 =caf\xc9.exe"}, "C:\\CAF\xc9.EXE", 0},
        {{"6 zzz", "2 "}, "/bin/true", 2},
        {{"0 " + std::string(300, 'x')}, "/" + std::string(255, 'x'), 0},
        {{"0 " + std::string(300, 'x')}, "/" + std::string(254, 'x'), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FirstRule(c.rules, c.path), c.first) << c.path;
}
