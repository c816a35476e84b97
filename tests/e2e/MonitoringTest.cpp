#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

const std::string Peer(PeerNetwork::PeerAddress);

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
    return std::chrono::duration_cast<std::chrono::milliseconds>(*AProcess.OutputTime(last) -
                                                                 *AProcess.OutputTime(first))
        .count();
}

class TarvexMonitoring : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

TEST_F(TarvexMonitoring, LossesThenAnswersEachGiveOneLineWithTheBellOnlyWhileLost) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok() && network.Peer().IgnoreEchoRequests());
    // Standard error is the same terminal, so text and bells arrive in their order. A second
    // instance with the bell off watches the same peer.
    TSpawnOptions options = OptionsIn(network.Local().Name(), FResolver, {Peer, "150", "600"});
    options.Output = TStreamKind::skTerminal;
    options.Error = TStreamKind::skOutput;
    TProcess tarvex(options);
    options.Arguments.insert(options.Arguments.begin(), "-b");
    TProcess quiet(options);
    ASSERT_TRUE(tarvex.Started() && quiet.Started()) << tarvex.StartError() << quiet.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n\a", 3000, 4)) << tarvex.Output();
    ASSERT_TRUE(network.Peer().SetSysctl("net.ipv4.icmp_echo_ignore_all", "0"));
    ASSERT_TRUE(tarvex.WaitForOutput("answered!", 5000, 3)) << tarvex.Output();
    EXPECT_TRUE(quiet.WaitForOutput("answered!", 2000)) << quiet.Output();
    EXPECT_GE(CountOf(quiet.Output(), "Ping lost?\n"), 1U) << quiet.Output();
    EXPECT_EQ(CountOf(quiet.Output(), "\a"), 0U) << quiet.Output();

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
    EXPECT_EQ(CountOf(lossLines, Loss) * Loss.size(), lossLines.size()) << losses;
    // After it, answered lines and no bell; the last "Ping " may still wait for its answer.
    EXPECT_EQ(CountOf(answers, "\a"), 0U) << answers;
    std::vector<std::string> answerLines = Lines("Ping " + answers);
    if (answers.back() != '\n') {
        EXPECT_EQ(answerLines.back(), "Ping ");
        answerLines.pop_back();
    }
    for (const std::string& line : answerLines) {
        EXPECT_TRUE(IsAnsweredLine(line, Peer)) << line;
    }
    // Three time-outs of 150 ms between four losses, no delay after a loss (that would take
    // over 2 s); two delays of 600 ms between three answers. Bounds for a loaded machine.
    EXPECT_LT(SpanOfOccurrences(tarvex, "Ping lost?", 4), 1500);
    EXPECT_GE(SpanOfOccurrences(tarvex, "answered!", 3), 900);

    // Termination is not a press: no alarm, no report.
    tarvex.Signal(SIGTERM);
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->Exited);
    EXPECT_EQ(status->Signal, SIGTERM);
    EXPECT_EQ(CountOf(tarvex.Output(), "Error occured"), 0U);
    EXPECT_EQ(CountOf(tarvex.Output(), "Exception"), 0U);
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
        const std::string& output = tarvex.Output();
        const std::vector<std::string> lines = Lines(output.substr(output.find("]\n\n") + 3));
        for (std::size_t index = 0; index < 20; ++index) {
            EXPECT_EQ(lines[index], "Ping lost?");
        }
    }
}

}  // namespace
}  // namespace tarvex::test
