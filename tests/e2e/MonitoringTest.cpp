#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using std::chrono::milliseconds;

const std::string Peer(PeerNetwork::PeerAddress);

// The exchange lines of a run: what follows the settings line and its empty line.
std::vector<std::string> ExchangeLines(const std::string& AOutput) {
    const std::size_t start = AOutput.find("]\n\n");
    return start == std::string::npos ? std::vector<std::string>{}
                                      : Lines(AOutput.substr(start + 3));
}

// Milliseconds between the arrival of the first and the ACount-th occurrence of AText.
long SpanOfOccurrences(const TProcess& AProcess, std::string_view AText, std::size_t ACount) {
    const std::string& output = AProcess.Output();
    const std::size_t first = output.find(AText);
    std::size_t last = first;
    for (std::size_t seen = 1; seen < ACount && last != std::string::npos; ++seen) {
        last = output.find(AText, last + AText.size());
    }
    if (first == std::string::npos || last == std::string::npos) {
        return -1;
    }
    return std::chrono::duration_cast<milliseconds>(*AProcess.OutputTime(last) -
                                                    *AProcess.OutputTime(first))
        .count();
}

class TarvexMonitoring : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n127.0.0.1 loop.test\n", "127.0.0.1"};
};

TEST_F(TarvexMonitoring, AnsweringPeerGivesOneAnsweredLinePerExchangePacedByTheDelay) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok());
    TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, "500", "300"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 6000, 4)) << tarvex.Output();
    const std::vector<std::string> lines = ExchangeLines(tarvex.Output());
    ASSERT_GE(lines.size(), 4U);
    for (std::size_t index = 0; index < 4; ++index) {
        EXPECT_TRUE(IsAnsweredLine(lines[index], Peer)) << lines[index];
    }
    // Three delays of 300 ms lie between the first and the fourth line. The bounds leave room
    // for a late read of the first line and for a loaded machine.
    const long span = SpanOfOccurrences(tarvex, "Ping answered!", 4);
    EXPECT_GE(span, 600);
    EXPECT_LE(span, 3000);
    EXPECT_EQ(tarvex.Error(), "");
}

TEST_F(TarvexMonitoring, NegativeDelayIsAPauseOfAboutSeventyMinutes) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace local("nd");
    ASSERT_TRUE(local.Ok());
    // -1 ms taken as an unsigned count of microseconds: the next exchange is far away.
    TProcess tarvex(OptionsIn(local.Name(), FResolver, {"-b", "127.0.0.1", "500", "-1"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping answered!", 4000)) << tarvex.Output();
    tarvex.Collect(1200);
    EXPECT_EQ(CountOf(tarvex.Output(), "Ping "), 1U) << tarvex.Output();
}

TEST_F(TarvexMonitoring, SilentPeerGivesOneLostLineAndOneBellPerTimeOutWithoutPause) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    // The default delay of 1000 ms would show between lost lines if it were applied.
    TSpawnOptions options = OptionsIn(network.Local().Name(), FResolver, {Peer, "200"});
    options.Error = TStreamKind::skTerminal;
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n", 5000, 4)) << tarvex.Output();
    const std::size_t lostBefore = CountOf(tarvex.Output(), "Ping lost?\n");
    tarvex.Collect(60);
    const std::size_t bells = CountOf(tarvex.Error(), "\a");
    EXPECT_GE(bells, lostBefore);
    EXPECT_LE(bells, CountOf(tarvex.Output(), "Ping lost?\n"));
    EXPECT_EQ(tarvex.Error(), std::string(bells, '\a'));
    for (const std::string& line : ExchangeLines(tarvex.Output())) {
        EXPECT_EQ(line, "Ping lost?");
    }
    const long span = SpanOfOccurrences(tarvex, "Ping lost?", 4);
    // Three time-outs of 200 ms; with the 1000 ms delay wrongly applied it would be over 3 s.
    EXPECT_GE(span, 400);
    EXPECT_LT(span, 2000);
}

TEST_F(TarvexMonitoring, ZeroAndNegativeTimeOutsGiveLostLinesAtOnce) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    for (const std::string timeout : {"0", "-5"}) {
        SCOPED_TRACE(timeout);
        TProcess tarvex(OptionsIn(network.Local().Name(), FResolver, {"-b", Peer, timeout}));
        ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
        ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n", 3000, 20)) << tarvex.Output();
        EXPECT_LT(SpanOfOccurrences(tarvex, "Ping lost?", 20), 1000);
        const std::vector<std::string> lines = ExchangeLines(tarvex.Output());
        for (std::size_t index = 0; index < 20; ++index) {
            EXPECT_EQ(lines[index], "Ping lost?");
        }
    }
}

TEST_F(TarvexMonitoring, TwoInstancesTellTheirOwnRepliesApart) {
    TARVEX_REQUIRE_NETNS();
    TestNetwork network;
    TestNamespace& local = network.AddNamespace("tw");
    TestNamespace& answering = network.AddNamespace("ta");
    TestNamespace& silent = network.AddNamespace("ts");
    ASSERT_TRUE(network.Link(local, "10.77.0.1/24", answering, "10.77.0.2/24"));
    ASSERT_TRUE(network.Link(local, "10.78.0.1/24", silent, "10.78.0.2/24"));
    ASSERT_TRUE(network.Ok() && silent.IgnoreEchoRequests());
    // Started together, both number their requests from the same first sequence number.
    TProcess watchingSilent(OptionsIn(local.Name(), FResolver, {"-b", "10.78.0.2", "200", "0"}));
    TProcess watchingAnswering(
        OptionsIn(local.Name(), FResolver, {"-b", "10.77.0.2", "200", "200"}));
    ASSERT_TRUE(watchingSilent.Started() && watchingAnswering.Started());
    ASSERT_TRUE(watchingAnswering.WaitForOutput("Ping answered! 10.77.0.2", 5000, 5))
        << watchingAnswering.Output();
    watchingSilent.Collect(50);
    EXPECT_EQ(CountOf(watchingSilent.Output(), "answered!"), 0U) << watchingSilent.Output();
    EXPECT_GE(CountOf(watchingSilent.Output(), "Ping lost?\n"), 3U) << watchingSilent.Output();
}

}  // namespace
}  // namespace tarvex::test
