#include <string>
#include <vector>

#include "app/run_options.h"
#include "enum/enumerate_processes.h"
#include "harness.h"

namespace {

struct VisitLog {
    std::vector<std::string> visits;  // "id/task16/name"
    std::size_t stopAt = 0;           // the visit (1-based) that asks the walk to stop
};

std::int32_t RecordVisitor(plat::DWORD id, plat::DWORD task16, const char* name, void* userData) {
    auto* log = static_cast<VisitLog*>(userData);
    log->visits.push_back(std::to_string(id) + "/" + std::to_string(task16) + "/" + name);
    return log->visits.size() != log->stopAt;
}

class Walk : public ScriptedTest {
  protected:
    void SetUp() override {
        ScriptedTest::SetUp();
        runOptions = RunOptions();
    }
    std::int32_t Run(VisitLog& log) {
        ::testing::internal::CaptureStdout();
        std::int32_t result = EnumerateProcesses(RecordVisitor, &log);
        ::testing::internal::GetCapturedStdout();
        return result;
    }
};

const std::string kMessage = "OutputDebugStringA ";
const std::string kLoadPsapi = "LoadLibraryA PSAPI.DLL", kLoadVdm = "LoadLibraryA VDMDBG.DLL";
const std::string kFreePsapi = "FreeLibrary PSAPI.DLL", kFreeVdm = "FreeLibrary VDMDBG.DLL";

}  // namespace

TEST_F(Walk, EachFailureReleasesInOrderThenPrintsOneLineAndVisitsNothing) {
    const std::string loadK32 = "LoadLibraryA Kernel32.DLL", freeK32 = "FreeLibrary Kernel32.DLL";
    const std::string noOs = kMessage + "Error: Operating System is not Win32 or NT\n";
    const std::string noVdm = kMessage + "Error: could not load NT library VDMDBG.DLL\n";
    const std::string ntFunctions = kMessage + "Error: could not address NT library functions\n";
    const std::string noWin32 = kMessage + "Error: could not address Win32 library functions\n";
    const std::string noSnapshot = kMessage + "Error: could not get list of Win32 processes\n";
    const std::string noList = kMessage + "Error: could not get list of NT processes\n";
    const std::string corrupt = kMessage + "Error: list of NT processes is corrupt\n";
    const std::string alloc1 = "HeapAlloc 1024", free1 = "HeapFree 1024";
    typedef scripted::State& W;
    const struct {
        plat::DWORD platform;
        void (*setup)(W);
        std::vector<std::string> calls;
    } cases[] = {
        {2,
         [](W w) { w.failVersionFromCall = 1; },
         {kMessage + "Error: could not determine Operating System\n"}},
        {0, [](W) {}, {noOs}},
        {3, [](W) {}, {noOs}},
        {1,
         [](W w) { w.kernel32Missing = true; },
         {loadK32, kMessage + "Error: could not load Win32 library Kernel32.DLL\n"}},
        {1, [](W w) { w.missingFunctions.insert("Process32Next"); }, {loadK32, freeK32, noWin32}},
        {1,
         [](W w) { w.snapshotFails = true; },
         {loadK32, "CreateToolhelp32Snapshot 0x2 0", freeK32, noSnapshot}},
        {2,
         [](W w) { w.psapiMissing = true; },
         {kLoadPsapi, kMessage + "Error: could not load NT library PSAPI.DLL\n"}},
        {2, [](W w) { w.vdmdbgMissing = true; }, {kLoadPsapi, kLoadVdm, kFreePsapi, noVdm}},
        {2,
         [](W w) { w.missingFunctions.insert("VDMEnumTaskWOWEx"); },
         {kLoadPsapi, kLoadVdm, kFreePsapi, kFreeVdm, ntFunctions}},
        {2,
         [](W w) { w.failAllocation = 1; },
         {kLoadPsapi, kLoadVdm, alloc1, kFreePsapi, kFreeVdm, noVdm}},
        {2,
         [](W w) { w.failAllocation = 2, w.reportedByteCount = 1024; },
         {kLoadPsapi, kLoadVdm, alloc1, free1, "HeapAlloc 2048", kFreePsapi, kFreeVdm, noVdm}},
        {2,
         [](W w) { w.enumProcessesFails = true; },
         {kLoadPsapi, kLoadVdm, alloc1, free1, kFreePsapi, kFreeVdm, noList}},
        {2,
         [](W w) { w.reportedByteCount = 10; },
         {kLoadPsapi, kLoadVdm, alloc1, free1, kFreePsapi, kFreeVdm, corrupt}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddProcess(4, "C:\\a.exe");
        AddProcess(8, "C:\\b.exe");
        scripted::World().platformId = c.platform;
        c.setup(scripted::World());
        VisitLog log;
        EXPECT_EQ(Run(log), 0) << c.calls.back();
        EXPECT_TRUE(log.visits.empty()) << c.calls.back();
        EXPECT_EQ(scripted::World().calls, c.calls);
        ExpectNothingOutstanding();
    }
}

TEST_F(Walk, NtVisitsTasksRightAfterTheirHostAndUnreadableProcessesWithEmptyNames) {
    AddProcess(4, "C:\\a.exe");
    AddProcess(7, "C:\\WINNT\\system32\\NTVDM.EXE").tasks = {{0x11, "C:\\W\\A.EXE"}, {0x22, "B"}};
    AddProcess(9, "C:\\ntvdm.exe").openForQuery = false;
    scripted::World().processes.back().tasks = {{0x33, "hidden"}};
    AddProcess(10, "C:\\d.exe").modulesReadable = false;
    AddProcess(11, "C:\\e.exe").nameReadable = false;
    VisitLog log;
    EXPECT_EQ(Run(log), 1);
    EXPECT_EQ(log.visits,
              (std::vector<std::string>{"4/0/C:\\a.exe", "7/0/C:\\WINNT\\system32\\NTVDM.EXE",
                                        "7/17/C:\\W\\A.EXE", "7/34/B", "9/0/", "10/0/", "11/0/"}));
    EXPECT_EQ(scripted::CallsStartingWith("VDMEnumTaskWOWEx"),
              std::vector<std::string>{"VDMEnumTaskWOWEx 7"});
    const auto& calls = scripted::World().calls;
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"HeapFree 1024", kFreeVdm, kFreePsapi}));
    EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x410").size(), 5u);
    EXPECT_TRUE(scripted::World().debugMessages.empty());

    // A name as long as the platform's longest path arrives whole.
    const std::string longest(plat::LONGEST_PATH - 1, 'y');
    scripted::Reset();
    AddProcess(12, longest);
    VisitLog whole;
    EXPECT_EQ(Run(whole), 1);
    EXPECT_EQ(whole.visits, std::vector<std::string>{"12/0/" + longest});
}

