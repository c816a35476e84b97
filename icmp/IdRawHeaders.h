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

// Byte layouts of the echo request the client writes and of the IPv4 datagrams its raw socket
// delivers. Every field is read and written at a named offset with the byte order in the
// function's name; nothing is overlaid on a buffer.

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

constexpr std::uint16_t LoadLe16(std::span<const std::uint8_t> ABytes, std::size_t AAt) {
    if (AAt > ABytes.size() || ABytes.size() - AAt < 2) {
        throw std::out_of_range("LoadLe16 past the end of the bytes");
    }
    return static_cast<std::uint16_t>(ABytes[AAt] | (ABytes[AAt + 1] << 8));
}

constexpr std::uint32_t LoadLe32(std::span<const std::uint8_t> ABytes, std::size_t AAt) {
    if (AAt > ABytes.size() || ABytes.size() - AAt < 4) {
        throw std::out_of_range("LoadLe32 past the end of the bytes");
    }
    return static_cast<std::uint32_t>(ABytes[AAt]) |
           (static_cast<std::uint32_t>(ABytes[AAt + 1]) << 8) |
           (static_cast<std::uint32_t>(ABytes[AAt + 2]) << 16) |
           (static_cast<std::uint32_t>(ABytes[AAt + 3]) << 24);
}

constexpr void StoreLe16(std::span<std::uint8_t> ABytes, std::size_t AAt, std::uint16_t AValue) {
    if (AAt > ABytes.size() || ABytes.size() - AAt < 2) {
        throw std::out_of_range("StoreLe16 past the end of the bytes");
    }
    ABytes[AAt] = static_cast<std::uint8_t>(AValue & 0xFFU);
    ABytes[AAt + 1] = static_cast<std::uint8_t>(AValue >> 8);
}

constexpr void StoreLe32(std::span<std::uint8_t> ABytes, std::size_t AAt, std::uint32_t AValue) {
    if (AAt > ABytes.size() || ABytes.size() - AAt < 4) {
        throw std::out_of_range("StoreLe32 past the end of the bytes");
    }
    for (std::size_t i = 0; i < 4; ++i) {
        ABytes[AAt + i] = static_cast<std::uint8_t>((AValue >> (8 * i)) & 0xFFU);
    }
}

// RFC 1071 one's-complement sum, taking each pair of bytes first byte low. Summed in the
// order the bytes are stored, so the result stored least-significant byte first is the
// standard checksum on the wire, and a message with its checksum in place sums to 0. Two
// pairs are added at a time as one 32-bit word: the carries folded back at the end give the
// same sum (RFC 1071, 2(C)).
constexpr std::uint16_t InternetChecksum(std::span<const std::uint8_t> ABytes) noexcept {
    std::uint64_t sum = 0;
    std::size_t at = 0;
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        // Eight bytes at a time as they lie in memory: on a little-endian machine that is the
        // same two 32-bit words, summed at the cost of one load.
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
    // The pair left over, then the odd last byte as the low byte of a word with a zero high byte.
    for (; at < ABytes.size(); ++at) {
        sum += static_cast<std::uint32_t>(ABytes[at]) << (at % 2 == 0 ? 0 : 8);
    }
    while (sum > 0xFFFFU) {
        sum = (sum >> 16) + (sum & 0xFFFFU);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFFU);
}

namespace checks {
constexpr std::array<std::uint8_t, 3> Abc{0x61, 0x62, 0x63};
static_assert(InternetChecksum(Abc) == 0x9D3B);
}  // namespace checks

// Writes the echo request into the first EchoRequestSize bytes of AArea and returns its
// length. Identifier, sequence number and send time go least-significant byte first, as the
// host stores them; the echoing host returns them unchanged. AData fills the data field, cut
// at 32 bytes, and every position past its end holds "E".
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
    for (std::size_t i = 0; i < copied; ++i) {
        AArea[EchoDataOffset + i] = static_cast<std::uint8_t>(AData[i]);
    }
    std::ranges::fill(AArea.subspan(EchoDataOffset + copied, EchoDataSize - copied), EchoDataFill);
    // The checksum field is still zero here, as the sum requires.
    const std::uint16_t checksum =
        InternetChecksum(std::span<const std::uint8_t>(AArea.data(), EchoRequestSize));
    StoreLe16(AArea, IcmpChecksumOffset, checksum);
    return EchoRequestSize;
}

