#pragma once

#include <array>
#include <cstdint>

namespace tarvex {

// An IPv4 address as it travels: 4 bytes in network order, first octet first.
using TIdIn4Address = std::array<std::uint8_t, 4>;

// Time-out value meaning "no limit" for every wait of the socket layer.
inline constexpr std::int32_t WaitForever = -2;

// Socket calls report failure, and a handle without a socket, with -1.
inline constexpr std::int32_t Id_INVALID_SOCKET = -1;
inline constexpr std::int32_t Id_SOCKET_ERROR = -1;

// Address and protocol families: IPv4 only.
inline constexpr std::int32_t Id_PF_INET = 2;
inline constexpr std::uint16_t Id_AF_INET = 2;

// Socket types.
inline constexpr std::int32_t Id_SOCK_STREAM = 1;
inline constexpr std::int32_t Id_SOCK_DGRAM = 2;
inline constexpr std::int32_t Id_SOCK_RAW = 3;

// Protocols.
inline constexpr std::int32_t Id_IPPROTO_IP = 0;
inline constexpr std::int32_t Id_IPPROTO_ICMP = 1;
inline constexpr std::int32_t Id_IPPROTO_TCP = 6;
inline constexpr std::int32_t Id_IPPROTO_UDP = 17;
inline constexpr std::int32_t Id_IPPROTO_RAW = 255;

// Option levels and options.
inline constexpr std::int32_t Id_SOL_SOCKET = 1;
inline constexpr std::int32_t Id_IP_TTL = 2;
// A classic socket filter, and the kernel's receive time of every datagram.
inline constexpr std::int32_t Id_SO_ATTACH_FILTER = 26;
inline constexpr std::int32_t Id_SO_TIMESTAMPNS = 35;

// Shutdown direction: both.
inline constexpr std::int32_t Id_SD_Both = 2;

// Width of the system's readiness set: handles 0 to 1023, and at most this many per list.
inline constexpr std::int32_t Id_FD_SETSIZE = 1024;

}  // namespace tarvex
