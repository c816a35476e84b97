#include <gtest/gtest.h>

#include "tests/support/E2eSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

constexpr std::string_view UsageTail =
    " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]\n";

TEST(TarvexUsage, NoArgumentPrintsBannerAndUsageAndEndsWithZero) {
    const TRunResult run = RunToEnd(TSpawnOptions{});
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_TRUE(run.Status->Exited);
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, std::string(BannerText) + "tarvex" + std::string(UsageTail));
    EXPECT_EQ(run.Error, "");
}

TEST(TarvexUsage, UsageNamesTheProgramAsInvokedWithoutItsDirectory) {
    TSpawnOptions options;
    options.ArgumentZero = "./some/dir/renamed-pinger";
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, std::string(BannerText) + "renamed-pinger" + std::string(UsageTail));
}

TEST(TarvexUsage, EveryLocaleGivesTheSameBanner) {
    for (const char* locale : {"LANG=C.UTF-8", "LANG=xx_YY.nothing"}) {
        TSpawnOptions options;
        options.Environment = {locale};
        const TRunResult run = RunToEnd(options);
        ASSERT_TRUE(run.Status.has_value()) << run.Error;
        EXPECT_EQ(run.Status->Code, 0) << locale;
        EXPECT_EQ(run.Output, std::string(BannerText) + "tarvex" + std::string(UsageTail))
            << locale;
    }
}

}  // namespace
}  // namespace tarvex::test
