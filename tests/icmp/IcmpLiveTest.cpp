// Echo exchanges over real raw sockets, inside network namespaces the tests make themselves.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdException.h"
#include "tests/icmp/IcmpTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using test::OwnIdentifier;
using test::PeerNetwork;
using test::ScopedNetnsEntry;
using test::TestNamespace;
using test::TestNetwork;

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

TEST_F(IcmpLiveTest, LoopbackExchangeIsAnsweredByTheRequestItself) {
    TestNamespace space("lb");
    ASSERT_TRUE(space.Ok());
    ScopedNetnsEntry inside(space);
    ASSERT_TRUE(inside.Ok());
    auto client = Client("127.0.0.1", 2000);
    client->PingHost();
    const TReplyStatus& reply = client->LastReply();
    // On loopback the raw socket sees the request go out before the kernel's reply.
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(reply.IcmpType, 8);
    EXPECT_EQ(reply.SourceAddress, "127.0.0.1");
    EXPECT_EQ(reply.Ttl, 128);
    EXPECT_EQ(reply.ByteCount, 72);
    EXPECT_EQ(reply.Sequence, First);
    EXPECT_EQ(client->Sequence(), First + 1);
    // The next exchange opens a fresh socket and is answered the same way.
    client->PingHost("", 7);
    EXPECT_EQ(client->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(client->LastReply().Sequence, 7);
}

TEST_F(IcmpLiveTest, PeerAnswersWithAnEchoReply) {
    PeerNetwork network;
    ASSERT_NETWORK(network);
    ScopedNetnsEntry inside(network.Local());
    ASSERT_TRUE(inside.Ok());
    auto client = Client(PeerNetwork::PeerAddress, 2000);
    client->PingHost("abc");
    const TReplyStatus& reply = client->LastReply();
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(reply.IcmpType, 0);
    EXPECT_EQ(reply.SourceAddress, PeerNetwork::PeerAddress);
    EXPECT_EQ(reply.Ttl, 64);
    EXPECT_EQ(reply.ByteCount, 72);
    EXPECT_EQ(reply.Sequence, First);
    EXPECT_EQ(client->EchoData().substr(0, 32), "abc" + std::string(29, 'E'));
}

TEST_F(IcmpLiveTest, SilentPeerTimesOutAfterTheWait) {
    PeerNetwork network;
    ASSERT_NETWORK(network);
    ASSERT_TRUE(network.Peer().IgnoreEchoRequests());
    ScopedNetnsEntry inside(network.Local());
    ASSERT_TRUE(inside.Ok());
    auto client = Client(PeerNetwork::PeerAddress, 300);
    client->PingHost();
    const TReplyStatus& reply = client->LastReply();
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoTimedOut);
    EXPECT_EQ(reply.SourceAddress, "0.0.0.0");
    EXPECT_EQ(reply.ByteCount, 0);
    EXPECT_EQ(reply.Sequence, First);
    EXPECT_GE(reply.RoundTripMs, 299U);
    EXPECT_LT(reply.RoundTripMs, 300U + 2000U);
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

TEST_F(IcmpLiveTest, RoutingLoopEndsInTimeExceeded) {
    // local -- r1 -- r2, with r1 and r2 sending 10.98.0.0/24 to each other until the
    // request's time-to-live runs out.
    TestNetwork network;
    TestNamespace& local = network.AddNamespace("lo");
    TestNamespace& r1 = network.AddNamespace("ra");
    TestNamespace& r2 = network.AddNamespace("rb");
    for (const TestNamespace* router : {&r1, &r2}) {
        ASSERT_TRUE(router->EnableForwarding());
        // The looping packets come back in on another interface than their source's route.
        ASSERT_TRUE(router->SetSysctl("net.ipv4.conf.all.rp_filter", "0"));
        ASSERT_TRUE(router->SetSysctl("net.ipv4.conf.default.rp_filter", "0"));
    }
    network.Link(local, "10.77.0.1/24", r1, "10.77.0.2/24");
    network.Link(r1, "10.77.1.1/24", r2, "10.77.1.2/24");
    network.AddRoute(local, "default via 10.77.0.2");
    network.AddRoute(r1, "10.98.0.0/24 via 10.77.1.2");
    network.AddRoute(r2, "10.98.0.0/24 via 10.77.1.1");
    network.AddRoute(r2, "default via 10.77.1.1");
    ASSERT_NETWORK(network);
    ScopedNetnsEntry inside(local);
    ASSERT_TRUE(inside.Ok());
    auto client = Client("10.98.0.7", 2000);
    client->PingHost();
    const TReplyStatus& reply = client->LastReply();
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoTtlExpired);
    EXPECT_EQ(reply.IcmpType, 11);
    EXPECT_EQ(reply.Sequence, First);
    // Sent with time-to-live 128, the request runs out at the second router.
    EXPECT_EQ(reply.SourceAddress, "10.77.1.2");
}

