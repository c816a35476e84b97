#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "icmp/IdRawClient.h"
#include "icmp/IdRawHeaders.h"

namespace tarvex {

// What one echo exchange produced.
enum class TEchoOutcome : std::uint8_t {
    eoReplied = 0,      // an echo reply carrying the current request's numbers
    eoError = 1,        // only while a datagram is being decoded; never reaches LastReply
    eoTimedOut = 2,     // nothing answering the request arrived within the wait
    eoUnreachable = 3,  // a destination-unreachable message quoting the current request
    eoTtlExpired = 4,   // a time-exceeded message quoting the current request
};

// The outcome of one echo exchange, copied by value.
struct TReplyStatus {
    // Length of the accepted datagram as received, IPv4 header included; 0 on time-out.
    std::int32_t ByteCount = 0;
    // Dotted decimal source address of the accepted datagram; "0.0.0.0" on time-out.
    std::string SourceAddress;
    // ICMP type byte of the accepted datagram (0, 3 or 11); 0 on time-out.
    std::uint8_t IcmpType = 0;
    // Sequence number found in the accepted datagram; the request's on time-out.
    std::uint16_t Sequence = 0;
    // Milliseconds from the send (after the look-up) to the answer's arrival or the wait's end.
    std::uint32_t RoundTripMs = 0;
    // Time-to-live of the accepted datagram's IPv4 header; 0 on time-out.
    std::uint8_t Ttl = 0;
    TEchoOutcome Outcome = TEchoOutcome::eoReplied;
};

// Called after every completed exchange with the client and its LastReply.
using TOnReplyEvent = std::function<void(TComponent& ASender, const TReplyStatus& AReplyStatus)>;

// One blocking ICMP echo exchange at a time with Host. The packet areas live inside the
// object, so an exchange allocates nothing beyond the reply's texts.
class TIdIcmpClient : public TIdRawClient {
public:
    static constexpr std::int32_t DefaultProtocol = Id_IPPROTO_ICMP;
    static constexpr std::int32_t DefaultReceiveTimeout = 5000;
    static constexpr std::uint16_t FirstSequence = 3489;

    explicit TIdIcmpClient(TComponent* AOwner);
    const char* ClassName() const noexcept override { return "TIdIcmpClient"; }

    // One exchange with AData (a non-zero ASequence replaces the number): send, wait up to
    // ReceiveTimeout, close, record LastReply, call OnReply, advance the number. An exception
    // leaves the number, LastReply and the open socket as they were, and calls no OnReply.
    void PingHost(const std::string& AData = {}, std::uint16_t ASequence = 0);

    const TReplyStatus& LastReply() const noexcept { return FLastReply; }
    const TOnReplyEvent& OnReply() const noexcept { return FReplyEvent; }
    void SetOnReply(TOnReplyEvent AValue) { FReplyEvent = std::move(AValue); }
    // The sequence number the next request carries.
    std::uint16_t Sequence() const noexcept { return FSequence; }
    // The echoed data area of the last decoded echo datagram, to the end of the receive area.
    const std::string& EchoData() const noexcept { return FEchoData; }

protected:
    // The steps of PingHost.
    void BuildEchoRequest(const std::string& AData);
    void TransmitRequest();
    void CollectReply();
    void AwaitReply(std::int32_t AWait, TReplyStatus& AReplyStatus);
    // True, with the record filled in, when the AReceived bytes answer the current request or
    // nothing arrived (0).
    bool ParseReply(std::int32_t AReceived, TReplyStatus& AReplyStatus);
    void FireReply();
    // Filters the socket to what may answer this client and has arrival times recorded.
    void SocketOpened(TIdSocketHandle& AHandle) override;

private:
    // True when the datagram just read arrived later than AWait ms after AWaitStart.
    bool ArrivedAfter(std::uint32_t AWaitStart, std::int32_t AWait) const;
    void MarkTimedOut(TReplyStatus& AReplyStatus) const;

    TPacketArea FRecvPacket{};
    TPacketArea FEchoPacket{};
    std::uint16_t FSequence = FirstSequence;
    std::int32_t FEchoLength = 0;
    TReplyStatus FLastReply;
    TOnReplyEvent FReplyEvent;
    std::string FEchoData;
    // Where the current request went: only that host answers it, and only errors about it count.
    TIdIn4Address FDestination{};
    // When the current request went out, after the look-up: the round trip's start.
    std::uint32_t FSendTime = 0;
    // The socket filter for FFilterIdentifier, kept from socket to socket.
    TEchoFilter FFilter{};
    std::optional<std::uint16_t> FFilterIdentifier;
};

}  // namespace tarvex
