// Echo exchanges over real raw sockets, inside network namespaces the tests make themselves.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdStackConsts.h"
#include "net/IdStackLinux.h"
#include "tests/icmp/IcmpTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using test::PeerNetwork;
using test::ScopedNetnsEntry;
using test::TestNamespace;

constexpr std::uint16_t First = TIdIcmpClient::FirstSequence;

// A raw ICMP socket of the test's own, closed with the object.
class RawIcmpSocket {
public:
    RawIcmpSocket() : FDescriptor(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~RawIcmpSocket() {
        if (FDescriptor >= 0) {
            close(FDescriptor);
        }
    }
    RawIcmpSocket(const RawIcmpSocket&) = delete;
    RawIcmpSocket& operator=(const RawIcmpSocket&) = delete;

    bool Ok() const noexcept { return FDescriptor >= 0; }
    int Descriptor() const noexcept { return FDescriptor; }

    // Sends an ICMP message (the kernel adds the IPv4 header) to a dotted address.
    bool SendTo(const std::vector<std::uint8_t>& AMessage, const std::string& AAddress) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        if (inet_pton(AF_INET, AAddress.c_str(), &to.sin_addr) != 1) {
            return false;
        }
        sockaddr* target = static_cast<sockaddr*>(static_cast<void*>(&to));
        return sendto(FDescriptor, AMessage.data(), AMessage.size(), 0, target, sizeof(to)) ==
               static_cast<ssize_t>(AMessage.size());
    }

    // Reads one datagram (IPv4 header first) within AWaitMs; empty when none came.
    std::vector<std::uint8_t> Receive(int AWaitMs) const {
        pollfd entry{FDescriptor, POLLIN, 0};
        if (poll(&entry, 1, AWaitMs) != 1) {
            return {};
        }
        std::vector<std::uint8_t> datagram(PacketAreaSize);
        const ssize_t got = recv(FDescriptor, datagram.data(), datagram.size(), MSG_DONTWAIT);
        datagram.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return datagram;
    }

private:
    int FDescriptor;
};

std::vector<std::uint8_t> EchoMessage(std::uint8_t AType, std::uint16_t AIdentifier,
                                      std::uint16_t ASequence) {
    TPacketArea area{};
    BuildEchoRequest(area, AIdentifier, ASequence, 0, "");
    area[IcmpTypeOffset] = AType;
    StoreLe16(area, IcmpChecksumOffset, 0);
    StoreLe16(area, IcmpChecksumOffset,
              InternetChecksum(std::span<const std::uint8_t>(area.data(), EchoRequestSize)));
    return {area.begin(), area.begin() + EchoRequestSize};
}

// Checks a test network came up; a test returns at once when it did not.
#define ASSERT_NETWORK(ANetwork) ASSERT_TRUE((ANetwork).Ok()) << "cannot set up the namespaces"

class IcmpLiveTest : public testing::Test {
protected:
    void SetUp() override {
        TARVEX_REQUIRE_NETNS();
        IdComponentStartUp();
    }

    // A client made (and its sockets opened) in the namespace the calling thread is in.
    static std::unique_ptr<TIdIcmpClient> Client(std::string_view AHost, std::int32_t AWaitMs) {
        auto client = std::make_unique<TIdIcmpClient>(nullptr);
        client->SetHost(std::string(AHost));
        client->SetReceiveTimeout(AWaitMs);
        return client;
    }
};

// The real stack, with a burst of other programs' replies arriving just before the filter goes
// on, as on a busy machine where the process loses the processor between the two calls.
class CrowdingStack : public TIdStackLinux {
public:
    std::int32_t SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                              std::int32_t AOptName, const void* AOptVal,
                              std::int32_t AOptLen) override {
        if (AOptName == Id_SO_ATTACH_FILTER) {
            const RawIcmpSocket other;
            const std::vector<std::uint8_t> foreign = EchoMessage(IcmpEchoReply, 0xBEEF, 1);
            for (int i = 0; i < 1000 && other.SendTo(foreign, "127.0.0.1"); ++i) {
            }
        }
        return TIdStackLinux::SysSetOption(ASocket, ALevel, AOptName, AOptVal, AOptLen);
    }
    static std::unique_ptr<TIdStack> New() { return std::make_unique<CrowdingStack>(); }
};

