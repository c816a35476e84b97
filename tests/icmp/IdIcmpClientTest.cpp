#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "net/IdException.h"
#include "net/IdStackConsts.h"
#include "tests/icmp/IcmpTestSupport.h"
#include "tests/support/FakeStack.h"
#include "tests/support/TestSupport.h"
#include "util/Signals.h"

namespace tarvex {
namespace {

using test::EchoDatagram;
using test::ErrorDatagram;
using test::FakeReceive;
using test::FakeSelect;
using test::OwnIdentifier;
using Calls = std::vector<std::string>;

constexpr std::uint16_t First = 3489;

class IdIcmpClientTest : public testing::Test {
protected:
    void SetUp() override {
        IdComponentStartUp();
        MakeClient();
    }
    // A client for 10.77.0.2 whose replies are collected in FReplies.
    void MakeClient() {
        FClient = std::make_unique<TIdIcmpClient>(nullptr);
        FClient->SetHost("10.77.0.2");
        FClient->SetOnReply([this](TComponent& ASender, const TReplyStatus& AReply) {
            EXPECT_EQ(&ASender, FClient.get());
            EXPECT_EQ(&AReply, &FClient->LastReply());
            FReplies.push_back(AReply);
        });
    }
    void TearDown() override { FClient.reset(); }

    test::FakeScript& Script() { return FFake.Script(); }
    void Queue(std::vector<std::uint8_t> ADatagram, std::string AFrom = "10.77.0.2") {
        Script().Receives.push_back(FakeReceive::Of(std::move(ADatagram), std::move(AFrom)));
    }
    std::uint16_t SentSequence(std::size_t AIndex) {
        return LoadLe16(Script().Sent.at(AIndex), IcmpSequenceOffset);
    }

    test::FakeStackScope FFake;
    std::unique_ptr<TIdIcmpClient> FClient;
    std::vector<TReplyStatus> FReplies;
};

void ExpectTimedOut(const TReplyStatus& AReply, std::uint16_t ASequence) {
    EXPECT_EQ(AReply.Outcome, TEchoOutcome::eoTimedOut);
    EXPECT_EQ(AReply.SourceAddress, "0.0.0.0");
    EXPECT_EQ(AReply.ByteCount, 0);
    EXPECT_EQ(AReply.IcmpType, 0);
    EXPECT_EQ(AReply.Ttl, 0);
    EXPECT_EQ(AReply.Sequence, ASequence);
}

TEST_F(IdIcmpClientTest, AnsweredExchangeRunsOnItsOwnSocket) {
    FClient->SetPort(1111);
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}, 64));
    FClient->PingHost();
    EXPECT_EQ(Script().Calls,
              (Calls{"SysOpenSocket(2,3,1)", "SysSetOption(3,1,26,?)", "SysSetOption(3,1,35,1)",
                     "SysSetOption(3,0,2,128)", "SysSendTo(3,52,0,10.77.0.2,1111)",
                     "SysSetOption(3,0,2,128)", "SysSelect([3],-,-,5000)",
                     "SysSetOption(3,0,2,128)", "SysReceive(3,1024,0)", "SysSetOption(3,0,2,128)",
                     "SysShutdown(3,2)", "SysClose(3)"}));
    const TReplyStatus& reply = FClient->LastReply();
    EXPECT_EQ(reply.Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(reply.ByteCount, 72);
    EXPECT_EQ(reply.SourceAddress, "10.77.0.2");
    EXPECT_EQ(reply.IcmpType, 0);
    EXPECT_EQ(reply.Sequence, First);
    EXPECT_EQ(reply.Ttl, 64);
    ASSERT_EQ(FReplies.size(), 1U);
    EXPECT_EQ(FClient->Sequence(), First + 1);
    EXPECT_EQ(FClient->EchoData().substr(0, 32), std::string(32, 'E'));
    EXPECT_EQ(FClient->EchoData().size(), 1004U - 20U);
}

TEST_F(IdIcmpClientTest, RequestCarriesIdentifierSequenceAndData) {
    FClient->SetReceiveTimeout(0);
    FClient->PingHost("abc");
    ASSERT_EQ(Script().Sent.size(), 1U);
    const std::vector<std::uint8_t>& sent = Script().Sent[0];
    ASSERT_EQ(sent.size(), 52U);
    EXPECT_EQ(LoadLe16(sent, IcmpIdentifierOffset), OwnIdentifier());
    EXPECT_EQ(std::string(sent.begin() + 20, sent.end()), "abc" + std::string(29, 'E'));
    EXPECT_EQ(InternetChecksum(sent), 0);
}

