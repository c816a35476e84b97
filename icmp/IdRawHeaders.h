#pragma once

#include <linux/filter.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "net/IdStackConsts.h"

namespace tarvex {

// Both packet areas of the echo client have this size; every offset read below stays inside.
constexpr std::size_t PacketAreaSize = 1024;
using TPacketArea = std::array<std::uint8_t, PacketAreaSize>;

// ICMP types (RFC 792) the client tells apart.
constexpr std::uint8_t IcmpEchoReply = 0;
constexpr std::uint8_t IcmpDestinationUnreachable = 3;
constexpr std::uint8_t IcmpSourceQuench = 4;
constexpr std::uint8_t IcmpRedirect = 5;
constexpr std::uint8_t IcmpEchoRequest = 8;
constexpr std::uint8_t IcmpTimeExceeded = 11;
constexpr std::uint8_t IcmpParameterProblem = 12;

// The IP protocol number of ICMP, as a quoted header carries it.
constexpr std::uint8_t IpProtocolIcmp = 1;

// ICMP message, offsets from its first byte.
constexpr std::size_t IcmpTypeOffset = 0;
constexpr std::size_t IcmpCodeOffset = 1;
constexpr std::size_t IcmpChecksumOffset = 2;
constexpr std::size_t IcmpIdentifierOffset = 4;
constexpr std::size_t IcmpSequenceOffset = 6;
// The fixed part every ICMP message has: type, code, checksum and four more bytes.
constexpr std::size_t IcmpHeaderSize = 8;
// Error messages (types 3 and 11) quote the offending datagram from here on.
constexpr std::size_t IcmpQuotedDatagramOffset = 8;

// Echo request as built, and the echoed data of a received echo message.
constexpr std::size_t EchoSendTimeOffset = 8;
constexpr std::size_t EchoZeroOffset = 12;
constexpr std::size_t EchoZeroSize = 8;
constexpr std::size_t EchoDataOffset = 20;
constexpr std::size_t EchoDataSize = 32;
constexpr std::uint8_t EchoDataFill = 0x45;  // "E"
constexpr std::size_t EchoRequestSize = EchoDataOffset + EchoDataSize;
static_assert(EchoRequestSize == 52);
static_assert(EchoZeroOffset + EchoZeroSize == EchoDataOffset);

// IPv4 header (RFC 791), offsets from the first byte of the datagram.
constexpr std::size_t IpVersionAndLengthOffset = 0;
constexpr std::size_t IpTimeToLiveOffset = 8;
constexpr std::size_t IpProtocolOffset = 9;
constexpr std::size_t IpSourceAddressOffset = 12;
constexpr std::size_t IpDestinationAddressOffset = 16;
constexpr std::size_t IpAddressSize = std::tuple_size_v<TIdIn4Address>;
// The header length nibble counts 32-bit words, so a header is at most 60 bytes.
constexpr std::size_t IpMaximumHeaderSize = 15 * 4;
// The deepest read: the quoted sequence number behind two maximal headers.
static_assert(IpMaximumHeaderSize + IcmpQuotedDatagramOffset + IpMaximumHeaderSize +
                  IcmpSequenceOffset + 2 <=
              PacketAreaSize);

// Raises std::out_of_range unless ASize bytes from AAt lie inside ABytes.
constexpr void CheckBytesAt(std::size_t ABytes, std::size_t AAt, std::size_t ASize) {
    if (AAt > ABytes || ABytes - AAt < ASize) {
        throw std::out_of_range("past the end of the bytes");
    }
}

constexpr std::uint16_t LoadLe16(std::span<const std::uint8_t> ABytes, std::size_t AAt) {
    CheckBytesAt(ABytes.size(), AAt, 2);
    return static_cast<std::uint16_t>(ABytes[AAt] | (ABytes[AAt + 1] << 8));
}

constexpr void StoreLe16(std::span<std::uint8_t> ABytes, std::size_t AAt, std::uint16_t AValue) {
    CheckBytesAt(ABytes.size(), AAt, 2);
    ABytes[AAt] = static_cast<std::uint8_t>(AValue & 0xFFU);
    ABytes[AAt + 1] = static_cast<std::uint8_t>(AValue >> 8);
}

constexpr void StoreLe32(std::span<std::uint8_t> ABytes, std::size_t AAt, std::uint32_t AValue) {
    CheckBytesAt(ABytes.size(), AAt, 4);
    for (std::size_t i = 0; i < 4; ++i) {
        ABytes[AAt + i] = static_cast<std::uint8_t>((AValue >> (8 * i)) & 0xFFU);
    }
}

// RFC 1071 one's-complement sum, each pair of bytes first byte low: stored least-significant
// byte first it is the checksum on the wire. Summing 32-bit words gives the same sum once the
// carries are folded back (RFC 1071, 2(C)).
constexpr std::uint16_t InternetChecksum(std::span<const std::uint8_t> ABytes) noexcept {
    std::uint64_t sum = 0;
    std::size_t at = 0;
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        // Eight bytes in one load: on a little-endian machine the same two 32-bit words.
        for (; ABytes.size() - at >= 8; at += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, ABytes.data() + at, sizeof word);
            sum += (word & 0xFFFFFFFFU) + (word >> 32);
        }
    }
    for (; ABytes.size() - at >= 4; at += 4) {
        sum += static_cast<std::uint32_t>(ABytes[at] | (ABytes[at + 1] << 8) |
                                          (ABytes[at + 2] << 16)) |
               (static_cast<std::uint32_t>(ABytes[at + 3]) << 24);
    }
    // The pair left over, then an odd last byte as a low byte.
    for (; at < ABytes.size(); ++at) {
        sum += static_cast<std::uint32_t>(ABytes[at]) << (at % 2 == 0 ? 0 : 8);
    }
    while (sum > 0xFFFFU) {
        sum = (sum >> 16) + (sum & 0xFFFFU);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFFU);
}

