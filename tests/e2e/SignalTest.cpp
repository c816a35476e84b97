#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Sends ASignal, expects the alarm promptly (and, with AAtOnce, nothing else first), then
// sends it again and expects the report.
void ExpectAlarmThenReport(TProcess& ATarvex, int ASignal, std::string_view AClassName,
                           std::string_view AMessageLine, bool AAtOnce = true) {
    const std::size_t before = ATarvex.Output().size();
    const Clock::time_point sent = Clock::now();
    ATarvex.Signal(ASignal);
    ASSERT_TRUE(ATarvex.WaitForOutput("Error occured [", 3000)) << ATarvex.Output().substr(before);
    EXPECT_LE(MillisecondsSince(sent), ReactionMs);
    const std::string after = ATarvex.Output().substr(before);
    if (AAtOnce) {
        EXPECT_EQ(after.substr(0, 16), "\nError occured [") << after;
    }
    // One press never ends the program.
    EXPECT_FALSE(ATarvex.WaitExit(300).has_value());

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

TEST_F(TarvexSignals, InterruptEndsTheAlarmWhenDescriptorsPassTheSelectLimit) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace space("sd");
    ASSERT_TRUE(space.Ok());
    // The socket and the program's own pipes all get numbers past 1023: the reply wait
    // refuses the socket and the alarm starts, whose waits must still hear Control-C.
    TSpawnOptions options = OptionsIn(space.Name(), FResolver, {"-b", "127.0.0.1"});
    options.InheritedDescriptors = 1100;
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Error occured [", 5000)) << tarvex.Output();
    tarvex.Collect(100);
    const Clock::time_point sent = Clock::now();
    tarvex.Signal(SIGINT);
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_LE(MillisecondsSince(sent), ReactionMs);
    EXPECT_TRUE(status->Exited);
    EXPECT_EQ(status->Code, 1);
    EXPECT_TRUE(IsExceptionReport(tarvex.Error(), "EControlC", "Control-C hit.")) << tarvex.Error();
}

// A name server that takes queries and never answers, on the namespace's own 127.0.0.1:53.
class TSilentNameServer {
public:
    explicit TSilentNameServer(const TestNamespace& ANamespace) {
        const ScopedNetnsEntry inside(ANamespace);
        FSocket = inside.Ok() ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FOk = FSocket >= 0 && bind(FSocket, static_cast<sockaddr*>(static_cast<void*>(&address)),
                                   sizeof address) == 0;
    }
    ~TSilentNameServer() {
        if (FSocket >= 0) {
            close(FSocket);
        }
    }
    TSilentNameServer(const TSilentNameServer&) = delete;
    TSilentNameServer& operator=(const TSilentNameServer&) = delete;
    bool Ok() const noexcept { return FOk; }

private:
    int FSocket = -1;
    bool FOk = false;
};

TEST(TarvexSignalsInLookup, InterruptDuringALookupOnASilentResolverActsAtOnce) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace space("sl");
    ASSERT_TRUE(space.Ok());
    const TSilentNameServer server(space);
    ASSERT_TRUE(server.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1", "timeout:30 attempts:1");
    TProcess tarvex(OptionsIn(space.Name(), resolver, {"-b", "silent.tvx"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("]\n\n", 4000)) << tarvex.Output();
    tarvex.Collect(300);
    ExpectAlarmThenReport(tarvex, SIGINT, "EControlC", "Control-C hit.");
}

TEST_F(TarvexSignals, InterruptWithANegativeTimeoutActs) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace space("sn");
    ASSERT_TRUE(space.Ok());
    TProcess tarvex(OptionsIn(space.Name(), FResolver, {"-b", "127.0.0.1", "-5"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n", 4000, 100)) << tarvex.Output();
    ExpectAlarmThenReport(tarvex, SIGINT, "EControlC", "Control-C hit.", false);
}

TEST_F(TarvexSignals, InterruptsEndWritesToAPipeNobodyReads) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace space("sp");
    ASSERT_TRUE(space.Ok());
    TProcess tarvex(OptionsIn(space.Name(), FResolver, {"-b", "127.0.0.1", "-5"}));
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    ASSERT_TRUE(tarvex.WaitForOutput("Ping lost?\n", 4000)) << tarvex.Output();
    tarvex.StallOutput();
    // Far more than the pipe holds is written by now: the program is blocked in a write.
    tarvex.Collect(500);
    tarvex.Signal(SIGINT);
    // The alarm's own writes block too, and one press never ends the program.
    EXPECT_FALSE(tarvex.WaitExit(500).has_value());
    const Clock::time_point again = Clock::now();
    tarvex.Signal(SIGINT);
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    ASSERT_TRUE(status.has_value());
    EXPECT_LE(MillisecondsSince(again), ReactionMs);
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