TEST_F(IdIcmpClientTest, NothingArrivingIsATimeOutOfAboutTheWait) {
    FClient->SetReceiveTimeout(60);
    Script().Selects.push_back(FakeSelect::TimedOut(60));
    FClient->PingHost();
    ExpectTimedOut(FClient->LastReply(), First);
    EXPECT_GE(FClient->LastReply().RoundTripMs, 59U);
    EXPECT_EQ(Script().Calls.back(), "SysClose(3)");
    ASSERT_EQ(FReplies.size(), 1U);
    EXPECT_EQ(FReplies[0].RoundTripMs, FClient->LastReply().RoundTripMs);
    EXPECT_EQ(FClient->Sequence(), First + 1);
}

// A resolver that takes its time, and a process that got the processor back only after its
// answer had been waiting in the queue.
class SlowNetworkStack : public test::FakeStack {
public:
    using FakeStack::FakeStack;
    std::string SysHostAddressByName(const std::string& AHostName) override {
        SleepMs(300);
        return FakeStack::SysHostAddressByName(AHostName);
    }
    std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                  std::int32_t AFlags, std::int64_t& AQueuedUs) override {
        AQueuedUs = 150000;
        return SysReceive(ASocket, ABuffer, ALength, AFlags);
    }
    static std::unique_ptr<TIdStack> New() { return std::make_unique<SlowNetworkStack>(*Script); }
    static inline test::FakeScript* Script = nullptr;
};

TEST_F(IdIcmpClientTest, RoundTripRunsFromTheSendToTheAnswersArrival) {
    FClient.reset();
    SlowNetworkStack::Script = &Script();
    StackClass = &SlowNetworkStack::New;
    MakeClient();
    Script().HostAddresses["slow.example"] = "10.77.0.2";
    FClient->SetHost("slow.example");
    Script().Selects.push_back(FakeSelect::Ready({3}, 200));
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}));
    FClient->PingHost();
    EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied);
    // 200 ms of waiting less the 150 the answer sat unread; the look-up is not the network's.
    EXPECT_GE(FClient->LastReply().RoundTripMs, 50U);
    EXPECT_LT(FClient->LastReply().RoundTripMs, 300U);
}

TEST_F(IdIcmpClientTest, ReplyToAnotherRequestIsSkippedAndTheWaitGoesOnForTheTimeLeft) {
    FClient->SetReceiveTimeout(1000);
    std::vector<std::int32_t> waits;
    Script().OnSelect = [&waits](std::int32_t ATimeout) { waits.push_back(ATimeout); };
    Script().Selects.push_back(FakeSelect::Ready({3}, 100));
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First - 1));
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}));
    FClient->PingHost();
    EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(FClient->LastReply().Sequence, First);
    ASSERT_EQ(waits.size(), 2U);
    EXPECT_EQ(waits[0], 1000);
    EXPECT_LE(waits[1], 900);
    EXPECT_GT(waits[1], 0);
}

// Without a limit a datagram for another request never ends the wait: the reply that follows
// it is still taken.
TEST_F(IdIcmpClientTest, WaitWithoutLimitLastsUntilTheRequestIsAnswered) {
    FClient->SetReceiveTimeout(WaitForever);
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First - 1));
    // Another instance's request, with our numbers, to another host.
    Queue(ErrorDatagram(IcmpTimeExceeded, OwnIdentifier(), First, {10, 77, 0, 9}, 20, 20,
                        {10, 77, 0, 3}));
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}));
    FClient->PingHost();
    EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(std::count(Script().Calls.begin(), Script().Calls.end(), "SysSelect([3],-,-,-2)"), 3);
}

TEST_F(IdIcmpClientTest, WaitUsedUpAfterOnlyOtherDatagramsIsATimeOut) {
    FClient->SetReceiveTimeout(50);
    // Each kind of candidate for another request, the last one arriving after the wait.
    Script().Selects.push_back(FakeSelect::Ready({3}));
    Script().Selects.push_back(FakeSelect::Ready({3}));
    Script().Selects.push_back(FakeSelect::Ready({3}, 60));
    Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), 1));
    Queue(ErrorDatagram(IcmpDestinationUnreachable, OwnIdentifier(), 2, {10, 77, 0, 9}));
    Queue(ErrorDatagram(IcmpTimeExceeded, OwnIdentifier(), 3, {10, 77, 0, 9}));
    FClient->PingHost();
    ExpectTimedOut(FClient->LastReply(), First);
    EXPECT_EQ(Script().Calls.back(), "SysClose(3)");
}

