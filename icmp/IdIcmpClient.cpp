#include "icmp/IdIcmpClient.h"

#include <cstring>
#include <optional>
#include <span>

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
    FSequence = FirstSequence;
    SetReceiveTimeout(DefaultReceiveTimeout);
}

void TIdIcmpClient::PingHost(const std::string& AData, std::uint16_t ASequence) {
    if (ASequence != 0) {
        FSequence = ASequence;
    }
    BuildEchoRequest(AData);
    const std::uint32_t startTime = MillisecondTicks();
    TransmitRequest();
    CollectReply();
    const std::uint32_t roundTrip = TicksBetween(startTime, MillisecondTicks());
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
    const TIdIn4Address destination = SendPacket(Host(), Port(), FEchoPacket.data(), FEchoLength);
    if (FDestinationText.empty() || destination != FDestination) {
        FDestinationText = StackInstance->AddressToText(destination);
    }
    FDestination = destination;
}

void TIdIcmpClient::CollectReply() {
    TReplyStatus replyStatus;
    AwaitReply(ReceiveTimeout(), replyStatus);
    FLastReply = replyStatus;
}

void TIdIcmpClient::AwaitReply(std::int32_t AWait, TReplyStatus& AReplyStatus) {
    FRecvPacket.fill(0);
    const std::uint32_t waitStart = MillisecondTicks();
    std::int32_t timeLeft = AWait;
    for (;;) {
        const std::int32_t received = ReceivePacket(
            FRecvPacket.data(), static_cast<std::int32_t>(FRecvPacket.size()), timeLeft);
        StackInstance->CheckCallResult(received);
        if (ParseReply(received, AReplyStatus)) {
            return;
        }
        if (AWait == WaitForever) {
            // Without a limit only a datagram about this request ends the wait: another
            // program's message must not pass for a lost reply.
            continue;
        }
        const std::int64_t elapsed = TicksBetween(waitStart, MillisecondTicks());
        const std::int64_t left = static_cast<std::int64_t>(AWait) - elapsed;
        if (left <= 0) {
            break;
        }
        timeLeft = static_cast<std::int32_t>(left);
    }
    // Only datagrams for other requests came: nothing answered this one in time.
    MarkTimedOut(AReplyStatus);
}

// A raw socket sees every ICMP datagram of the host. One answers the current request only when
// it carries (an echo message) or quotes (any other) the identifier and sequence number the
// request went out with; an echo message only when it comes from where the request went, and
// any other only when the datagram it quotes was going there (another instance with the same
// identifier may ping elsewhere). Every decision reads the bytes this datagram brought and no
// others: past them the area still holds an earlier datagram of the same exchange.
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
    if (type == IcmpRedirect) {
        // Only news of a better first hop: the request was forwarded and its answer may follow.
        return false;
    }
    const bool echo = type == IcmpEchoReply || type == IcmpEchoRequest;
    if (echo) {
        // Copied into the existing text, so its capacity is reused from exchange to exchange
        // (assigning from byte iterators would build a temporary text first).
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
    const std::optional<TIpAddressBytes> source = SourceAddressOf(datagram);
    const std::optional<TIpAddressBytes> about =
        echo ? source : QuotedDestinationOf(datagram, headerLength);
    if (!source || about != FDestination) {
        return false;
    }
    switch (type) {
        case IcmpEchoReply:
        case IcmpEchoRequest:
            AReplyStatus.Outcome = TEchoOutcome::eoReplied;
            break;
        case IcmpDestinationUnreachable:
            AReplyStatus.Outcome = TEchoOutcome::eoUnreachable;
            break;
        case IcmpTimeExceeded:
            AReplyStatus.Outcome = TEchoOutcome::eoTtlExpired;
            break;
        default:
            // About our own request, yet no answer we know (a parameter problem, say).
            throw EIdIcmpException(std::string(RSIcmpNonEchoResponse));
    }
    AReplyStatus.ByteCount = AReceived;
    AReplyStatus.SourceAddress = echo ? FDestinationText : StackInstance->AddressToText(*source);
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
