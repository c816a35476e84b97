#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "icmp/IdRawHeaders.h"
#include "util/IdGlobal.h"

// Datagrams as a raw IPv4 socket delivers them, for the echo client's tests.

namespace tarvex::test {

using TAddressBytes = std::array<std::uint8_t, 4>;

// The identifier the client writes into its requests.
inline std::uint16_t OwnIdentifier() { return static_cast<std::uint16_t>(OwnProcessId() & 0xFFFF); }

// An IPv4 header of AHeaderLength bytes (options filled with no-operation bytes).
inline std::vector<std::uint8_t> Ipv4Header(TAddressBytes ASource, std::uint8_t ATtl,
                                            std::size_t AHeaderLength = 20,
                                            TAddressBytes ADestination = {0, 0, 0, 0}) {
    std::vector<std::uint8_t> header(AHeaderLength, 0x01);
    header[0] = static_cast<std::uint8_t>(0x40U | (AHeaderLength / 4));
    for (std::size_t i = 1; i < 20; ++i) {
        header[i] = 0;
    }
    header[8] = ATtl;
    header[9] = 1;  // ICMP
    for (std::size_t i = 0; i < 4; ++i) {
        header[IpSourceAddressOffset + i] = ASource[i];
        header[IpDestinationAddressOffset + i] = ADestination[i];
    }
    return header;
}

// An echo message (type 0 or 8) with 32 data bytes of "E" behind an IPv4 header.
inline std::vector<std::uint8_t> EchoDatagram(std::uint8_t AType, std::uint16_t AIdentifier,
                                              std::uint16_t ASequence,
                                              TAddressBytes ASource = {127, 0, 0, 1},
                                              std::uint8_t ATtl = 64,
                                              std::size_t AHeaderLength = 20) {
    std::vector<std::uint8_t> datagram = Ipv4Header(ASource, ATtl, AHeaderLength);
    TPacketArea message{};
    BuildEchoRequest(message, AIdentifier, ASequence, 0, "");
    message[IcmpTypeOffset] = AType;
    datagram.insert(datagram.end(), message.begin(), message.begin() + EchoRequestSize);
    return datagram;
}

// An error message (type 3 or 11) quoting an IPv4 header of AQuotedHeaderLength bytes, bound
// for AQuotedDestination (by default the host the client tests ping), and the first 8 bytes of
// the echo request with the given numbers.
inline std::vector<std::uint8_t> ErrorDatagram(std::uint8_t AType, std::uint16_t AIdentifier,
                                               std::uint16_t ASequence, TAddressBytes ASource,
                                               std::size_t AHeaderLength = 20,
                                               std::size_t AQuotedHeaderLength = 20,
                                               TAddressBytes AQuotedDestination = {10, 77, 0, 2}) {
    std::vector<std::uint8_t> datagram = Ipv4Header(ASource, 64, AHeaderLength);
    const std::vector<std::uint8_t> message = {AType, 0, 0, 0, 0, 0, 0, 0};
    datagram.insert(datagram.end(), message.begin(), message.end());
    const std::vector<std::uint8_t> quoted =
        Ipv4Header({10, 77, 0, 1}, 1, AQuotedHeaderLength, AQuotedDestination);
    datagram.insert(datagram.end(), quoted.begin(), quoted.end());
    TPacketArea request{};
    BuildEchoRequest(request, AIdentifier, ASequence, 0, "");
    datagram.insert(datagram.end(), request.begin(), request.begin() + IcmpHeaderSize);
    return datagram;
}

}  // namespace tarvex::test