TEST_F(Walk, WherePsapiReadsNoNameKernel32sFullImageNameGivesIt) {
    const struct {
        bool present, readable, opens;  // opens: PSAPI opens the process, yet reads no name
        std::string name;
    } cases[] = {{true, true, false, "C:\\x64\\a.exe"},
                 {false, true, false, ""},
                 {true, false, false, ""},
                 {true, true, true, "C:\\x64\\a.exe"}};
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().fullImageNames = c.present;
        AddProcess(4, "C:\\p.exe");
        AddProcess(8, "C:\\x64\\a.exe").openForQuery = c.opens;
        scripted::World().processes.back().nameReadable = !c.opens;
        scripted::World().processes.back().imageNameReadable = c.readable;
        VisitLog log;
        EXPECT_EQ(Run(log), 1);
        EXPECT_EQ(VisitProcess(8, RecordVisitor, &log), 1);
        EXPECT_EQ(log.visits,
                  (std::vector<std::string>{"4/0/C:\\p.exe", "8/0/" + c.name, "8/0/" + c.name}));
        // Only the process that PSAPI could not read, with the limited right.
        EXPECT_EQ(scripted::CallsStartingWith("OpenProcess 0x1000").size(), c.present ? 2u : 0u);
        ExpectNothingOutstanding();
    }
}

