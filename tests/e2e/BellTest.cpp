#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

const std::string Peer(PeerNetwork::PeerAddress);

class TarvexBell : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

struct TBellPlace {
    TStreamKind Output;
    TStreamKind Error;
    const char* Expected;  // "error", "output" or "none"
};

TEST_F(TarvexBell, BellGoesToStandardErrorIfATerminalElseStandardOutputIfATerminal) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("bp");
    ASSERT_TRUE(empty.Ok());
    const std::vector<TBellPlace> places = {
        {TStreamKind::skPipe, TStreamKind::skTerminal, "error"},
        {TStreamKind::skTerminal, TStreamKind::skTerminal, "error"},
        {TStreamKind::skTerminal, TStreamKind::skPipe, "output"},
        {TStreamKind::skTerminal, TStreamKind::skNull, "output"},
        {TStreamKind::skPipe, TStreamKind::skPipe, "none"},
    };
    for (const TBellPlace& place : places) {
        SCOPED_TRACE(std::to_string(static_cast<int>(place.Output)) + "/" +
                     std::to_string(static_cast<int>(place.Error)));
        // The empty host fails the first exchange: the alarm beeps every 100 ms.
        TSpawnOptions options = OptionsIn(empty.Name(), FResolver, {""});
        options.Output = place.Output;
        options.Error = place.Error;
        TProcess tarvex(options);
        ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
        ASSERT_TRUE(tarvex.WaitForOutput("Error occured [", 5000)) << tarvex.Output();
        tarvex.Collect(450);
        const std::size_t onError = CountOf(tarvex.Error(), "\a");
        const std::size_t onOutput = CountOf(tarvex.Output(), "\a");
        if (std::string_view(place.Expected) == "error") {
            EXPECT_GE(onError, 2U);
            EXPECT_EQ(onOutput, 0U);
        } else if (std::string_view(place.Expected) == "output") {
            EXPECT_GE(onOutput, 2U);
            EXPECT_EQ(onError, 0U);
        } else {
            EXPECT_EQ(onOutput + onError, 0U);
        }
    }
}

TEST_F(TarvexBell, SwitchedOffBellNeverSounds) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    for (const std::string beepOff : {"-b", "-BEEP"}) {
        SCOPED_TRACE(beepOff);
        TSpawnOptions lost = OptionsIn(network.Local().Name(), FResolver, {beepOff, Peer, "100"});
        lost.Output = TStreamKind::skTerminal;
        lost.Error = TStreamKind::skOutput;
        TProcess losing(lost);
        ASSERT_TRUE(losing.Started()) << losing.StartError();
        EXPECT_TRUE(losing.WaitForOutput("Ping lost?\n", 3000, 3)) << losing.Output();
        EXPECT_EQ(CountOf(losing.Output(), "\a"), 0U);

        TSpawnOptions failing = OptionsIn(network.Local().Name(), FResolver, {beepOff, ""});
        failing.Output = TStreamKind::skTerminal;
        failing.Error = TStreamKind::skOutput;
        TProcess alarm(failing);
        ASSERT_TRUE(alarm.Started()) << alarm.StartError();
        ASSERT_TRUE(alarm.WaitForOutput("Error occured [", 5000)) << alarm.Output();
        alarm.Collect(350);
        EXPECT_EQ(CountOf(alarm.Output(), "\a"), 0U);
    }
}

TEST_F(TarvexBell, FirstAnswerAfterLossesBeepsOnceBetweenPingAndAnswered) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    // Standard error is the same terminal, so text and bells arrive in their order.
    TSpawnOptions options = OptionsIn(network.Local().Name(), FResolver, {Peer, "150", "100"});
    options.Output = TStreamKind::skTerminal;
    options.Error = TStreamKind::skOutput;
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n\a", 3000, 2)) << tarvex.Output();
    ASSERT_TRUE(network.Peer().SetSysctl("net.ipv4.icmp_echo_ignore_all", "0"));
    ASSERT_TRUE(tarvex.WaitForOutput("answered!", 4000, 3)) << tarvex.Output();

    const std::string& output = tarvex.Output();
    const std::size_t exchanges = output.find("]\n\n") + 3;
    const std::size_t firstAnswer = output.find("answered!");
    const std::string losses = output.substr(exchanges, firstAnswer - exchanges);
    const std::string answers = output.substr(firstAnswer);
    // Every loss: its line, then one bell. Then "Ping ", the recovery bell, the answer.
    constexpr std::string_view Loss = "Ping lost?\n\a";
    constexpr std::string_view Recovery = "Ping \a";
    ASSERT_GT(losses.size(), Recovery.size());
    EXPECT_EQ(losses.substr(losses.size() - Recovery.size()), Recovery) << losses;
    const std::string lossLines = losses.substr(0, losses.size() - Recovery.size());
    EXPECT_EQ(lossLines.size() % Loss.size(), 0U) << losses;
    EXPECT_EQ(CountOf(lossLines, Loss) * Loss.size(), lossLines.size()) << losses;
    // After it, answered lines and no bell; the last "Ping " may still wait for its answer.
    EXPECT_EQ(CountOf(answers, "\a"), 0U) << answers;
    std::vector<std::string> answerLines = Lines("Ping " + answers);
    if (answers.back() != '\n') {
        EXPECT_EQ(answerLines.back(), "Ping ");
        answerLines.pop_back();
    }
    ASSERT_GE(answerLines.size(), 3U);
    for (const std::string& line : answerLines) {
        EXPECT_TRUE(IsAnsweredLine(line, Peer)) << line;
    }
}

}  // namespace
}  // namespace tarvex::test
