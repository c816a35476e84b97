#include <gtest/gtest.h>

#include "tests/support/E2eSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

TEST(TarvexUsage, NoArgumentPrintsBannerAndUsageAndEndsWithZero) {
    const TRunResult run = RunToEnd(TSpawnOptions{});
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_TRUE(run.Status->Exited);
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, std::string(BannerText) +
                              "tarvex (+b/+beep/-b/-beep) [hostname] [timeout in ms] "
                              "[delaytime in ms]\n");
    EXPECT_EQ(run.Error, "");
}

TEST(TarvexUsage, UsageNamesTheProgramAsInvokedWithoutItsDirectory) {
    TSpawnOptions options;
    options.ArgumentZero = "./some/dir/renamed-pinger";
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(Lines(run.Output).back(),
              "renamed-pinger (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
}

}  // namespace
}  // namespace tarvex::test
