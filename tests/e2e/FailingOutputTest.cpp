#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

// Output failures end the run at the banner, before the settings step: no namespace and no
// privilege needed, so these hold where the promise check cannot run.

TEST(TarvexFailingOutput, ClosedInputAndOutputEndAsAClosedOutputAlone) {
    // A supervisor's start: the program's own descriptors must not take the free numbers.
    TSpawnOptions options;
    options.ProgramPath = "/bin/sh";
    options.Arguments = {"-c", "exec \"$0\" <&- >&-", TARVEX_BINARY_PATH};
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.ExitCode(), 1);
    EXPECT_TRUE(IsExceptionReport(run.Error, "EInOutError", "I/O error 9.")) << run.Error;
}

TEST(TarvexFailingOutput, FullDeviceEndsWithTheInOutErrorReport) {
    TSpawnOptions options;
    options.Output = TStreamKind::skFull;
    options.Arguments = {"-b"};
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.ExitCode(), 1);
    EXPECT_TRUE(IsExceptionReport(run.Error, "EInOutError", "I/O error 28.")) << run.Error;
}

TEST(TarvexFailingOutput, ReportNamesTheModuleFileEvenThroughALink) {
    const std::string directory = "/tmp/" + UniqueName("link");
    const std::string link = directory + "/pinger";
    ASSERT_EQ(Shell("mkdir " + directory + " && ln -s " TARVEX_BINARY_PATH " " + link), 0);
    TSpawnOptions options;
    options.ProgramPath = link;
    options.Output = TStreamKind::skFull;
    const TRunResult run = RunToEnd(options);
    Shell("rm -rf " + directory);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 1);
    EXPECT_TRUE(IsExceptionReport(run.Error, "EInOutError", "I/O error 28.")) << run.Error;
}

TEST(TarvexFailingOutput, UndecodableFirstArgumentEndsBeforeTheSettingsLine) {
    // Inside an empty namespace all the same: were the argument taken, no lookup may escape.
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("cs");
    ASSERT_TRUE(empty.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    TSpawnOptions options = OptionsIn(empty.Name(), resolver, {"\xE9", "Host\xE9"});
    options.Environment = {"LC_ALL=C.UTF-8"};
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_TRUE(run.Status->Exited);
    EXPECT_EQ(run.Status->Code, 1);
    EXPECT_EQ(run.Output, BannerText);
    EXPECT_TRUE(IsExceptionReport(run.Error, "ECodesetConversion", "Codeset conversion failure."))
        << run.Error;
}

TEST(TarvexFailingOutput, ReaderGoneEndsTheRunOnTheBrokenPipeSignal) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace local("bp");
    ASSERT_TRUE(local.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    TProcess tarvex(OptionsIn(local.Name(), resolver, {"-b", "127.0.0.1", "500", "100"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
    tarvex.CloseOutput();
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->Exited);
    EXPECT_EQ(status->Signal, SIGPIPE);
    EXPECT_EQ(tarvex.Error(), "");
}

TEST(TarvexFailingOutput, FailingWriteInsideTheAlarmEndsWithTheInOutErrorReport) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace local("bi");
    ASSERT_TRUE(local.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    TSpawnOptions options = OptionsIn(local.Name(), resolver, {"-b", "127.0.0.1", "500", "100"});
    options.IgnoreBrokenPipe = true;
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
    // The next "Ping " fails and starts the alarm, whose first line fails in turn.
    tarvex.CloseOutput();
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->Exited);
    EXPECT_EQ(status->Code, 1);
    EXPECT_TRUE(IsExceptionReport(tarvex.Error(), "EInOutError", "I/O error 32."))
        << tarvex.Error();
}

}  // namespace
}  // namespace tarvex::test