// Writes the echo request at the start of AArea; its length. Numbers go least-significant
// byte first (the echoing host returns them unchanged); AData, cut at 32 bytes, then "E"s.
constexpr std::size_t BuildEchoRequest(std::span<std::uint8_t, PacketAreaSize> AArea,
                                       std::uint16_t AIdentifier, std::uint16_t ASequence,
                                       std::uint32_t ASendTime, std::string_view AData) {
    std::fill_n(AArea.begin(), EchoDataOffset, std::uint8_t{0});
    AArea[IcmpTypeOffset] = IcmpEchoRequest;
    AArea[IcmpCodeOffset] = 0;
    StoreLe16(AArea, IcmpIdentifierOffset, AIdentifier);
    StoreLe16(AArea, IcmpSequenceOffset, ASequence);
    StoreLe32(AArea, EchoSendTimeOffset, ASendTime);
    const std::size_t copied = AData.size() < EchoDataSize ? AData.size() : EchoDataSize;
    std::copy_n(AData.data(), copied, AArea.begin() + EchoDataOffset);
    std::ranges::fill(AArea.subspan(EchoDataOffset + copied, EchoDataSize - copied), EchoDataFill);
    // The checksum field is still zero here, as the sum requires.
    const std::uint16_t checksum =
        InternetChecksum(std::span<const std::uint8_t>(AArea.data(), EchoRequestSize));
    StoreLe16(AArea, IcmpChecksumOffset, checksum);
    return EchoRequestSize;
}

// Readers of a datagram at the start of a packet area; every read lies inside the area. What
// decides whether it answers the request reads only the bytes it brought.

// h: where the ICMP message starts, from the low nibble of byte 0 counted in 32-bit words.
std::size_t IpHeaderLength(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept;
std::uint8_t IpTimeToLive(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept;

// True when a datagram of AReceived bytes holds the IPv4 header and the fixed ICMP part.
bool HoldsIcmpHeader(std::int32_t AReceived, std::size_t AHeaderLength) noexcept;
std::uint8_t IcmpType(std::span<const std::uint8_t, PacketAreaSize> AArea,
                      std::size_t AHeaderLength) noexcept;

// Where a request's identifier and sequence number lie: an echo message's own; in any other
// those of the request it quotes, behind a quoted IPv4 header as long as the outer one.
constexpr std::size_t EchoFieldsOffset(std::size_t AHeaderLength) noexcept { return AHeaderLength; }
constexpr std::size_t QuotedEchoFieldsOffset(std::size_t AHeaderLength) noexcept {
    return AHeaderLength + IcmpQuotedDatagramOffset + AHeaderLength;
}
static_assert(QuotedEchoFieldsOffset(IpMaximumHeaderSize) + IcmpHeaderSize <= PacketAreaSize);

struct TEchoFields {
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
};
// The identifier and sequence number at AOffset, as the request wrote them; none when the
// datagram ends first.
std::optional<TEchoFields> EchoFieldsAt(std::span<const std::uint8_t> ADatagram,
                                        std::size_t AOffset);
// The source address; none when the datagram ends before it.
std::optional<TIdIn4Address> SourceAddressOf(std::span<const std::uint8_t> ADatagram) noexcept;
// The destination of the quoted IPv4 header behind the ICMP header; none when it is cut off.
std::optional<TIdIn4Address> QuotedDestinationOf(std::span<const std::uint8_t> ADatagram,
                                                 std::size_t AHeaderLength) noexcept;
// True when an error message quotes an ICMP echo request (quoted protocol 1, quoted type 8).
bool QuotesEchoRequest(std::span<const std::uint8_t> ADatagram, std::size_t AHeaderLength) noexcept;

// A socket filter passing only what can answer a request with AIdentifier: echo replies
// carrying it and error messages quoting an echo request carrying it. Foreign traffic then
// costs no read and cannot crowd the answer out of the queue; the decoding still judges.
constexpr std::size_t EchoFilterLength = 20;
using TEchoFilter = std::array<sock_filter, EchoFilterLength>;
TEchoFilter EchoAnswerFilter(std::uint16_t AIdentifier) noexcept;

// The echoed data area of an echo message: from h + 20 to the end of the packet area.
std::span<const std::uint8_t> EchoedData(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                         std::size_t AHeaderLength) noexcept;

}  // namespace tarvex
