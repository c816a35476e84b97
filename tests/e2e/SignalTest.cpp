#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

// Presses (interrupt and quit) in every state of a run are held by the promise check; this is
// the signal it does not send.

namespace tarvex::test {
namespace {

const std::string Peer(PeerNetwork::PeerAddress);

class TarvexSignals : public testing::Test {
protected:
    TResolverFiles FResolver{"127.0.0.1 localhost\n", "127.0.0.1"};
};

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