TEST_F(IcmpLiveTest, LoopbackExchangeIsAnsweredByTheKernelsReplyOnly) {
    TestNamespace space("lb");
    ASSERT_TRUE(space.Ok());
    ScopedNetnsEntry inside(space);
    ASSERT_TRUE(inside.Ok());
    const TIdStackClass saved = StackClass;
    StackClass = &CrowdingStack::New;
    auto client = Client("127.0.0.1", 2000);
    client->PingHost();
    const TReplyStatus& reply = client->LastReply();
    // The raw socket would see the request go out before the kernel's reply, and others'
    // replies came before the filter: only the reply answers.
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(reply.IcmpType, 0);
    EXPECT_EQ(reply.SourceAddress, "127.0.0.1");
    EXPECT_EQ(reply.ByteCount, 72);
    EXPECT_EQ(reply.Sequence, First);
    EXPECT_EQ(client->Sequence(), First + 1);
    // The next exchange opens a fresh socket and is answered the same way.
    client->PingHost("", 7);
    EXPECT_EQ(client->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(client->LastReply().Sequence, 7);
    // A changed host is sent to at its new address, and only that address's answer counts.
    client->SetHost("127.0.0.2");
    client->PingHost();
    EXPECT_EQ(client->LastReply().SourceAddress, "127.0.0.2");
    // An own address that answers nothing is silent, whatever the socket sees go out.
    EXPECT_TRUE(space.IgnoreEchoRequests());
    client->SetReceiveTimeout(300);
    client->PingHost();
    EXPECT_EQ(client->LastReply().Outcome, TEchoOutcome::eoTimedOut);
    StackClass = saved;
}

TEST_F(IcmpLiveTest, UnreachableRouteIsReportedByTheRouter) {
    PeerNetwork network;
    ASSERT_NETWORK(network);
    TestNamespace& router = network.Peer();
    ASSERT_TRUE(router.EnableForwarding());
    ASSERT_TRUE(network.AddRoute(network.Local(), "default via 10.77.0.2"));
    ASSERT_TRUE(network.AddRoute(router, "unreachable 10.99.0.0/24"));
    ScopedNetnsEntry inside(network.Local());
    ASSERT_TRUE(inside.Ok());
    auto client = Client("10.99.0.5", 2000);
    client->PingHost();
    const TReplyStatus& reply = client->LastReply();
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoUnreachable);
    EXPECT_EQ(reply.IcmpType, 3);
    EXPECT_EQ(reply.SourceAddress, PeerNetwork::PeerAddress);
    EXPECT_EQ(reply.Sequence, First);
    // Outer header, ICMP header, then the request datagram: Linux quotes all of it.
    EXPECT_EQ(reply.ByteCount, 20 + 8 + 20 + 52);
}

