#include <algorithm>
#include <cstdio>
#include <string>

#include "app/log_message.h"
#include "app/run_options.h"
#include "harness.h"

class Entry : public ScriptedTest {};

TEST_F(Entry, NoArgumentsPrintsBannerAndUsageAndSucceeds) {
    RunResult run = RunHoister({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(kBanner) + kUsage);
    EXPECT_EQ(run.debug, run.out);
    EXPECT_EQ(scripted::World().versionCalls, 0);
}

TEST_F(Entry, ParameterErrorsPrintTheWordAndUsageAndActOnNothing) {
    const std::string longWord = "-x" + std::string(300, 'y');
    const struct {
        std::vector<std::string> words;
        std::string shown;  // the faulty word as printed
    } cases[] = {
        {{"-#0"}, "-#0"},
        {{"-#"}, "-#"},
        {{"-#x"}, "-#x"},
        {{"-#2147483648"}, "-#2147483648"},
        {{"-#-2147483649"}, "-#-2147483649"},
        {{"-#99999999999999999999"}, "-#99999999999999999999"},
        {{"-d0"}, "-d0"},
        {{"-d-3"}, "-d-3"},
        {{"-d"}, "-d"},
        {{"-d", "5"}, "-d"},
        {{"-d4294968"}, "-d4294968"},
        {{"-w0", "x"}, "-w0"},
        {{"-w", "x"}, "-w"},
        {{"-w4294968", "x"}, "-w4294968"},
        {{"-p"}, "-p"},
        {{"-px"}, "-px"},
        {{"-x"}, "-x"},
        {{"-"}, "-"},
        {{"-\xE1"}, "-\xE1"},
        {{"/tmp/x"}, "/tmp/x"},
        {{"-l", "-d5", "-#5", "-x", "-h"}, "-x"},
        {{longWord}, longWord.substr(0, 256)},
        {{"-l", "-pl", std::string(256, 't')}, std::string(256, 't')},
        {{"-#5", std::string(300, 't'), "-x"}, std::string(256, 't')},
        {{"-f", "t", std::string(254, 'a'), ""}, "\"\""},
        {{"-w5", "a", "-pl", "b", "-a", "c"}, "-a"},
        {{"-w5", "a", "-pz", "b"}, "-pz"},
        {{"-w5", "a", "b", "-pl"}, "-pl"},
        {{"-w5", "@r", "x"}, "x"},
        {{"@r", "-pl"}, "-pl"},
        {{"-s", "@r"}, "@r"},
        {{"-f", "@r"}, "@r"},
        {{"-#5", "@r"}, "@r"},
        {{"@"}, "@"},
        {{"-s", "=notepad.exe"}, "=notepad.exe"},
        {{"-w5", "a", "=x\\y"}, "=x\\y"},
        {{"-w5", "a", ""}, "\"\""},
        {{"-w5", ""}, "\"\""},
        {{"-w5", "a", std::string(256, 't')}, std::string(256, 't')},
        {{"-w5", "a", "-pl", "-pn", "b"}, "-pn"},
        {{"-w5", "a", "-plx", "b"}, "-plx"},
        {{"-w5", "a", "/program", "b"}, "/program"},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddProcess(5, "C:\\notepad.exe");
        RunResult run = RunHoister(c.words);
        EXPECT_EQ(run.status, 0) << c.shown;
        EXPECT_EQ(run.out,
                  kBanner + ("Error: Parameter " + c.shown + " not understood\n\n") + kUsage);
        EXPECT_EQ(scripted::World().versionCalls, 1) << c.shown;
        EXPECT_TRUE(scripted::World().sleeps.empty()) << c.shown;
        EXPECT_TRUE(scripted::CallsStartingWith("LoadLibraryA").empty()) << c.shown;
    }
}

// The options record after parsing: ID, delay, class, then the flags l a f s q v.
std::string Parsed() {
    char text[96];
    std::snprintf(text, sizeof text, "%d %d %s=%x %d%d%d%d%d%d", runOptions.processId,
                  runOptions.delaySeconds, runOptions.priorityName,
                  static_cast<unsigned>(runOptions.priorityClass), runOptions.listProcesses,
                  runOptions.allMatches, runOptions.forceLaunch, runOptions.launchIfMissing,
                  runOptions.quiet, runOptions.verbose);
    return text;
}

TEST_F(Entry, OptionsAreReadLikeTheCLibraryReadsThem) {
    const plat::DWORD nt = plat::VER_PLATFORM_WIN32_NT, w9x = plat::VER_PLATFORM_WIN32_WINDOWS;
    const struct {
        plat::DWORD platform;
        std::vector<std::string> words;
        const char* parsed;
    } cases[] = {
        {nt, {"-#12abc"}, "12 0 High=80 000000"},
        {nt, {"-# \t\n\v\f\r+7"}, "7 0 High=80 000000"},
        {nt, {"-#-5"}, "-5 0 High=80 000000"},
        {nt, {"/#2147483647"}, "2147483647 0 High=80 000000"},
        {nt, {"-#-2147483648"}, "-2147483648 0 High=80 000000"},
        {w9x, {"-#12"}, "-12 0 High=80 000000"},
        {w9x, {"-#-482363"}, "482363 0 High=80 000000"},
        {w9x, {"-#-2147483648"}, "-2147483648 0 High=80 000000"},
        {3, {"-#12"}, "-12 0 High=80 000000"},
        {nt, {"-d5x"}, "0 5 High=80 000000"},
        {nt, {"-d 4294967"}, "0 4294967 High=80 000000"},
        {nt, {"-#5", "-#6", "-d2", "-d3", "-pl", "/PR"}, "6 3 Realtime=100 000000"},
        {nt, {"-L", "/l", "-abc", "/F", "-s", "-Q", "/verbose"}, "0 0 High=80 111111"},
        {nt, {"-pn", "-pH"}, "0 0 High=80 000000"},
        {nt, {"/phigh", "-Pn"}, "0 0 Normal=20 000000"},
        {nt, {"-plow"}, "0 0 Low=40 000000"},
        {nt, {"-prealtime"}, "0 0 Realtime=100 000000"},
        {nt, {"notepad", "-pl", "-x", "/h", "-#5"}, "0 0 High=80 000000"},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().platformId = c.platform;
        RunHoister(c.words);
        EXPECT_EQ(Parsed(), c.parsed) << c.words[0];
    }
    EXPECT_STREQ(runOptions.target, "notepad");
    EXPECT_STREQ(runOptions.targetArgs, " -pl -x /h -#5");
}

TEST_F(Entry, TargetAndArgumentsAreTakenWholeOrRefusedAsAParameter) {
    const std::string a49(49, 'a'), t255(255, 't');
    const struct {
        bool quoted;  // the launch splits the command line, as on Linux
        std::vector<std::string> words;
        std::string targetArgs;  // "!" and the word: refused
    } cases[] = {
        {false, {t255, std::string(254, 'a')}, " " + std::string(254, 'a')},
        {false, {"t", a49, a49, a49, a49, a49, "bcdefgh", "z"}, "!bcdefgh"},
        {false, {"t", a49, a49, a49, a49, a49, "ab", "y", "z"}, "!z"},
        {false, {"t", "a b", "", "x\"y", "c\\"}, " a b  x\"y c\\"},
        {true,
         {"t", "a b", "", "x\"y", "c\\", "d\\ e\\", "\"\\\"", "'x\"y'"},
         " \"a b\" \"\" \"x\\\"y\" c\\ \"d\\ e\\\\\" \"\\\"\\\\\\\"\" \"'x\\\"y'\""},
        {true, {"t", "a " + std::string(250, 'b')}, " \"a " + std::string(250, 'b') + "\""},
        {true, {"t", "a " + std::string(251, 'b')}, "!a " + std::string(251, 'b')},
        {false, {"t", "a " + std::string(251, 'b')}, " a " + std::string(251, 'b')},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().launchSplitsCommandLine = c.quoted;
        RunResult run = RunHoister(c.words);
        if (c.targetArgs[0] == '!') {
            EXPECT_EQ(run.out,
                      kBanner +
                          ("Error: Parameter " + c.targetArgs.substr(1) + " not understood\n\n") +
                          kUsage);
            EXPECT_EQ(run.status, 0);
            EXPECT_TRUE(scripted::CallsStartingWith("LoadLibraryA").empty());
        } else {
            EXPECT_EQ(std::string(runOptions.target), c.words[0]);
            EXPECT_EQ(std::string(runOptions.targetArgs), c.targetArgs);
        }
    }
}

TEST_F(Entry, ModeChoiceAndWhatEachRunPrints) {
    const std::string note = "C:\\notepad.exe";
    const std::string noHold =
        "Error: -w holds a class on processes matched by name; it cannot be used with -#, -f or "
        "-s\n\n";
    const struct {
        std::vector<std::string> words;
        std::string out;  // after the banner
        int status;
    } cases[] = {
        {{"-#5", "-v", "-f", "-s", "notepad"},
         "Process(5) " + note + " found\n" + note + " priority set to High\n",
         1},
        {{"-f", "-s", "-a", "notepad"}, "Created: \"notepad \"\n", 1},
        {{"-v", "-s", "NOTEPAD"},
         "Target: \"NOTEPAD\"\nProcess(5) " + note + " matches target\n" + note +
             " priority set to High\n",
         1},
        {{"-pl", "note"}, note + " priority set to Low\n", 1},
        {{"-v"}, "Target: \"\"\nNo target specified.\n\n", 0},
        {{"-s"}, "No target specified.\n\n", 0},
        {{"-s", "", "arg"}, "No target specified.\n\n", 0},
        {{"-l"}, "Current Processes\n\n   5 Normal   " + note + "\nNo target specified.\n\n", 0},
        {{"-l", "-q", "note"}, "", 1},
        {{"-q", "-x"}, "", 0},
        {{"-x", "-q"}, "Error: Parameter -x not understood\n\n" + std::string(kUsage), 0},
        {{"-h", "-x"}, kUsage, 0},
        {{"-help"}, kUsage, 0},
        {{"-x", "-h"}, "Error: Parameter -x not understood\n\n" + std::string(kUsage), 0},
        {{"-l", "-d5", "-w5", "-#5"}, noHold + kUsage, 0},
        {{"-W5", "-f", "note"}, noHold + kUsage, 0},
        {{"-s", "/w1", "note"}, noHold + kUsage, 0},
        {{"-w5", "-v"}, "Target: \"\"\nNo target specified.\n\n", 0},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddProcess(5, note);
        RunResult run = RunHoister(c.words);
        EXPECT_EQ(run.out, kBanner + c.out) << c.words[0];
        EXPECT_EQ(run.debug, run.out) << c.words[0];
        EXPECT_EQ(run.status, c.status) << c.words[0];
        if (c.status == 0) {
            EXPECT_TRUE(scripted::World().sleeps.empty()) << c.words[0];
            EXPECT_TRUE(scripted::CallsStartingWith("WaitForStopRequest").empty()) << c.words[0];
        }
        ExpectNothingOutstanding();
    }
}

TEST_F(Entry, WhereASlashBeginsAPathOnlyADashStartsAnOption) {
    scripted::World().optionPrefixes = "-";
    AddProcess(5, "/usr/bin/note");
    RunResult run = RunHoister({"-pl", "/usr/bin/", "/x", "-y"});
    EXPECT_EQ(run.out, std::string(kBanner) + "/usr/bin/note priority set to Low\n");
    EXPECT_STREQ(runOptions.targetArgs, " /x -y");
    run = RunHoister({"/l"});
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(run.status, 1);
}

TEST_F(Entry, DelaySleepsInMillisecondsAfterTheListingAndBeforeTheMode) {
    AddProcess(5, "C:\\notepad.exe");
    RunHoister({"-d4294967", "-l", "notepad"});
    const auto& calls = scripted::World().calls;
    auto listed =
        std::find(calls.begin(), calls.end(), "OutputDebugStringA    5 Normal   C:\\notepad.exe\n");
    auto sleep = std::find(calls.begin(), calls.end(), "Sleep 4294967000");
    auto secondWalk = std::find(sleep, calls.end(), "LoadLibraryA PSAPI.DLL");
    EXPECT_LT(listed, sleep);
    EXPECT_LT(sleep, secondWalk);
    EXPECT_NE(secondWalk, calls.end());
    EXPECT_EQ(scripted::World().sleeps.size(), 1u);
}

TEST_F(Entry, FailedVersionQueryEndsTheRunBeforeParsing) {
    scripted::World().failVersionFromCall = 1;
    RunResult run = RunHoister({"-x", "notepad"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(kBanner) + "Error: could not determine Operating System\n");
    EXPECT_TRUE(scripted::CallsStartingWith("LoadLibraryA").empty());
}

TEST_F(Entry, MessagesReachBothChannelsOneCallAtATime) {
    AddProcess(5, "C:\\100%d%s.exe");
    RunResult run = RunHoister({"%d"});
    EXPECT_EQ(run.out, std::string(kBanner) + "C:\\100%d%s.exe priority set to High\n");
    ASSERT_EQ(run.debugMessages.size(), 3u);
    EXPECT_EQ(run.debugMessages[2], "C:\\100%d%s.exe priority set to High\n");

    run = RunHoister({"-h"});
    ASSERT_EQ(run.debugMessages.size(), 18u);  // two banner lines, sixteen usage texts
    EXPECT_EQ(run.debugMessages[2], "Hoister.exe: Spawns / Changes priority of processes.\n");
    EXPECT_EQ(run.debugMessages[16],
              "-wnn\t\thold: repeat every #nn seconds until stopped\n"
              "\t\t(only with a target matched by name)\n");
    EXPECT_EQ(run.debugMessages[17],
              "\nSpecify valid target executable for -s and -f,\n"
              "otherwise target is case-insensitive substring.\n");
}

TEST_F(Entry, LogMessageCutsAt8191CharactersAndIsSilentWhenQuiet) {
    runOptions = RunOptions();
    const std::string huge(9000, 'm');
    ::testing::internal::CaptureStdout();
    LogMessage("%s", huge.c_str());
    runOptions.quiet = 1;
    LogMessage("%s", "hidden");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), huge.substr(0, 8191));
    ASSERT_EQ(scripted::World().debugMessages.size(), 1u);
    EXPECT_EQ(scripted::World().debugMessages[0], huge.substr(0, 8191));

    // Messages that could not be written are counted once, after the next one.
    runOptions.quiet = 0;
    scripted::World().writes = 0;
    scripted::World().failingWrites = {1, 2, 3};
    ::testing::internal::CaptureStdout();
    for (const char* message : {"1\n", "2\n", "3\n", "a\n", "b\n"})
        LogMessage("%s", message);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "a\nError: 3 messages could not be written\nb\n");

    // A message cut part way leaves the next one on a line of its own.
    scripted::World().writes = 0;
    scripted::World().failingWrites.clear();
    scripted::World().cutWrites = {{1, 4}};
    ::testing::internal::CaptureStdout();
    for (const char* message : {"Process C:\\windows\n", "next\n"})
        LogMessage("%s", message);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Proc\nnext\nError: 1 messages could not be written\n");
}

TEST_F(Entry, WithAHoldEveryWordAfterTheTargetIsATargetInTheClassBeforeIt) {
    // No fixed limit: a thousand targets are taken, in their classes.
    std::vector<std::string> words = {"-w5", "-pl", "a", "b", "-ph", "c", "/PR", "d", "-pn"};
    words.resize(1000, "t");
    const char* names[] = {"a", "b", "c", "d", "t"};
    for (plat::DWORD id = 1; id <= 5; ++id)
        AddProcess(id, names[id - 1], plat::HIGH_PRIORITY_CLASS);
    EXPECT_EQ(RunHoister(words).status, 1);
    EXPECT_EQ(scripted::World().priorityChanges, (std::vector<std::pair<plat::DWORD, plat::DWORD>>{
                                                     {1, 0x40}, {2, 0x40}, {4, 0x100}, {5, 0x20}}));
}