// Pings another host with the same sequence numbers as the client but another identifier,
// from the client's namespace, so the replies reach the client's raw socket too.
class ForeignPinger {
public:
    ForeignPinger(std::string AHost, std::uint16_t AIdentifier, std::uint16_t ASequence)
        : FHost(std::move(AHost)), FIdentifier(AIdentifier), FSequence(ASequence) {
        FThread = std::thread([this] { Run(); });
    }
    ~ForeignPinger() { Stop(); }
    bool Ok() const noexcept { return FSocket.Ok(); }
    void Stop() {
        FStop = true;
        if (FThread.joinable()) {
            FThread.join();
        }
    }
    int Replies() const noexcept { return FReplies; }

private:
    void Run() {
        const std::vector<std::uint8_t> request =
            EchoMessage(IcmpEchoRequest, FIdentifier, FSequence);
        // Bounded: at most 200 requests, 20 ms apart.
        for (int i = 0; i < 200 && !FStop && FSocket.Ok(); ++i) {
            FSocket.SendTo(request, FHost);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            while (std::chrono::steady_clock::now() < until) {
                const std::vector<std::uint8_t> got = FSocket.Receive(5);
                if (got.size() >= 28 && got[20] == IcmpEchoReply &&
                    LoadLe16(got, 20 + IcmpIdentifierOffset) == FIdentifier) {
                    ++FReplies;
                }
            }
        }
    }

    RawIcmpSocket FSocket;  // made in the namespace of the constructing thread
    std::string FHost;
    std::uint16_t FIdentifier;
    std::uint16_t FSequence;
    std::atomic<bool> FStop{false};
    std::atomic<int> FReplies{0};
    std::thread FThread;
};

TEST_F(IcmpLiveTest, ForeignPingerDoesNotMakeASilentHostLookAnswered) {
    TestNetwork network;
    TestNamespace& local = network.AddNamespace("lo");
    TestNamespace& silent = network.AddNamespace("si");
    TestNamespace& talker = network.AddNamespace("ta");
    network.Link(local, "10.77.0.1/24", silent, "10.77.0.2/24");
    network.Link(local, "10.77.2.1/24", talker, "10.77.2.2/24");
    ASSERT_NETWORK(network);
    ASSERT_TRUE(silent.IgnoreEchoRequests());
    ScopedNetnsEntry inside(local);
    ASSERT_TRUE(inside.Ok());
    auto client = Client("10.77.0.2", 800);
    const auto foreign = static_cast<std::uint16_t>(OwnIdentifier() ^ 0x8000U);
    ForeignPinger pinger("10.77.2.2", foreign, First);
    ASSERT_TRUE(pinger.Ok());
    client->PingHost();
    pinger.Stop();
    EXPECT_GT(pinger.Replies(), 0) << "the other host's replies never came";
    EXPECT_EQ(client->LastReply().Outcome, TEchoOutcome::eoTimedOut);
    EXPECT_EQ(client->LastReply().SourceAddress, "0.0.0.0");
}

// Answers the client's first echo request from a peer whose kernel answers nothing, with
// messages the test makes up.
class ScriptedResponder {
public:
    using TAnswer = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;

    // Make it while the calling thread is inside the peer, so its socket belongs there.
    ScriptedResponder(TAnswer AAnswer, std::vector<std::uint8_t> AOptions = {})
        : FAnswer(std::move(AAnswer)) {
        if (!AOptions.empty() &&
            setsockopt(FSocket.Descriptor(), IPPROTO_IP, IP_OPTIONS, AOptions.data(),
                       static_cast<socklen_t>(AOptions.size())) != 0) {
            FOptionsRefused = true;
        }
        FThread = std::thread([this] { Run(); });
    }
    ~ScriptedResponder() { Join(); }
    // Waits until the responder answered or gave up.
    void Join() {
        if (FThread.joinable()) {
            FThread.join();
        }
    }
    bool Ok() const noexcept { return FSocket.Ok() && !FOptionsRefused; }
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
            FAnswered = FSocket.SendTo(FAnswer(got), from);
            return;
        }
    }

    TAnswer FAnswer;
    RawIcmpSocket FSocket;
    bool FOptionsRefused = false;
    std::atomic<bool> FAnswered{false};
    std::thread FThread;
};

// The message with its checksum in place.
std::vector<std::uint8_t> Finished(std::vector<std::uint8_t> AMessage) {
    StoreLe16(AMessage, IcmpChecksumOffset, 0);
    StoreLe16(AMessage, IcmpChecksumOffset, InternetChecksum(AMessage));
    return AMessage;
}

// The request's own numbers, from a received request datagram.
std::uint16_t RequestIdentifier(const std::vector<std::uint8_t>& ARequest) {
    return LoadLe16(ARequest, 20 + IcmpIdentifierOffset);
}
std::uint16_t RequestSequence(const std::vector<std::uint8_t>& ARequest) {
    return LoadLe16(ARequest, 20 + IcmpSequenceOffset);
}

