#include "icmp/IdRawHeaders.h"

namespace tarvex {

std::size_t IpHeaderLength(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept {
    return static_cast<std::size_t>(AArea[IpVersionAndLengthOffset] & 0x0FU) * 4;
}

std::uint8_t IpTimeToLive(std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept {
    return AArea[IpTimeToLiveOffset];
}

std::array<std::uint8_t, IpAddressSize> IpSourceAddress(
    std::span<const std::uint8_t, PacketAreaSize> AArea) noexcept {
    std::array<std::uint8_t, IpAddressSize> address{};
    for (std::size_t i = 0; i < IpAddressSize; ++i) {
        address[i] = AArea[IpSourceAddressOffset + i];
    }
    return address;
}

bool HoldsIcmpHeader(std::int32_t AReceived, std::size_t AHeaderLength) noexcept {
    return AReceived >= 0 && AHeaderLength + IcmpHeaderSize <= static_cast<std::size_t>(AReceived);
}

std::uint8_t IcmpType(std::span<const std::uint8_t, PacketAreaSize> AArea,
                      std::size_t AHeaderLength) noexcept {
    // h is at most 60, so the type byte always lies inside the area.
    return AArea[AHeaderLength + IcmpTypeOffset];
}

std::size_t EchoFieldsOffset(std::uint8_t AType, std::size_t AHeaderLength) noexcept {
    switch (AType) {
        case IcmpEchoReply:
        case IcmpEchoRequest:
            return AHeaderLength;
        case IcmpDestinationUnreachable:
        case IcmpTimeExceeded:
            return AHeaderLength + IcmpQuotedDatagramOffset + AHeaderLength;
        default:
            return 0;
    }
}

std::uint16_t CandidateIdentifier(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                  std::uint8_t AType, std::size_t AHeaderLength) {
    return LoadLe16(AArea, EchoFieldsOffset(AType, AHeaderLength) + IcmpIdentifierOffset);
}

std::uint16_t CandidateSequence(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                std::uint8_t AType, std::size_t AHeaderLength) {
    return LoadLe16(AArea, EchoFieldsOffset(AType, AHeaderLength) + IcmpSequenceOffset);
}

std::span<const std::uint8_t> EchoedData(std::span<const std::uint8_t, PacketAreaSize> AArea,
                                         std::size_t AHeaderLength) noexcept {
    const std::size_t from = AHeaderLength + EchoDataOffset;
    return from < AArea.size() ? AArea.subspan(from) : std::span<const std::uint8_t>();
}

}  // namespace tarvex
