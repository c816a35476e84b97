#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

// What a run whose first exchange fails shows: the settings line, its empty line, the alarm's
// empty line and the failure line with a moment close to now; then only bells.
void ExpectAlarmAfterSettings(const TProcess& ATarvex, const std::string& ASettingsLine,
                              std::time_t AStarted) {
    const std::string head = std::string(BannerText) + ASettingsLine + "\n\n\n";
    const std::string& output = ATarvex.Output();
    ASSERT_EQ(output.substr(0, head.size()), head);
    const std::size_t lineEnd = output.find('\n', head.size());
    ASSERT_NE(lineEnd, std::string::npos);
    const std::string failureLine = output.substr(head.size(), lineEnd - head.size());
    const std::optional<std::time_t> moment = FailureLineTime(failureLine);
    ASSERT_TRUE(moment.has_value()) << failureLine;
    EXPECT_GE(*moment, AStarted - 2) << failureLine;
    EXPECT_LE(*moment, std::time(nullptr) + 2) << failureLine;
    EXPECT_EQ(output.substr(lineEnd + 1), "");
}

class TarvexAlarm : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

TEST_F(TarvexAlarm, EmptyHostStartsTheAlarmWithABellAboutEvery100Ms) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("ae");
    ASSERT_TRUE(empty.Ok());
    TSpawnOptions options = OptionsIn(empty.Name(), FResolver, {"+b", ""});
    options.Error = TStreamKind::skTerminal;
    const std::time_t started = std::time(nullptr);
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("]\n", 5000, 2)) << tarvex.Output();
    const std::size_t bellsBefore = CountOf(tarvex.Error(), "\a");
    tarvex.Collect(1000);
    ExpectAlarmAfterSettings(
        tarvex, "Pinging [Host: ] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]", started);
    // About ten in a second; generous bounds for a loaded machine.
    const std::size_t bells = CountOf(tarvex.Error(), "\a") - bellsBefore;
    EXPECT_GE(bells, 5U);
    EXPECT_LE(bells, 12U);
    EXPECT_EQ(tarvex.Error(), std::string(CountOf(tarvex.Error(), "\a"), '\a'));
    EXPECT_FALSE(tarvex.WaitExit(0).has_value());
}

TEST_F(TarvexAlarm, NameWithoutAnyAnsweringResolverStartsTheAlarm) {
    TARVEX_REQUIRE_NETNS();
    // The private resolver configuration names this namespace's loopback, where nothing
    // listens; the private hosts file does not know the name.
    TestNamespace empty("an");
    ASSERT_TRUE(empty.Ok());
    const std::time_t started = std::time(nullptr);
    TProcess tarvex(OptionsIn(empty.Name(), FResolver, {"-b", "unknown-host.tarvex.test"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("]\n", 8000, 2)) << tarvex.Output();
    tarvex.Collect(200);
    ExpectAlarmAfterSettings(
        tarvex,
        "Pinging [Host: unknown-host.tarvex.test] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]",
        started);
    EXPECT_EQ(tarvex.Error(), "");
}

TEST_F(TarvexAlarm, RunWithoutRawSocketPrivilegeStartsTheAlarm) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace local("ap");
    ASSERT_TRUE(local.Ok());
    const TProgramCopy program;
    ASSERT_TRUE(program.Ok());
    TSpawnOptions options = OptionsIn(local.Name(), FResolver, {"127.0.0.1", "300", "100"});
    options.ProgramPath = program.Path();
    options.Unprivileged = true;
    options.Error = TStreamKind::skTerminal;
    const std::time_t started = std::time(nullptr);
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("]\n", 5000, 2)) << tarvex.Output();
    tarvex.Collect(300);
    ExpectAlarmAfterSettings(
        tarvex, "Pinging [Host: 127.0.0.1] [Beep: true] [Timeout: 300ms] [Delay: 100ms]", started);
    EXPECT_GE(CountOf(tarvex.Error(), "\a"), 2U);
}

}  // namespace
}  // namespace tarvex::test