TEST_F(Walk, OnlyTheLastNineCharactersNameAVirtualDosMachine) {
    const struct {
        const char* name;
        bool isVdm;
    } cases[] = {
        {"ntvdm.exe", true},
        {"C:\\X\\MYNTVDM.EXE", true},
        {"c:\\NtVdM.ExE", true},
        {"vdm.exe", false},
        {"tvdm.exe", false},
        {"NTVDM.EXE ", false},
        {"ntvdm.exe.bak", false},
        {"ntvdm\x0e"
         "exe",
         false},
        {"NTVDM.EX\xc5", false},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        AddProcess(7, c.name).tasks = {{1, "t"}};
        VisitLog log;
        EXPECT_EQ(Run(log), 1);
        EXPECT_EQ(log.visits.size(), c.isVdm ? 2u : 1u) << c.name;
    }
}

TEST_F(Walk, AVisitorThatReturnsZeroStopsTheWholeWalk) {
    const struct {
        plat::DWORD platform;
        std::size_t stopAt;
        std::size_t visits;
        std::size_t taskEnumerations;
    } cases[] = {
        {plat::VER_PLATFORM_WIN32_WINDOWS, 1, 1, 0},
        {plat::VER_PLATFORM_WIN32_WINDOWS, 2, 2, 0},  // the NTVDM name means nothing on 95/98
        {plat::VER_PLATFORM_WIN32_NT, 1, 1, 0},
        {plat::VER_PLATFORM_WIN32_NT, 2, 2, 0},  // on the NTVDM itself: no task
        {plat::VER_PLATFORM_WIN32_NT, 3, 3, 1},  // on its first task
        {plat::VER_PLATFORM_WIN32_NT, 0, 5, 1},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        scripted::World().platformId = c.platform;
        AddProcess(1, "a");
        AddProcess(2, "ntvdm.exe").tasks = {{5, "t1"}, {6, "t2"}};
        AddProcess(3, "c");
        VisitLog log;
        log.stopAt = c.stopAt;
        EXPECT_EQ(Run(log), 1);
        EXPECT_EQ(log.visits.size(), c.visits) << c.platform << "/" << c.stopAt;
        EXPECT_EQ(scripted::CallsStartingWith("VDMEnumTaskWOWEx").size(), c.taskEnumerations);
        ExpectNothingOutstanding();
    }
}

TEST_F(Walk, AFullBlockIsFetchedAgainTwiceAsLarge) {
    const struct {
        plat::DWORD processes;
        std::vector<plat::DWORD> sizes;
    } cases[] = {
        {255, {1024}},
        {256, {1024, 2048}},
        {512, {1024, 2048, 4096}},
        {5000, {1024, 2048, 4096, 8192, 16384, 32768}},
    };
    for (const auto& c : cases) {
        scripted::Reset();
        for (plat::DWORD id = 1; id <= c.processes; ++id)
            AddProcess(id * 4, "p" + std::to_string(id));
        VisitLog log;
        EXPECT_EQ(Run(log), 1);
        EXPECT_EQ(scripted::World().enumProcessesSizes, c.sizes) << c.processes;
        ASSERT_EQ(log.visits.size(), c.processes);
        EXPECT_EQ(log.visits.back(),
                  std::to_string(c.processes * 4) + "/0/p" + std::to_string(c.processes));
        ExpectNothingOutstanding();
    }
}

TEST_F(Walk, EmptyListsVisitNothingAndSucceedSilently) {
    for (plat::DWORD platform : {plat::VER_PLATFORM_WIN32_NT, plat::VER_PLATFORM_WIN32_WINDOWS}) {
        scripted::Reset();
        scripted::World().platformId = platform;
        if (platform == plat::VER_PLATFORM_WIN32_NT) {
            AddProcess(4, "C:\\a.exe");
            scripted::World().reportedByteCount = 0;
        }
        VisitLog log;
        EXPECT_EQ(Run(log), 1);
        EXPECT_TRUE(log.visits.empty());
        EXPECT_TRUE(scripted::World().debugMessages.empty());
        ExpectNothingOutstanding();
    }
    const auto& calls = scripted::World().calls;
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"CloseHandle snapshot 0", "FreeLibrary Kernel32.DLL"}));
}
