// Echo exchanges fed arbitrary datagrams (some longer than the receive takes) through the tests'
// fake socket stack, whose address handling is the real one. Instead of a second copy of the
// decoding, properties that hold whatever the bytes:
// - the exchange ends the same way when the receive leaves other bytes past the datagram;
// - only a datagram that carries (echo reply) or quotes (error about an ICMP echo request) the
//   client's identifier and sequence number decides, apart from the refusal of one too short
//   for its headers; an echo message only from the watched address, an error only about a
//   datagram going there, whatever spelling of the dotted address the host was given in;
// - a wait that receives only other datagrams reads them all and ends as a time-out;
// - every request is a valid 52-byte echo request, a failed exchange changes nothing the caller
//   sees, and no socket outlives its exchange or the client.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "fuzz/FuzzCheck.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdException.h"
#include "net/IdStackConsts.h"
#include "net/IdStackLinux.h"
#include "tests/support/FakeStack.h"
#include "util/IdGlobal.h"

namespace tarvex {
namespace {

using TBytes = std::vector<std::uint8_t>;
// The open sockets of one client, kept apart from the other's: a client that failed an
// exchange may hold its socket into the next one.
using TSockets = std::set<TIdStackSocketHandle>;

test::FakeScript* Script = nullptr;

std::size_t HeaderLength(const TBytes& ABytes) {
    return static_cast<std::size_t>(ABytes[0] & 0x0FU) * 4U;
}

// Too short for an IPv4 header and the fixed ICMP part: refused, whatever it holds.
bool TooShort(const TBytes& ABytes) {
    return !ABytes.empty() && HeaderLength(ABytes) + IcmpHeaderSize > ABytes.size();
}

bool IsEchoType(std::uint8_t AType) { return AType == IcmpEchoReply || AType == IcmpEchoRequest; }

// Where an echo message carries, and any other message quotes, the request's numbers.
std::size_t NumbersAt(const TBytes& ABytes) {
    const std::size_t h = HeaderLength(ABytes);
    return IsEchoType(ABytes[h]) ? h : h + IcmpHeaderSize + h;
}

// What a non-echo message quotes is an ICMP echo request (the quoted header taken to be as
// long as the outer one).
bool QuotesEchoRequest(const TBytes& ABytes) {
    const std::size_t h = HeaderLength(ABytes);
    const std::size_t protocol = h + IcmpHeaderSize + IpProtocolOffset;
    const std::size_t type = h + IcmpHeaderSize + h;
    return type < ABytes.size() && protocol < ABytes.size() && ABytes[protocol] == IpProtocolIcmp &&
           ABytes[type] == IcmpEchoRequest;
}

// The datagram brings the client's identifier and sequence number where they belong: an echo
// reply its own, an error in the echo request it quotes.
bool AboutTheRequest(const TBytes& ABytes, std::uint16_t AIdentifier, std::uint16_t ASequence) {
    if (ABytes.empty() || TooShort(ABytes)) {
        return false;
    }
    const std::uint8_t type = ABytes[HeaderLength(ABytes)];
    if (type == IcmpEchoRequest || (type != IcmpEchoReply && !QuotesEchoRequest(ABytes))) {
        return false;
    }
    const std::size_t at = NumbersAt(ABytes);
    return at + IcmpHeaderSize <= ABytes.size() &&
           LoadLe16(ABytes, at + IcmpIdentifierOffset) == AIdentifier &&
           LoadLe16(ABytes, at + IcmpSequenceOffset) == ASequence;
}

// Where the datagram that a non-echo message quotes was going; none when it ends first.
std::optional<TIdIn4Address> QuotedDestination(const TBytes& ABytes) {
    const std::size_t at = HeaderLength(ABytes) + IcmpHeaderSize + IpDestinationAddressOffset;
    if (at + IpAddressSize > ABytes.size()) {
        return std::nullopt;
    }
    return TIdIn4Address{ABytes[at], ABytes[at + 1], ABytes[at + 2], ABytes[at + 3]};
}

std::string SourceText(const TBytes& ABytes) {
    return std::to_string(ABytes[12]) + "." + std::to_string(ABytes[13]) + "." +
           std::to_string(ABytes[14]) + "." + std::to_string(ABytes[15]);
}

// Writes the client's numbers where a datagram of its type would carry or quote them, and now
// and then the watched address as its source and as the quoted destination, and an ICMP echo
// request as what an error quotes, so that the accepting paths are reached.
void Aim(TBytes& ADatagram, std::uint16_t AIdentifier, std::uint16_t ASequence, bool AFromHost,
         bool AQuoteEcho, const TIdIn4Address& AHost) {
    if (ADatagram.empty() || HeaderLength(ADatagram) >= ADatagram.size()) {
        return;
    }
    const auto put = [&ADatagram](std::size_t AAt, std::uint32_t AValue) {
        if (AAt < ADatagram.size()) {
            ADatagram[AAt] = static_cast<std::uint8_t>(AValue);
        }
    };
    const std::size_t h = HeaderLength(ADatagram);
    const std::size_t at = NumbersAt(ADatagram) + IcmpIdentifierOffset;
    for (std::size_t i = 0; i < 2; ++i) {
        put(at + i, AIdentifier >> (8 * i));
        put(at + 2 + i, ASequence >> (8 * i));
    }
    if (AQuoteEcho && !IsEchoType(ADatagram[h])) {
        put(h + IcmpHeaderSize + IpProtocolOffset, IpProtocolIcmp);
        put(h + IcmpHeaderSize + h, IcmpEchoRequest);
    }
    for (std::size_t i = 0; AFromHost && i < IpAddressSize; ++i) {
        put(IpSourceAddressOffset + i, AHost[i]);
        put(h + IcmpHeaderSize + IpDestinationAddressOffset + i, AHost[i]);
    }
}

enum class TEnd { Completed, ShortDatagram, NonEcho, ReceiveFailed };

struct TRun {
    TEnd End = TEnd::Completed;
    TReplyStatus Reply;
    std::size_t Received = 0;
};

bool SameReply(const TReplyStatus& A, const TReplyStatus& B) {
    return A.ByteCount == B.ByteCount && A.SourceAddress == B.SourceAddress &&
           A.IcmpType == B.IcmpType && A.Sequence == B.Sequence && A.Ttl == B.Ttl &&
           A.Outcome == B.Outcome;
}

// One exchange of AClient over the datagrams, with the checks that need no other run.
TRun Exchange(TIdIcmpClient& AClient, TSockets& ASockets, const std::deque<TBytes>& ADatagrams,
              bool AFailReceive, std::optional<std::uint8_t> AFillPastDatagram) {
    test::FakeScript& script = *Script;
    script.OpenSockets.swap(ASockets);
    script.Receives.clear();
    for (const TBytes& datagram : ADatagrams) {
        script.Receives.push_back(test::FakeReceive::Of(datagram));
    }
    if (AFailReceive) {
        script.Receives.push_back(test::FakeReceive::Failure(104));
    }
    script.FillPastDatagram = AFillPastDatagram;
    const std::size_t queued = script.Receives.size();
    const std::uint16_t sequence = AClient.Sequence();
    const TReplyStatus before = AClient.LastReply();
    const std::size_t sentBefore = script.Sent.size();
    TRun run;
    try {
        AClient.PingHost();
        run.Reply = AClient.LastReply();
        Check(AClient.Sequence() == static_cast<std::uint16_t>(sequence + 1),
              "sequence number did not advance after a completed exchange");
        Check(script.OpenSockets.empty(), "socket left open after a completed exchange");
    } catch (const EIdIcmpException& e) {
        const bool isShort = e.Message() == "Not enough bytes received";
        Check(isShort || e.Message() == "Non-echo type response received",
              "EIdIcmpException with an unknown message");
        run.End = isShort ? TEnd::ShortDatagram : TEnd::NonEcho;
    } catch (const EIdSocketError&) {
        run.End = TEnd::ReceiveFailed;
    }
    script.OpenSockets.swap(ASockets);
    // The datagrams come first in the queue, so each receive up to their count took one.
    run.Received = std::min(queued - script.Receives.size(), ADatagrams.size());
    Check(run.End == TEnd::Completed ||
              (AClient.Sequence() == sequence && SameReply(AClient.LastReply(), before)),
          "a failed exchange changed the sequence number or LastReply");
    Check(script.Sent.size() == sentBefore + 1, "not one request sent per exchange");
    const TBytes& request = script.Sent.back();
    Check(request.size() == EchoRequestSize && InternetChecksum(request) == 0 &&
              LoadLe16(request, IcmpSequenceOffset) == sequence,
          "the request sent is not a 52-byte echo request with a valid checksum");
    return run;
}

// The datagram that decided the exchange (ALast, as delivered) came for the request and was
// judged and recorded as what it is.
void CheckDecision(const TRun& ARun, const TBytes& ALast, std::uint16_t AIdentifier,
                   std::uint16_t ASequence, const TIdIn4Address& AHost) {
    if (ARun.End == TEnd::ShortDatagram) {
        Check(TooShort(ALast), "a datagram long enough for its headers was refused as short");
        return;
    }
    const std::uint8_t type = ALast[HeaderLength(ALast)];
    Check(type != IcmpEchoRequest, "an echo request decided the exchange");
    Check(type == IcmpEchoReply || QuotesEchoRequest(ALast),
          "a message quoting another protocol or type decided the exchange");
    Check(AboutTheRequest(ALast, AIdentifier, ASequence),
          "a datagram not about the request decided the exchange");
    Check(IsEchoType(type) || QuotedDestination(ALast) == AHost,
          "a message quoting a datagram to another destination decided");
    if (ARun.End == TEnd::NonEcho) {
        Check(!IsEchoType(type) && type != IcmpDestinationUnreachable && type != IcmpRedirect &&
                  type != IcmpTimeExceeded,
              "a type the client knows raised as unknown");
        return;
    }
    Check(ARun.Reply.ByteCount == static_cast<std::int32_t>(ALast.size()) &&
              ARun.Reply.Sequence == ASequence && ARun.Reply.SourceAddress == SourceText(ALast),
          "the accepted datagram is recorded differently from what came");
    Check(!IsEchoType(ARun.Reply.IcmpType) || ARun.Reply.SourceAddress == DottedAddressText(AHost),
          "an echo message from another address was accepted");
    Check(ARun.Reply.IcmpType != IcmpRedirect, "a redirect decided the exchange");
}

}  // namespace
}  // namespace tarvex

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarvex::IdGlobalStartUp();
    tarvex::IdStackLinuxStartUp();
    tarvex::IdComponentStartUp();
    // For the whole run: the fake stack replaces the system's.
    static tarvex::test::FakeStackScope fake;
    tarvex::Script = &fake.Script();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    using namespace tarvex;
    FuzzedDataProvider input(AData, ASize);
    // A fresh script for every input; no stack instance outlives the previous one.
    *Script = test::FakeScript{};
    const auto identifier = static_cast<std::uint16_t>(OwnProcessId() & 0xFFFF);
    static constexpr const char* Hosts[] = {"127.0.0.1", "10.77.0.2", "0x7F.0.0.01",
                                            " 10.077.0.$2"};
    const std::string host = Hosts[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    TIdIn4Address hostBytes{};
    DottedTextToAddress(host, hostBytes);
    // Two clients in step: the second one's receive scribbles past every datagram.
    TSockets plainSockets;
    TSockets scribbledSockets;
    auto plain = std::make_unique<TIdIcmpClient>(nullptr);
    auto scribbled = std::make_unique<TIdIcmpClient>(nullptr);
    plain->SetHost(host);
    scribbled->SetHost(host);
    const std::int32_t exchanges = input.ConsumeIntegralInRange<std::int32_t>(1, 3);
    for (std::int32_t exchange = 0; exchange < exchanges && input.remaining_bytes() > 0;
         ++exchange) {
        // Waits whose course does not depend on how fast the machine is.
        static constexpr std::int32_t Waits[] = {60000, 0, -1, WaitForever};
        const std::int32_t wait = Waits[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
        plain->SetReceiveTimeout(wait);
        scribbled->SetReceiveTimeout(wait);
        const std::uint16_t sequence = plain->Sequence();
        const std::int32_t count = input.ConsumeIntegralInRange<std::int32_t>(0, 4);
        const bool failReceive = input.ConsumeBool();
        const std::uint8_t scribbleByte = input.ConsumeIntegral<std::uint8_t>();
        std::deque<TBytes> datagrams;
        for (std::int32_t i = 0; i < count; ++i) {
            const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 1100);
            TBytes datagram = input.ConsumeBytes<std::uint8_t>(length);
            // Aimed at the client or not, from the watched address, quoting an echo request.
            const auto aim = input.ConsumeIntegral<std::uint8_t>();
            if ((aim & 1U) != 0) {
                Aim(datagram, identifier, sequence, (aim & 2U) != 0, (aim & 4U) != 0, hostBytes);
            }
            datagrams.push_back(std::move(datagram));
        }

        const TRun run = Exchange(*plain, plainSockets, datagrams, failReceive, std::nullopt);
        const TRun other =
            Exchange(*scribbled, scribbledSockets, datagrams, failReceive, scribbleByte);
        Check(run.End == other.End && run.Received == other.Received &&
                  SameReply(run.Reply, other.Reply),
              "bytes past the received length changed how the exchange ended");
        Check(run.Reply.Outcome != TEchoOutcome::eoError, "eoError reached LastReply");
        // The bytes the receive handed over of each datagram.
        for (TBytes& datagram : datagrams) {
            datagram.resize(std::min(datagram.size(), PacketAreaSize));
        }
        const bool timedOut = run.Reply.Outcome == TEchoOutcome::eoTimedOut;
        if (run.End != TEnd::ReceiveFailed && (run.End != TEnd::Completed || !timedOut)) {
            Check(run.Received > 0, "an exchange was decided without a datagram");
            CheckDecision(run, datagrams[run.Received - 1], identifier, sequence, hostBytes);
        }
        // Only datagrams for somebody else: every one is read, and the wait times out.
        const bool onlyForeign =
            std::all_of(datagrams.begin(), datagrams.end(), [&](const TBytes& ABytes) {
                return !ABytes.empty() && !TooShort(ABytes) &&
                       !AboutTheRequest(ABytes, identifier, sequence);
            });
        if (onlyForeign && run.End != TEnd::ReceiveFailed) {
            Check(run.End == TEnd::Completed && timedOut && run.Reply.SourceAddress == "0.0.0.0" &&
                      run.Reply.ByteCount == 0 && run.Reply.Sequence == sequence,
                  "datagrams for somebody else ended the wait other than as a time-out");
            Check((wait <= 0 && wait != WaitForever) || run.Received == datagrams.size(),
                  "the wait stopped before its time with datagrams still to come");
        }
    }
    for (auto [client, sockets] :
         {std::pair{&scribbled, &scribbledSockets}, std::pair{&plain, &plainSockets}}) {
        Script->OpenSockets.swap(*sockets);
        client->reset();
        Check(Script->OpenSockets.empty(), "socket left open after the client was released");
    }
    return 0;
}