// None of these concerns the request, so each is skipped and the wait goes on for the time
// left: the answer that follows still counts.
TEST_F(IdIcmpClientTest, DatagramsNotAboutTheRequestNeverDecideTheExchange) {
    FClient->SetReceiveTimeout(1000);
    std::vector<std::int32_t> waits;
    Script().OnSelect = [&waits](std::int32_t ATimeout) { waits.push_back(ATimeout); };
    const std::uint16_t own = OwnIdentifier();
    constexpr std::uint8_t TimestampRequest = 13;
    constexpr std::uint8_t ParameterProblem = 12;
    // A reply to an older request first, whose data holds our numbers just where a short
    // error message would have its quoted request: that one must not be matched on them.
    std::vector<std::uint8_t> older = EchoDatagram(IcmpEchoReply, own, First - 1, {10, 77, 0, 2});
    StoreLe16(older, QuotedEchoFieldsOffset(20) + IcmpIdentifierOffset, own);
    StoreLe16(older, QuotedEchoFieldsOffset(20) + IcmpSequenceOffset, First);
    std::vector<std::uint8_t> shortUnreachable =
        ErrorDatagram(IcmpDestinationUnreachable, own, First, {10, 77, 1, 1});
    shortUnreachable.resize(28);
    Queue(older);
    Queue(shortUnreachable);
    Queue(EchoDatagram(IcmpEchoReply, static_cast<std::uint16_t>(own ^ 0x5A5AU), First,
                       {10, 77, 0, 2}));
    Queue(ErrorDatagram(IcmpDestinationUnreachable, static_cast<std::uint16_t>(own + 1U), First,
                        {10, 77, 1, 1}));
    Queue(ErrorDatagram(TimestampRequest, static_cast<std::uint16_t>(own ^ 0x5A5AU), First,
                        {192, 0, 2, 7}));
    Queue(ErrorDatagram(ParameterProblem, own, First - 1, {10, 77, 1, 1}));
    Queue(ErrorDatagram(IcmpRedirect, own, First, {10, 77, 0, 1}));
    Queue(EchoDatagram(IcmpEchoReply, own, First, {10, 77, 0, 3}));
    // Our numbers, but about a request that went elsewhere: another instance with our
    // identifier (a process 1 in another container) pinging another host.
    Queue(ErrorDatagram(IcmpTimeExceeded, own, First, {10, 77, 1, 1}, 20, 20, {10, 77, 0, 3}));
    Queue(ErrorDatagram(ParameterProblem, own, First, {10, 77, 1, 1}, 20, 20, {10, 77, 0, 3}));
    // Errors about a UDP datagram and a TCP segment to the host, whose length and checksum
    // (or port) bytes happen to read as our numbers.
    for (const auto& [type, protocol] : {std::pair<std::uint8_t, std::uint8_t>{3, 17}, {11, 6}}) {
        std::vector<std::uint8_t> error = ErrorDatagram(type, own, First, {10, 77, 0, 2});
        error[20 + IcmpQuotedDatagramOffset + IpProtocolOffset] = protocol;
        Queue(error);
    }
    // A request with our numbers from the host (our own, looped back) asks; it does not answer.
    Queue(EchoDatagram(IcmpEchoRequest, own, First, {10, 77, 0, 2}));
    Queue(EchoDatagram(IcmpEchoReply, own, First, {10, 77, 0, 2}, 61));
    FClient->PingHost();
    EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(FClient->LastReply().SourceAddress, "10.77.0.2");
    EXPECT_EQ(FClient->LastReply().Ttl, 61);
    EXPECT_EQ(waits.size(), 14U);
}

// Every spelling of the dotted form names the same host, and its answers count.
TEST_F(IdIcmpClientTest, DottedHostInAnySpellingIsAnsweredByItsAddress) {
    for (const char* host : {" 10.77.0.2", "10.077.000.002", "0x0A.77.0.$2"}) {
        FClient->SetHost(host);
        Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), FClient->Sequence(), {10, 77, 0, 2}));
        FClient->PingHost();
        EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied) << host;
        EXPECT_EQ(FClient->LastReply().SourceAddress, "10.77.0.2") << host;
    }
}

TEST_F(IdIcmpClientTest, ErrorMessagesQuotingTheRequestGiveTheirOutcome) {
    struct Case {
        std::uint8_t Type;
        TEchoOutcome Outcome;
    };
    for (const Case& c : {Case{IcmpDestinationUnreachable, TEchoOutcome::eoUnreachable},
                          Case{IcmpTimeExceeded, TEchoOutcome::eoTtlExpired}}) {
        const std::uint16_t sequence = FClient->Sequence();
        Queue(ErrorDatagram(c.Type, OwnIdentifier(), sequence, {10, 77, 1, 1}));
        FClient->PingHost();
        const TReplyStatus& reply = FClient->LastReply();
        EXPECT_EQ(reply.Outcome, c.Outcome);
        EXPECT_EQ(reply.IcmpType, c.Type);
        EXPECT_EQ(reply.SourceAddress, "10.77.1.1");
        EXPECT_EQ(reply.Sequence, sequence);
        EXPECT_EQ(reply.ByteCount, 56);
    }
}

