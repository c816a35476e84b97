#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

struct TUsageCase {
    std::string ArgumentZero;
    std::vector<std::string> Environment;
    std::string Name;
};

TEST(TarvexOutput, NoArgumentPrintsBannerAndUsageAsInvokedInEveryLocale) {
    const TSpawnOptions defaults;
    const std::vector<TUsageCase> cases = {
        {"", defaults.Environment, "tarvex"},
        {"./some/dir/renamed-pinger", defaults.Environment, "renamed-pinger"},
        {"", {"LANG=C.UTF-8"}, "tarvex"},
        {"", {"LANG=xx_YY.nothing"}, "tarvex"},
    };
    for (const TUsageCase& usage : cases) {
        SCOPED_TRACE(usage.ArgumentZero + " " + usage.Environment.front());
        TSpawnOptions options;
        options.ArgumentZero = usage.ArgumentZero;
        options.Environment = usage.Environment;
        const TRunResult run = RunToEnd(options);
        EXPECT_EQ(run.ExitCode(), 0) << run.Error;
        EXPECT_EQ(run.Output, std::string(BannerText) + usage.Name +
                                  " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime "
                                  "in ms]\n");
        EXPECT_EQ(run.Error, "");
    }
}

// Output failures end the run at the banner, before the settings step: no namespace and no
// privilege needed.

TEST(TarvexOutput, ClosedInputAndOutputEndAsAClosedOutputAlone) {
    // A supervisor's start: the program's own descriptors must not take the free numbers.
    TSpawnOptions options;
    options.ProgramPath = "/bin/sh";
    options.Arguments = {"-c", "exec \"$0\" <&- >&-", TARVEX_BINARY_PATH};
    const TRunResult run = RunToEnd(options);
    EXPECT_EQ(run.ExitCode(), 1) << run.Error;
    EXPECT_TRUE(IsExceptionReport(run.Error, "EInOutError", "I/O error 9.")) << run.Error;
}

TEST(TarvexOutput, FullDeviceEndsWithTheReportNamingTheModuleFileEvenThroughALink) {
    const std::string directory = "/tmp/" + UniqueName("link");
    const std::string link = directory + "/pinger";
    ASSERT_EQ(Shell("mkdir " + directory + " && ln -s " TARVEX_BINARY_PATH " " + link), 0);
    TSpawnOptions options;
    options.ProgramPath = link;
    options.Arguments = {"-b"};
    options.Output = TStreamKind::skFull;
    const TRunResult run = RunToEnd(options);
    Shell("rm -rf " + directory);
    EXPECT_EQ(run.ExitCode(), 1) << run.Error;
    EXPECT_TRUE(IsExceptionReport(run.Error, "EInOutError", "I/O error 28.")) << run.Error;
}

TEST(TarvexOutput, UndecodableFirstArgumentEndsBeforeTheSettingsLine) {
    // Inside an empty namespace all the same: were the argument taken, no lookup may escape.
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("cs");
    ASSERT_TRUE(empty.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    TSpawnOptions options = OptionsIn(empty.Name(), resolver, {"\xE9", "Host\xE9"});
    options.Environment = {"LC_ALL=C.UTF-8"};
    const TRunResult run = RunToEnd(options);
    EXPECT_EQ(run.ExitCode(), 1) << run.Error;
    EXPECT_EQ(run.Output, BannerText);
    EXPECT_TRUE(IsExceptionReport(run.Error, "ECodesetConversion", "Codeset conversion failure."))
        << run.Error;
}

// The reader goes while the program monitors: the broken pipe signal ends it silently, or,
// ignored, the failed write starts the alarm, whose first line fails in turn.
TEST(TarvexOutput, ReaderGoneEndsTheRunOnTheSignalOrWithTheReport) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace local("bp");
    ASSERT_TRUE(local.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "ignored" : "default");
        TSpawnOptions options =
            OptionsIn(local.Name(), resolver, {"-b", "127.0.0.1", "500", "100"});
        if (ignored) {
            options.IgnoredSignals = {SIGPIPE};
        }
        TProcess tarvex(options);
        ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
        ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
        tarvex.CloseOutput();
        const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->Exited, ignored);
        if (ignored) {
            EXPECT_EQ(status->Code, 1);
            EXPECT_TRUE(IsExceptionReport(tarvex.Error(), "EInOutError", "I/O error 32."))
                << tarvex.Error();
        } else {
            EXPECT_EQ(status->Signal, SIGPIPE);
            EXPECT_EQ(tarvex.Error(), "");
        }
    }
}

}  // namespace
}  // namespace tarvex::test
