#include "icmp/IdIcmpClient.h"

#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "net/IdException.h"
#include "net/IdResourceStrings.h"
#include "net/IdStack.h"
#include "net/IdStackConsts.h"
#include "util/IdGlobal.h"

namespace tarvex {

namespace {

constexpr std::string_view NoSourceAddress = "0.0.0.0";

}  // namespace

TIdIcmpClient::TIdIcmpClient(TComponent* AOwner) : TIdRawClient(AOwner) {
    SetProtocol(DefaultProtocol);
    SetReceiveTimeout(DefaultReceiveTimeout);
}

void TIdIcmpClient::PingHost(const std::string& AData, std::uint16_t ASequence) {
    if (ASequence != 0) {
        FSequence = ASequence;
    }
    BuildEchoRequest(AData);
    TransmitRequest();
    CollectReply();
    std::uint32_t roundTrip = TicksBetween(FSendTime, MillisecondTicks());
    // The round trip ends when the answer (the last datagram read) arrived, not when it was read.
    if (FLastReply.Outcome != TEchoOutcome::eoTimedOut && LastQueuedUs() > 0) {
        const auto queuedMs = static_cast<std::uint64_t>(LastQueuedUs() / 1000);
        roundTrip -= static_cast<std::uint32_t>(queuedMs < roundTrip ? queuedMs : roundTrip);
    }
    // Every exchange opens its own socket in the send and closes it here.
    SocketHandle().Close();
    FLastReply.RoundTripMs = roundTrip;
    FireReply();
    FSequence = static_cast<std::uint16_t>(FSequence + 1U);
}

void TIdIcmpClient::BuildEchoRequest(const std::string& AData) {
    const auto identifier = static_cast<std::uint16_t>(OwnProcessId() & 0xFFFF);
    FEchoLength = static_cast<std::int32_t>(
        tarvex::BuildEchoRequest(FEchoPacket, identifier, FSequence, MillisecondTicks(), AData));
}

void TIdIcmpClient::TransmitRequest() {
    // The look-up first: the round trip is the network's, and a slow resolver is not.
    FDestination = StackInstance->ResolveAddress(Host());
    FSendTime = MillisecondTicks();
    SendPacketTo(FDestination, Port(), FEchoPacket.data(), FEchoLength);
}

void TIdIcmpClient::SocketOpened(TIdSocketHandle& AHandle) {
    // Before anything is sent, so that no answer can come before the filter.
    const auto identifier = static_cast<std::uint16_t>(OwnProcessId() & 0xFFFF);
    // Made again only when the identifier changed (a forked process).
    if (!FFilterIdentifier || *FFilterIdentifier != identifier) {
        FFilter = EchoAnswerFilter(identifier);
        FFilterIdentifier = identifier;
    }
    const sock_fprog program{static_cast<unsigned short>(FFilter.size()), FFilter.data()};
    AHandle.SetOption(Id_SOL_SOCKET, Id_SO_ATTACH_FILTER, &program,
                      static_cast<std::int32_t>(sizeof program));
    // What came before the filter (a busy host can fill the queue) would crowd out the answer.
    AHandle.DiscardQueued();
    const std::int32_t on = 1;
    AHandle.SetOption(Id_SOL_SOCKET, Id_SO_TIMESTAMPNS, &on, static_cast<std::int32_t>(sizeof on));
}

void TIdIcmpClient::CollectReply() {
    TReplyStatus replyStatus;
    AwaitReply(ReceiveTimeout(), replyStatus);
    FLastReply = std::move(replyStatus);
}

void TIdIcmpClient::AwaitReply(std::int32_t AWait, TReplyStatus& AReplyStatus) {
    FRecvPacket.fill(0);
    // The wait runs from the send, which took its reading just now.
    const std::uint32_t waitStart = FSendTime;
    std::int32_t timeLeft = AWait;
    // Once the wait is used up, what is queued is still read without waiting: an answer that
    // came in time may sit behind others, or this process may have run late.
    bool overtime = false;
    for (;;) {
        const std::int32_t received = ReceivePacket(
            FRecvPacket.data(), static_cast<std::int32_t>(FRecvPacket.size()), timeLeft);
        StackInstance->CheckCallResult(received);
        if (overtime && received > 0 && ArrivedAfter(waitStart, AWait)) {
            break;
        }
        if (ParseReply(received, AReplyStatus)) {
            return;
        }
        if (AWait == WaitForever) {
            // Without a limit another program's message must not pass for a lost reply.
            continue;
        }
        const std::int64_t elapsed = TicksBetween(waitStart, MillisecondTicks());
        const std::int64_t left = static_cast<std::int64_t>(AWait) - elapsed;
        if (left <= 0 && LastQueuedUs() < 0) {
            // Without arrival times nothing queued can be told to have come in time.
            break;
        }
        overtime = left <= 0;
        timeLeft = overtime ? 0 : static_cast<std::int32_t>(left);
    }
    // Only datagrams for other requests came: nothing answered this one in time.
    MarkTimedOut(AReplyStatus);
}

bool TIdIcmpClient::ArrivedAfter(std::uint32_t AWaitStart, std::int32_t AWait) const {
    const std::int64_t arrived =
        static_cast<std::int64_t>(TicksBetween(AWaitStart, MillisecondTicks())) -
        LastQueuedUs() / 1000;
    return arrived > AWait;
}

// A datagram answers the current request only when it is an echo reply with the request's
// identifier and sequence number from where the request went, or an error quoting that request
// going there (another instance with the same identifier may ping elsewhere). Decisions read
// only the bytes this datagram brought: past them lies an earlier datagram of the exchange.
bool TIdIcmpClient::ParseReply(std::int32_t AReceived, TReplyStatus& AReplyStatus) {
    if (AReceived == 0) {
        MarkTimedOut(AReplyStatus);
        return true;
    }
    AReplyStatus.Outcome = TEchoOutcome::eoError;
    const std::size_t headerLength = IpHeaderLength(FRecvPacket);
    if (!HoldsIcmpHeader(AReceived, headerLength)) {
        throw EIdIcmpException(std::string(RSIcmpNotEnoughData));
    }
    const std::span<const std::uint8_t> datagram(FRecvPacket.data(),
                                                 static_cast<std::size_t>(AReceived));
    const std::uint8_t type = IcmpType(FRecvPacket, headerLength);
    if (type == IcmpRedirect || type == IcmpEchoRequest) {
        // A redirect, or a request (ours looped back, or another program's): the answer may
        // still follow.
        return false;
    }
    const bool echo = type == IcmpEchoReply;
    if (echo) {
        // Copied into the existing text, so its capacity is reused (no temporary text).
        const std::span<const std::uint8_t> echoed = EchoedData(FRecvPacket, headerLength);
        FEchoData.resize(echoed.size());
        std::memcpy(FEchoData.data(), echoed.data(), echoed.size());
    }
    const std::optional<TEchoFields> fields = EchoFieldsAt(
        datagram, echo ? EchoFieldsOffset(headerLength) : QuotedEchoFieldsOffset(headerLength));
    if (!fields || fields->Sequence != FSequence ||
        fields->Identifier != LoadLe16(FEchoPacket, IcmpIdentifierOffset)) {
        return false;
    }
    // Numbers that only look like ours, in a quoted UDP or TCP header, say nothing of the request.
    if (!echo && !QuotesEchoRequest(datagram, headerLength)) {
        return false;
    }
    const std::optional<TIdIn4Address> source = SourceAddressOf(datagram);
    const std::optional<TIdIn4Address> about =
        echo ? source : QuotedDestinationOf(datagram, headerLength);
    if (!source || about != FDestination) {
        return false;
    }
    if (echo) {
        AReplyStatus.Outcome = TEchoOutcome::eoReplied;
    } else if (type == IcmpDestinationUnreachable) {
        AReplyStatus.Outcome = TEchoOutcome::eoUnreachable;
    } else if (type == IcmpTimeExceeded) {
        AReplyStatus.Outcome = TEchoOutcome::eoTtlExpired;
    } else {
        // About our own request, yet no answer we know (a parameter problem, say).
        throw EIdIcmpException(std::string(RSIcmpNonEchoResponse));
    }
    AReplyStatus.ByteCount = AReceived;
    AReplyStatus.SourceAddress = StackInstance->AddressToText(*source);
    AReplyStatus.IcmpType = type;
    AReplyStatus.Sequence = fields->Sequence;
    AReplyStatus.Ttl = IpTimeToLive(FRecvPacket);
    return true;
}

void TIdIcmpClient::FireReply() {
    if (FReplyEvent) {
        FReplyEvent(*this, FLastReply);
    }
}

void TIdIcmpClient::MarkTimedOut(TReplyStatus& AReplyStatus) const {
    AReplyStatus.ByteCount = 0;
    AReplyStatus.SourceAddress = NoSourceAddress;
    AReplyStatus.IcmpType = 0;
    AReplyStatus.Sequence = FSequence;
    AReplyStatus.Ttl = 0;
    AReplyStatus.Outcome = TEchoOutcome::eoTimedOut;
}

}  // namespace tarvex