// Answers the client's first echo request with an echo reply, from a peer whose kernel answers
// nothing: with IP options on the reply, and after a burst of replies to another identifier.
class Responder {
public:
    // Make it while the calling thread is inside the peer, so its socket belongs there.
    explicit Responder(int AForeignBurst) : FForeignBurst(AForeignBurst) {
        // No-operation options closed by an end-of-list: a 24-byte header.
        const std::uint8_t options[] = {1, 1, 1, 0};
        FOptionsSet =
            setsockopt(FSocket.Descriptor(), IPPROTO_IP, IP_OPTIONS, options, sizeof options) == 0;
        FThread = std::thread([this] { Run(); });
    }
    ~Responder() { Join(); }
    // Waits until the responder answered or gave up.
    void Join() {
        if (FThread.joinable()) {
            FThread.join();
        }
    }
    bool Ok() const noexcept { return FSocket.Ok() && FOptionsSet; }
    bool Answered() const noexcept { return FAnswered; }

private:
    void Run() {
        // Bounded: the first request within 3 seconds, at most 50 datagrams looked at.
        for (int i = 0; i < 50 && FSocket.Ok(); ++i) {
            const std::vector<std::uint8_t> got = FSocket.Receive(3000);
            if (got.empty()) {
                return;
            }
            const std::size_t h = static_cast<std::size_t>(got[0] & 0x0F) * 4;
            if (got.size() < h + 8 || got[h] != IcmpEchoRequest) {
                continue;
            }
            const std::string from = std::to_string(got[12]) + "." + std::to_string(got[13]) + "." +
                                     std::to_string(got[14]) + "." + std::to_string(got[15]);
            const std::uint16_t identifier = LoadLe16(got, h + IcmpIdentifierOffset);
            const std::uint16_t sequence = LoadLe16(got, h + IcmpSequenceOffset);
            const std::vector<std::uint8_t> foreign = EchoMessage(
                IcmpEchoReply, static_cast<std::uint16_t>(identifier ^ 0x5A5AU), sequence);
            for (int sent = 0; sent < FForeignBurst; ++sent) {
                FSocket.SendTo(foreign, from);
            }
            FAnswered = FSocket.SendTo(EchoMessage(IcmpEchoReply, identifier, sequence), from);
            return;
        }
    }

    RawIcmpSocket FSocket;
    int FForeignBurst;
    bool FOptionsSet = false;
    std::atomic<bool> FAnswered{false};
    std::thread FThread;
};

// A responder made inside the peer, whose kernel is silenced; none when that cannot be done.
std::unique_ptr<Responder> ResponderIn(PeerNetwork& ANetwork, int AForeignBurst) {
    if (!ANetwork.Peer().IgnoreEchoRequests()) {
        return nullptr;
    }
    const ScopedNetnsEntry peer(ANetwork.Peer());
    auto responder = peer.Ok() ? std::make_unique<Responder>(AForeignBurst) : nullptr;
    return responder != nullptr && responder->Ok() ? std::move(responder) : nullptr;
}

// The real stack, counting the waits for a datagram: one per datagram read.
class CountingStack : public TIdStackLinux {
public:
    std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite, TIdHandleList* AError,
                           std::int32_t ATimeout) override {
        ++Waits;
        return TIdStackLinux::SysSelect(ARead, AWrite, AError, ATimeout);
    }
    static std::unique_ptr<TIdStack> New() { return std::make_unique<CountingStack>(); }
    static inline int Waits = 0;
};

// Replies to other programs' requests must cost nothing: read one by one they would fill the
// receive queue and crowd out the answer that follows them. The answer carries IP options, so
// it is decoded after the longer header.
TEST_F(IcmpLiveTest, ForeignRepliesNeverReachTheClient) {
    PeerNetwork network;
    ASSERT_NETWORK(network);
    const std::unique_ptr<Responder> responder = ResponderIn(network, 2000);
    ASSERT_NE(responder, nullptr);
    ScopedNetnsEntry inside(network.Local());
    ASSERT_TRUE(inside.Ok());
    const TIdStackClass saved = StackClass;
    StackClass = &CountingStack::New;
    CountingStack::Waits = 0;
    {
        auto client = Client(PeerNetwork::PeerAddress, 5000);
        client->PingHost();
        responder->Join();
        EXPECT_TRUE(responder->Answered());
        const TReplyStatus& reply = client->LastReply();
        EXPECT_EQ(reply.Outcome, TEchoOutcome::eoReplied);
        EXPECT_EQ(reply.ByteCount, 24 + 52);
        EXPECT_EQ(reply.SourceAddress, PeerNetwork::PeerAddress);
        EXPECT_EQ(reply.Sequence, First);
    }
    StackClass = saved;
    EXPECT_EQ(CountingStack::Waits, 1);
}

}  // namespace
}  // namespace tarvex