namespace checks {
constexpr std::uint16_t ExampleRequestChecksum() {
    TPacketArea area{};
    BuildEchoRequest(area, 0x1234, 3489, 0, {});
    return LoadLe16(area, IcmpChecksumOffset);
}
static_assert(ExampleRequestChecksum() == 0x8BCE);
}  // namespace checks

// Readers of a received datagram held at the start of a packet area. The area is cleared
// before a wait and datagrams land at its start, so every read lies inside it whatever the
// datagram's length. Whatever decides whether a datagram answers the request reads only the
// bytes that datagram brought (HoldsIcmpHeader, EchoFieldsAt, SourceAddressOf).

// h: where the ICMP message starts, from the low nibble of byte 0 counted in 32-bit words.
std::size_t IpHeaderLength(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept;
std::uint8_t IpTimeToLive(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept;

// True when a datagram of AReceived bytes holds the IPv4 header and the fixed ICMP part.
bool HoldsIcmpHeader(std::int32_t AReceived, std::size_t AHeaderLength) noexcept;
std::uint8_t IcmpType(std::span<const std::uint8_t, PacketAreaSize> AArea,
                      std::size_t AHeaderLength) noexcept;

// Where the identifier and sequence number that identify a request lie: in an echo message
// (types 0 and 8) its own; in any other message those of the request it quotes, behind a
// quoted IPv4 header taken to be as long as the outer one (its own length byte is not read).
constexpr std::size_t EchoFieldsOffset(std::size_t AHeaderLength) noexcept { return AHeaderLength; }
constexpr std::size_t QuotedEchoFieldsOffset(std::size_t AHeaderLength) noexcept {
    return AHeaderLength + IcmpQuotedDatagramOffset + AHeaderLength;
}
static_assert(QuotedEchoFieldsOffset(IpMaximumHeaderSize) + IcmpHeaderSize <= PacketAreaSize);

struct TEchoFields {
    std::uint16_t Identifier = 0;
    std::uint16_t Sequence = 0;
};
// The identifier and sequence number at AOffset of ADatagram (the bytes received), read
// least-significant byte first as the request wrote them; none when the datagram ends first.
std::optional<TEchoFields> EchoFieldsAt(std::span<const std::uint8_t> ADatagram,
                                        std::size_t AOffset);
// The source address of ADatagram (the bytes received), network order, first octet first;
// none when the datagram ends before it.
std::optional<TIdIn4Address> SourceAddressOf(std::span<const std::uint8_t> ADatagram) noexcept;
// Where the datagram an error message quotes was going: the destination of the quoted IPv4
// header, taken to start right behind the ICMP header; none when the datagram ends first.
std::optional<TIdIn4Address> QuotedDestinationOf(std::span<const std::uint8_t> ADatagram,
                                                 std::size_t AHeaderLength) noexcept;
// True when an error message quotes an ICMP echo request: the quoted IPv4 header names ICMP
// and the quoted message has type 8. False when the datagram ends before either.
bool QuotesEchoRequest(std::span<const std::uint8_t> ADatagram, std::size_t AHeaderLength) noexcept;

// A classic socket filter that lets through only what can answer a request with AIdentifier
// (as the request stores it, least-significant byte first): echo replies carrying it, and
// the error messages the decoding reads when they quote an echo request carrying it. The kernel
// then drops every other datagram before it is queued, so foreign traffic costs no read and
// cannot crowd the answer out of the receive queue. The decoding still judges what passes.
constexpr std::size_t EchoFilterLength = 20;
using TEchoFilter = std::array<sock_filter, EchoFilterLength>;
TEchoFilter EchoAnswerFilter(std::uint16_t AIdentifier) noexcept;

// The echoed data area of an echo message: from h + 20 to the end of the packet area.
std::span<const std::uint8_t> EchoedData(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                         std::size_t AHeaderLength) noexcept;

}  // namespace tarvex
