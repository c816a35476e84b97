#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdRawBase.h"
#include "icmp/IdRawClient.h"
#include "net/IdException.h"
#include "tests/support/FakeStack.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using test::FakeReceive;
using test::FakeSelect;
using Calls = std::vector<std::string>;

class IdRawBaseTest : public testing::Test {
protected:
    void SetUp() override {
        IdComponentStartUp();
        FClient = std::make_unique<TIdRawClient>(nullptr);
    }
    void TearDown() override { FClient.reset(); }

    test::FakeScript& Script() { return FFake.Script(); }

    test::FakeStackScope FFake;
    std::unique_ptr<TIdRawClient> FClient;
    std::vector<std::uint8_t> FBuffer = std::vector<std::uint8_t>(64);
};

TEST_F(IdRawBaseTest, ReceiveThatFindsDataSetsTheTimeToLiveTwice) {
    Script().Receives.push_back(FakeReceive::Of({1, 2, 3}));
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, 250), 3);
    EXPECT_EQ(Script().Calls,
              (Calls{"SysOpenSocket(2,3,255)", "SysSetOption(3,0,2,128)", "SysSelect([3],-,-,250)",
                     "SysSetOption(3,0,2,128)", "SysReceive(3,64,0)"}));
    EXPECT_EQ(FBuffer[2], 3);
}

TEST_F(IdRawBaseTest, NegativeTimeoutWaitsReceiveTimeout) {
    const std::vector<std::pair<std::int32_t, std::string>> cases = {
        {250, "SysSelect([3],-,-,250)"}, {WaitForever, "SysSelect([3],-,-,-2)"}};
    for (const auto& [receiveTimeout, select] : cases) {
        Script().Calls.clear();
        FClient->SetReceiveTimeout(receiveTimeout);
        EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, -1), 0);
        ASSERT_GE(Script().Calls.size(), 1U);
        EXPECT_EQ(Script().Calls.back(), select);
    }
}

TEST_F(IdRawBaseTest, ReceiveResultsAtAGlance) {
    // No room or no buffer: not even a socket is opened.
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 0, 100), 0);
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), -5, 100), 0);
    EXPECT_EQ(FClient->ReceivePacket(nullptr, 64, 100), 0);
    EXPECT_TRUE(Script().Calls.empty());
    Script().Selects.push_back(FakeSelect::TimedOut());
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, 10), 0);
    Script().Selects.push_back(FakeSelect::Failure(4));
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, 10), 0);
    Script().Receives.push_back(FakeReceive::Failure(104));
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, 10), -1);
    // A datagram longer than the room gives the room's worth.
    Script().Receives.push_back(FakeReceive::Of(std::vector<std::uint8_t>(100, 7)));
    EXPECT_EQ(FClient->ReceivePacket(FBuffer.data(), 64, 10), 64);
}

// The time-to-live is written at every access; a new protocol waits for the next socket.
TEST_F(IdRawBaseTest, ProtocolChangeTakesEffectOnlyWhenTheSocketIsReopened) {
    FClient->SocketHandle();
    FClient->SetProtocol(1);
    FClient->SocketHandle();
    FClient->SocketHandle().Close();
    FClient->SocketHandle();
    EXPECT_EQ(Script().Calls,
              (Calls{"SysOpenSocket(2,3,255)", "SysSetOption(3,0,2,128)", "SysSetOption(3,0,2,128)",
                     "SysSetOption(3,0,2,128)", "SysShutdown(3,2)", "SysClose(3)",
                     "SysOpenSocket(2,3,1)", "SysSetOption(4,0,2,128)"}));
}

TEST_F(IdRawBaseTest, LocalhostInAnyCaseIsSentTo127001WithoutLookup) {
    const std::uint8_t bytes[3] = {1, 2, 3};
    for (const char* host : {"LOCALHOST", "localhost", "LocalHost", "lOcAlHoSt"}) {
        Script().Calls.clear();
        FClient->SendPacket(host, 7, bytes, 3);
        ASSERT_FALSE(Script().Calls.empty());
        EXPECT_EQ(Script().Calls.back(), "SysSendTo(3,3,0,127.0.0.1,7)") << host;
        for (const std::string& call : Script().Calls) {
            EXPECT_EQ(call.find("SysHostAddressByName"), std::string::npos) << host;
        }
    }
}

TEST_F(IdRawBaseTest, HostIsResolvedOnEveryCallBeforeTheSocketIsTouched) {
    const std::uint8_t bytes[1] = {9};
    EXPECT_THROW(FClient->SendPacket("nowhere.test", 0, bytes, 1), EIdSocketError);
    Script().HostAddresses["peer.test"] = "10.77.0.2";
    FClient->SendPacket("peer.test", 0, bytes, 1);
    Script().HostAddresses["peer.test"] = "10.77.0.3";
    FClient->SendPacket("peer.test", 0, bytes, 1);
    EXPECT_EQ(Script().Calls,
              (Calls{"SysHostAddressByName(nowhere.test)", "SysHostAddressByName(peer.test)",
                     "SysOpenSocket(2,3,255)", "SysSetOption(3,0,2,128)",
                     "SysSendTo(3,1,0,10.77.0.2,0)", "SysHostAddressByName(peer.test)",
                     "SysSetOption(3,0,2,128)", "SysSendTo(3,1,0,10.77.0.3,0)"}));
    EXPECT_EQ(FClient->Host(), "");
    EXPECT_EQ(Script().Sent.back(), (std::vector<std::uint8_t>{9}));
}

TEST_F(IdRawBaseTest, RefusedSocketRaisesAndTheNextAccessTriesAgain) {
    Script().NextSocket = -1;
    EXPECT_THROW_MSG(FClient->SocketHandle(), EIdInvalidSocket, "Cannot allocate socket.");
    Script().NextSocket = 5;
    EXPECT_TRUE(FClient->SocketHandle().IsOpen());
    EXPECT_EQ(Script().Calls, (Calls{"SysOpenSocket(2,3,255)", "SysOpenSocket(2,3,255)",
                                     "SysSetOption(5,0,2,128)"}));
    Script().SetOptionResult = {-1, 22};
    EXPECT_THROW(FClient->SocketHandle(), EIdSocketError);
}

TEST_F(IdRawBaseTest, BufferSizeChangesOnlyTheBuffer) {
    FClient->SetBufferSize(100);
    EXPECT_EQ(FClient->BufferSize(), 100);
    FClient->SetBufferSize(-3);
    EXPECT_EQ(FClient->BufferSize(), 0);
    EXPECT_TRUE(Script().Calls.empty());
}

TEST_F(IdRawBaseTest, DestroyingWithAnOpenSocketClosesItBeforeTheStackGoes) {
    FClient->SocketHandle();
    Script().Calls.clear();
    ASSERT_EQ(Script().StacksDestroyed, 0);
    FClient.reset();
    EXPECT_EQ(Script().Calls, (Calls{"SysShutdown(3,2)", "SysClose(3)"}));
    EXPECT_EQ(Script().StacksDestroyed, 1);
    EXPECT_EQ(StackInstance, nullptr);
}

}  // namespace
}  // namespace tarvex
