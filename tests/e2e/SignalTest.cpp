#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string Peer(PeerNetwork::PeerAddress);

// A signal is to act within 200 ms; the bound is doubled for a loaded machine.
constexpr int ReactionMs = 400;

long MillisecondsSince(Clock::time_point AStart) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
}

class TarvexSignals : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

// Sends ASignal, expects the alarm promptly, then sends it again and expects the report.
void ExpectAlarmThenReport(TProcess& ATarvex, int ASignal, std::string_view AClassName,
                           std::string_view AMessageLine) {
    const std::size_t before = ATarvex.Output().size();
    const Clock::time_point sent = Clock::now();
    ATarvex.Signal(ASignal);
    ASSERT_TRUE(ATarvex.WaitForOutput("Error occured [", 3000)) << ATarvex.Output();
    EXPECT_LE(MillisecondsSince(sent), ReactionMs);
    const std::string after = ATarvex.Output().substr(before);
    EXPECT_EQ(after.substr(0, 16), "\nError occured [") << after;

    const Clock::time_point again = Clock::now();
    ATarvex.Signal(ASignal);
    const std::optional<TExitStatus> status = ATarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_LE(MillisecondsSince(again), ReactionMs);
    EXPECT_TRUE(status->Exited);
    EXPECT_EQ(status->Code, 1);
    EXPECT_TRUE(IsExceptionReport(ATarvex.Error(), AClassName, AMessageLine)) << ATarvex.Error();
}

TEST_F(TarvexSignals, InterruptDuringALongDelayStartsTheAlarmAndASecondEndsTheProgram) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok());
    TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, "500", "60000"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
    tarvex.Collect(100);
    ExpectAlarmThenReport(tarvex, SIGINT, "EControlC", "Control-C hit.");
}

TEST_F(TarvexSignals, QuitWhileRepliesAreLostStartsTheAlarmAndASecondEndsTheProgram) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, "300"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n", 4000)) << tarvex.Output();
    ExpectAlarmThenReport(tarvex, SIGQUIT, "EQuit", "Quit key hit.");
}

TEST_F(TarvexSignals, InterruptDuringAnEndlessReplyWaitActsAtOnce) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, "-2"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("]\n\n", 4000)) << tarvex.Output();
    tarvex.Collect(300);
    // The exchange is cut short before "Ping " is written.
    EXPECT_EQ(tarvex.Output().substr(tarvex.Output().find("]\n\n") + 3), "");
    ExpectAlarmThenReport(tarvex, SIGINT, "EControlC", "Control-C hit.");
}

TEST_F(TarvexSignals, InterruptDuringTheFailureAlarmEndsTheProgram) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("sa");
    ASSERT_TRUE(empty.Ok());
    TProcess tarvex(OptionsIn(empty.Name(), FResolver, {""}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Error occured [", 5000)) << tarvex.Output();
    tarvex.Signal(SIGINT);
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->Exited);
    EXPECT_EQ(status->Code, 1);
    EXPECT_TRUE(IsExceptionReport(tarvex.Error(), "EControlC", "Control-C hit.")) << tarvex.Error();
}

TEST_F(TarvexSignals, TerminationEndsTheProgramSilently) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok());
    TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, "500", "100"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
    tarvex.Signal(SIGTERM);
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->Exited);
    EXPECT_EQ(status->Signal, SIGTERM);
    EXPECT_EQ(tarvex.Error(), "");
    EXPECT_EQ(CountOf(tarvex.Output(), "Error occured"), 0U);
}

}  // namespace
}  // namespace tarvex::test
