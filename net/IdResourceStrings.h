#pragma once

#include <cstdint>
#include <string_view>

namespace tarvex {

// The socket layer's user-visible texts, shown exactly as here (full stops, spaces and all).

// Wraps every socket error: the error number, CR LF, then its text (possibly empty).
inline constexpr std::string_view SocketErrorFormat = "Socket Error # %d\r\n%s";

// Resolver (h_errno) texts, shown bare by the POSIX stack for numbers 1 to 4.
inline constexpr std::string_view RSStackHostNotFound = "Host not found.";
inline constexpr std::string_view RSStackTryAgain =
    "Non-authoritative response (try again or check DNS setup).";
inline constexpr std::string_view RSStackNoRecovery =
    "Non-recoverable errors: FORMERR, REFUSED, NOTIMP.";
inline constexpr std::string_view RSStackNoData = "Valid name, no data record (check DNS setup).";

// Fixed messages of the exception classes.
inline constexpr std::string_view RSOnlyOneAntiFreeze =
    "Only one TIdAntiFreeze can exist per application.";
inline constexpr std::string_view RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr std::string_view RSPackageSizeTooBig = "Package Size Too Big.";
inline constexpr std::string_view RSNotAllBytesSent = "Not all bytes sent.";
inline constexpr std::string_view RSIcmpNotEnoughData = "Not enough bytes received";
inline constexpr std::string_view RSIcmpNonEchoResponse = "Non-echo type response received";
inline constexpr std::string_view RSCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr std::string_view RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr std::string_view RSInvalidServiceName = "%s is not a valid service.";

// One entry of the socket error table: a Linux errno value and its text.
struct TIdStackErrorText {
    std::int32_t Number;
    std::string_view Text;
};

// The socket error table, ascending by number (38 entries).
extern const TIdStackErrorText StackErrorTexts[38];

// The table's text for AErrorNumber, or an empty text when the number is not listed.
std::string_view StackErrorText(std::int32_t AErrorNumber) noexcept;

}  // namespace tarvex
