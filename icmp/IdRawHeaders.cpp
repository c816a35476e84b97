#include "icmp/IdRawHeaders.h"

namespace tarvex {

std::size_t IpHeaderLength(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept {
    return static_cast<std::size_t>(AArea[IpVersionAndLengthOffset] & 0x0FU) * 4;
}

std::uint8_t IpTimeToLive(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept {
    return AArea[IpTimeToLiveOffset];
}

bool HoldsIcmpHeader(std::int32_t AReceived, std::size_t AHeaderLength) noexcept {
    return AReceived >= 0 && AHeaderLength + IcmpHeaderSize <= static_cast<std::size_t>(AReceived);
}

std::uint8_t IcmpType(std::span<const std::uint8_t, PacketAreaSize> AArea,
                      std::size_t AHeaderLength) noexcept {
    // h is at most 60, so the type byte always lies inside the area.
    return AArea[AHeaderLength + IcmpTypeOffset];
}

std::optional<TEchoFields> EchoFieldsAt(std::span<const std::uint8_t> ADatagram,
                                        std::size_t AOffset) {
    if (AOffset > ADatagram.size() || ADatagram.size() - AOffset < IcmpSequenceOffset + 2) {
        return std::nullopt;
    }
    return TEchoFields{LoadLe16(ADatagram, AOffset + IcmpIdentifierOffset),
                       LoadLe16(ADatagram, AOffset + IcmpSequenceOffset)};
}

namespace {

std::optional<TIdIn4Address> AddressAt(std::span<const std::uint8_t> ADatagram,
                                       std::size_t AOffset) noexcept {
    if (AOffset > ADatagram.size() || ADatagram.size() - AOffset < IpAddressSize) {
        return std::nullopt;
    }
    TIdIn4Address address{};
    std::ranges::copy(ADatagram.subspan(AOffset, IpAddressSize), address.begin());
    return address;
}

}  // namespace

std::optional<TIdIn4Address> SourceAddressOf(std::span<const std::uint8_t> ADatagram) noexcept {
    return AddressAt(ADatagram, IpSourceAddressOffset);
}

std::optional<TIdIn4Address> QuotedDestinationOf(std::span<const std::uint8_t> ADatagram,
                                                 std::size_t AHeaderLength) noexcept {
    return AddressAt(ADatagram,
                     AHeaderLength + IcmpQuotedDatagramOffset + IpDestinationAddressOffset);
}

bool QuotesEchoRequest(std::span<const std::uint8_t> ADatagram,
                       std::size_t AHeaderLength) noexcept {
    const std::size_t protocolAt = AHeaderLength + IcmpQuotedDatagramOffset + IpProtocolOffset;
    const std::size_t typeAt = QuotedEchoFieldsOffset(AHeaderLength) + IcmpTypeOffset;
    return protocolAt < ADatagram.size() && typeAt < ADatagram.size() &&
           ADatagram[protocolAt] == IpProtocolIcmp && ADatagram[typeAt] == IcmpEchoRequest;
}

TEchoFilter EchoAnswerFilter(std::uint16_t AIdentifier) noexcept {
    // The filter loads 16 bits in network order; the identifier went out low byte first.
    const auto identifier =
        static_cast<std::uint32_t>(((AIdentifier & 0xFFU) << 8) | (AIdentifier >> 8));
    constexpr std::uint8_t Accept = EchoFilterLength - 2;
    constexpr std::uint8_t Drop = EchoFilterLength - 1;
    const auto jump = [](std::uint8_t AAt, std::uint32_t AValue, std::uint8_t AIfEqual,
                         std::uint8_t AOtherwise) {
        // Jumps count from the instruction after this one.
        return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint8_t>(AIfEqual - AAt - 1),
                           static_cast<std::uint8_t>(AOtherwise - AAt - 1), AValue};
    };
    const auto load = [](std::uint16_t ASize, std::uint32_t AOffset) {
        return sock_filter{static_cast<std::uint16_t>(BPF_LD | ASize | BPF_IND), 0, 0, AOffset};
    };
    // The raw socket's datagrams start with the IPv4 header; X holds its length h, and an
    // error's quoted header is taken to be as long as the outer one, as the decoding takes it.
    // A load past the end of the datagram drops it.
    constexpr std::uint8_t EchoAt = 7;
    constexpr std::uint8_t ErrorAt = 9;
    return TEchoFilter{{
        {BPF_LDX | BPF_B | BPF_MSH, 0, 0, IpVersionAndLengthOffset},  // 0: X := h
        load(BPF_B, IcmpTypeOffset),                                  // 1: the type
        jump(2, IcmpEchoReply, EchoAt, 3),
        jump(3, IcmpDestinationUnreachable, ErrorAt, 4),
        jump(4, IcmpTimeExceeded, ErrorAt, 5),
        jump(5, IcmpParameterProblem, ErrorAt, 6),
        jump(6, IcmpSourceQuench, ErrorAt, Drop),
        load(BPF_H, IcmpIdentifierOffset),  // 7: an echo reply's own identifier
        jump(8, identifier, Accept, Drop),
        load(BPF_B, IcmpQuotedDatagramOffset + IpProtocolOffset),  // 9: quoted protocol
        jump(10, IpProtocolIcmp, 11, Drop),
        {BPF_MISC | BPF_TXA, 0, 0, 0},  // 11: X := 2h, the quoted message less 8
        {BPF_ALU | BPF_LSH | BPF_K, 0, 0, 1},
        {BPF_MISC | BPF_TAX, 0, 0, 0},
        load(BPF_B, IcmpQuotedDatagramOffset + IcmpTypeOffset),  // 14: quoted type
        jump(15, IcmpEchoRequest, 16, Drop),
        load(BPF_H, IcmpQuotedDatagramOffset + IcmpIdentifierOffset),  // quoted identifier
        jump(17, identifier, Accept, Drop),
        {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFFU},  // the whole datagram
        {BPF_RET | BPF_K, 0, 0, 0},
    }};
}

std::span<const std::uint8_t> EchoedData(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                         std::size_t AHeaderLength) noexcept {
    const std::size_t from = AHeaderLength + EchoDataOffset;
    return from < AArea.size() ? AArea.subspan(from) : std::span<const std::uint8_t>();
}

}  // namespace tarvex