// The message starts after a header with options, and its header alone is enough.
TEST_F(IdIcmpClientTest, DatagramOfHeaderPlusEightBytesIsDecoded) {
    std::vector<std::uint8_t> datagram =
        EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}, 64, 24);
    datagram.resize(32);
    Queue(datagram);
    FClient->PingHost();
    EXPECT_EQ(FClient->LastReply().Outcome, TEchoOutcome::eoReplied);
    EXPECT_EQ(FClient->LastReply().ByteCount, 32);
}

// A failed decoding ends the exchange and changes nothing the caller sees.
class IdIcmpClientRefusalTest : public IdIcmpClientTest {
protected:
    void Answered() {
        Queue(EchoDatagram(IcmpEchoReply, OwnIdentifier(), First, {10, 77, 0, 2}));
        FClient->PingHost();
        FBefore = FClient->LastReply();
        FReplies.clear();
        Script().Calls.clear();
    }
    void ExpectNothingChanged() {
        EXPECT_EQ(FClient->Sequence(), First + 1);
        EXPECT_EQ(FClient->LastReply().Sequence, FBefore.Sequence);
        EXPECT_EQ(FClient->LastReply().ByteCount, FBefore.ByteCount);
        EXPECT_EQ(FClient->LastReply().Outcome, FBefore.Outcome);
        EXPECT_TRUE(FReplies.empty());
        for (const std::string& call : Script().Calls) {
            EXPECT_NE(call, "SysClose(4)");
        }
        // The socket of the failed exchange is left open and the next send reuses it.
        Script().Calls.clear();
        FClient->SetReceiveTimeout(0);
        FClient->PingHost();
        EXPECT_EQ(Script().Calls.front(), "SysSetOption(4,0,2,128)");
        EXPECT_EQ(Script().Calls.at(1), "SysSendTo(4,52,0,10.77.0.2,0)");
    }
    TReplyStatus FBefore;
};

// Too short for the ICMP header behind the IPv4 header (options counted); a parameter problem or
// source quench about our own request, which is no answer we know; or a failed receive.
TEST_F(IdIcmpClientRefusalTest, FailedDecodingEndsTheExchange) {
    const auto shortEcho = [](std::size_t AOptionBytes) {
        std::vector<std::uint8_t> datagram = EchoDatagram(IcmpEchoReply, OwnIdentifier(), First + 1,
                                                          {10, 77, 0, 2}, 64, 20 + AOptionBytes);
        datagram.resize(27 + AOptionBytes);
        return FakeReceive::Of(datagram, "10.77.0.2");
    };
    const auto otherType = [](std::uint8_t AType) {
        return FakeReceive::Of(ErrorDatagram(AType, OwnIdentifier(), First + 1, {10, 77, 1, 1}),
                               "10.77.0.2");
    };
    const std::vector<std::pair<FakeReceive, std::string>> cases{
        {shortEcho(0), "EIdIcmpException: Not enough bytes received"},
        {shortEcho(40), "EIdIcmpException: Not enough bytes received"},
        {otherType(12), "EIdIcmpException: Non-echo type response received"},
        {otherType(4), "EIdIcmpException: Non-echo type response received"},
        {FakeReceive::Failure(104),
         "EIdSocketError: Socket Error # 104\r\nConnection reset by peer."},
    };
    for (const auto& [receive, failure] : cases) {
        Answered();
        Script().Receives.push_back(receive);
        try {
            FClient->PingHost();
            ADD_FAILURE() << "no exception: " << failure;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.ClassName()) + ": " + e.Message(), failure);
        }
        ExpectNothingChanged();
        FClient.reset();
        Script().NextSocket = 3;
        MakeClient();
    }
}

TEST_F(IdIcmpClientTest, GivenSequenceReplacesTheCurrentOneAndWraps) {
    FClient->SetReceiveTimeout(0);
    FClient->PingHost("", 700);
    EXPECT_EQ(SentSequence(0), 700);
    EXPECT_EQ(FClient->LastReply().Sequence, 700);
    EXPECT_EQ(FClient->Sequence(), 701);
    FClient->PingHost();
    EXPECT_EQ(SentSequence(1), 701);
    FClient->PingHost("", 65535);
    EXPECT_EQ(FClient->Sequence(), 0);
    FClient->PingHost();
    EXPECT_EQ(SentSequence(3), 0);
}

TEST_F(IdIcmpClientTest, EveryExchangeOpensAFreshSocketWithTheCurrentProtocol) {
    FClient->SetReceiveTimeout(0);
    FClient->PingHost();
    FClient->SetProtocol(255);
    FClient->PingHost();
    EXPECT_EQ(Script().Calls.front(), "SysOpenSocket(2,3,1)");
    EXPECT_EQ(std::count(Script().Calls.begin(), Script().Calls.end(), "SysOpenSocket(2,3,255)"),
              1);
}

}  // namespace
}  // namespace tarvex
