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

std::optional<TIpAddressBytes> AddressAt(std::span<const std::uint8_t> ADatagram,
                                         std::size_t AOffset) noexcept {
    if (AOffset > ADatagram.size() || ADatagram.size() - AOffset < IpAddressSize) {
        return std::nullopt;
    }
    TIpAddressBytes address{};
    for (std::size_t i = 0; i < IpAddressSize; ++i) {
        address[i] = ADatagram[AOffset + i];
    }
    return address;
}

}  // namespace

std::optional<TIpAddressBytes> SourceAddressOf(std::span<const std::uint8_t> ADatagram) noexcept {
    return AddressAt(ADatagram, IpSourceAddressOffset);
}

std::optional<TIpAddressBytes> QuotedDestinationOf(std::span<const std::uint8_t> ADatagram,
                                                   std::size_t AHeaderLength) noexcept {
    return AddressAt(ADatagram,
                     AHeaderLength + IcmpQuotedDatagramOffset + IpDestinationAddressOffset);
}

std::span<const std::uint8_t> EchoedData(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                         std::size_t AHeaderLength) noexcept {
    const std::size_t from = AHeaderLength + EchoDataOffset;
    return from < AArea.size() ? AArea.subspan(from) : std::span<const std::uint8_t>();
}

}  // namespace tarvex