// What one exchange against a responder gave.
struct TExchange {
    TReplyStatus Reply;
    std::string Failure;  // the message of an EIdIcmpException, if one ended it
    bool Answered = false;
};

class IcmpResponderTest : public IcmpLiveTest {
protected:
    void SetUp() override {
        IcmpLiveTest::SetUp();
        if (IsSkipped() || HasFailure()) {
            return;
        }
        FNetwork = std::make_unique<PeerNetwork>();
        ASSERT_NETWORK(*FNetwork);
        ASSERT_TRUE(FNetwork->Peer().IgnoreEchoRequests());
    }
    void TearDown() override { FNetwork.reset(); }

    // Runs one exchange of a client against a responder in the peer namespace.
    void Exchange(ScriptedResponder::TAnswer AAnswer, std::vector<std::uint8_t> AOptions,
                  TExchange& AResult) {
        std::unique_ptr<ScriptedResponder> responder;
        {
            ScopedNetnsEntry peer(FNetwork->Peer());
            ASSERT_TRUE(peer.Ok());
            responder =
                std::make_unique<ScriptedResponder>(std::move(AAnswer), std::move(AOptions));
        }
        ASSERT_TRUE(responder->Ok());
        ScopedNetnsEntry inside(FNetwork->Local());
        ASSERT_TRUE(inside.Ok());
        // Destroyed here, still inside the namespace, also with its socket left open.
        std::unique_ptr<TIdIcmpClient> client = Client(PeerNetwork::PeerAddress, 2000);
        try {
            client->PingHost();
        } catch (const EIdIcmpException& e) {
            AResult.Failure = e.Message();
        }
        responder->Join();
        AResult.Answered = responder->Answered();
        AResult.Reply = client->LastReply();
    }

    std::unique_ptr<PeerNetwork> FNetwork;
};

TEST_F(IcmpResponderTest, ReplyWithIpOptionsIsDecodedAfterTheLongerHeader) {
    TExchange result;
    ASSERT_NO_FATAL_FAILURE(Exchange(
        [](const std::vector<std::uint8_t>& ARequest) {
            return EchoMessage(IcmpEchoReply, RequestIdentifier(ARequest),
                               RequestSequence(ARequest));
        },
        // No-operation options closed by an end-of-list: a 24-byte header.
        {1, 1, 1, 0}, result));
    EXPECT_TRUE(result.Answered);
    EXPECT_EQ(result.Failure, "");
    EXPECT_EQ(result.Reply.Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(result.Reply.IcmpType, 0);
    EXPECT_EQ(result.Reply.ByteCount, 24 + 52);
    EXPECT_EQ(result.Reply.SourceAddress, PeerNetwork::PeerAddress);
    EXPECT_EQ(result.Reply.Sequence, First);
}

TEST_F(IcmpResponderTest, TimeExceededQuotingTheRequestIsTtlExpired) {
    TExchange result;
    ASSERT_NO_FATAL_FAILURE(Exchange(
        [](const std::vector<std::uint8_t>& ARequest) {
            std::vector<std::uint8_t> message = {IcmpTimeExceeded, 0, 0, 0, 0, 0, 0, 0};
            message.insert(message.end(), ARequest.begin(), ARequest.begin() + 28);
            return Finished(message);
        },
        {}, result));
    EXPECT_TRUE(result.Answered);
    EXPECT_EQ(result.Failure, "");
    EXPECT_EQ(result.Reply.Outcome, TEchoOutcome::eoTtlExpired);
    EXPECT_EQ(result.Reply.IcmpType, 11);
    EXPECT_EQ(result.Reply.ByteCount, 20 + 8 + 28);
    EXPECT_EQ(result.Reply.SourceAddress, PeerNetwork::PeerAddress);
    EXPECT_EQ(result.Reply.Sequence, First);
}

TEST_F(IcmpResponderTest, ParameterProblemQuotingTheRequestEndsTheExchange) {
    TExchange result;
    ASSERT_NO_FATAL_FAILURE(Exchange(
        [](const std::vector<std::uint8_t>& ARequest) {
            std::vector<std::uint8_t> message = {12, 0, 0, 0, 0, 0, 0, 0};
            message.insert(message.end(), ARequest.begin(), ARequest.begin() + 28);
            return Finished(message);
        },
        {}, result));
    EXPECT_TRUE(result.Answered);
    EXPECT_EQ(result.Failure, "Non-echo type response received");
    // The failed exchange left the previous (empty) record in place.
    EXPECT_EQ(result.Reply.ByteCount, 0);
    EXPECT_EQ(result.Reply.SourceAddress, "");
}

}  // namespace
}  // namespace tarvex
