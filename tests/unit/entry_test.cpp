#include <string>

#include "harness.h"

class Entry : public ScriptedTest {};

TEST_F(Entry, NoArgumentsPrintsBannerAndUsageAndSucceeds) {
    RunResult run = RunHoister({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, std::string(kBanner) + kUsage);
    EXPECT_EQ(run.debug, run.out);
    EXPECT_EQ(fake::World().versionCalls, 0);
}
