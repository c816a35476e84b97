#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

// The empty host fails the first exchange, which starts the alarm.
class TarvexAlarm : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

TEST_F(TarvexAlarm, FailedExchangeStartsTheAlarmWithABellAboutEvery100Ms) {
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

    // The settings line, its empty line, the alarm's empty line and the failure line with a
    // moment close to now; then only bells.
    const std::string head = std::string(BannerText) +
                             "Pinging [Host: ] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]\n\n\n";
    const std::string& output = tarvex.Output();
    ASSERT_EQ(output.substr(0, head.size()), head);
    ASSERT_TRUE(output.ends_with("]\n")) << output;
    const std::string failureLine = output.substr(head.size(), output.size() - head.size() - 1);
    const std::optional<std::time_t> moment = FailureLineTime(failureLine);
    ASSERT_TRUE(moment.has_value()) << failureLine;
    EXPECT_GE(*moment, started - 2) << failureLine;
    EXPECT_LE(*moment, std::time(nullptr) + 2) << failureLine;
    // About ten in a second; generous bounds for a loaded machine.
    const std::size_t bells = CountOf(tarvex.Error(), "\a") - bellsBefore;
    EXPECT_GE(bells, 5U);
    EXPECT_LE(bells, 12U);
    EXPECT_EQ(tarvex.Error(), std::string(CountOf(tarvex.Error(), "\a"), '\a'));
    EXPECT_FALSE(tarvex.WaitExit(0).has_value());
}

struct TBellPlace {
    const char* Beep;
    TStreamKind Output;
    TStreamKind Error;
    bool OnOutput;
    bool OnError;
};

TEST_F(TarvexAlarm, BellGoesToStandardErrorIfATerminalElseStandardOutputIfATerminal) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("bp");
    ASSERT_TRUE(empty.Ok());
    const std::vector<TBellPlace> places = {
        {"+b", TStreamKind::skPipe, TStreamKind::skTerminal, false, true},
        {"+b", TStreamKind::skTerminal, TStreamKind::skTerminal, false, true},
        {"+b", TStreamKind::skTerminal, TStreamKind::skPipe, true, false},
        {"+b", TStreamKind::skPipe, TStreamKind::skPipe, false, false},
        {"-b", TStreamKind::skTerminal, TStreamKind::skTerminal, false, false},
    };
    for (const TBellPlace& place : places) {
        SCOPED_TRACE(std::string(place.Beep) + " " +
                     std::to_string(static_cast<int>(place.Output)) + "/" +
                     std::to_string(static_cast<int>(place.Error)));
        TSpawnOptions options = OptionsIn(empty.Name(), FResolver, {place.Beep, ""});
        options.Output = place.Output;
        options.Error = place.Error;
        TProcess tarvex(options);
        ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
        ASSERT_TRUE(tarvex.WaitForOutput("Error occured [", 5000)) << tarvex.Output();
        tarvex.Collect(450);
        EXPECT_EQ(CountOf(tarvex.Output(), "\a") >= 2, place.OnOutput);
        EXPECT_EQ(CountOf(tarvex.Error(), "\a") >= 2, place.OnError);
        EXPECT_EQ(CountOf(tarvex.Output() + tarvex.Error(), "\a") == 0,
                  !place.OnOutput && !place.OnError);
    }
}

}  // namespace
}  // namespace tarvex::test
