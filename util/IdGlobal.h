#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

// Milliseconds of a clock reading: seconds x 1000 + microseconds / 1000, truncated to 32 bits.
constexpr std::uint32_t TicksFromTime(std::int64_t ASeconds, std::int64_t AMicroseconds) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ASeconds) * 1000U +
                                      static_cast<std::uint64_t>(AMicroseconds / 1000));
}
static_assert(TicksFromTime(1000000000, 999999) == 3567588327U);

// The tick counter, read from the monotonic clock so a wall-clock step never shows.
std::uint32_t MillisecondTicks() noexcept;
// Elapsed milliseconds allowing one wrap (one less than the modular difference on a wrap).
std::uint32_t TicksBetween(std::uint32_t AOlder, std::uint32_t ANewer) noexcept;
std::int32_t OwnProcessId() noexcept;
bool CalledFromMainThread() noexcept;
std::int32_t LargerOf(std::int32_t A, std::int32_t B) noexcept;

// The text before the first ADelimiter (all of it when absent); with ARemove, AText keeps only
// what follows the delimiter. Without ACaseSensitive only a-z fold to A-Z.
std::string SplitOff(std::string& AText, std::string_view ADelimiter, bool ARemove,
                     bool ACaseSensitive);
// 1-based position of ANeedle in AHaystack, 0 when absent; the search chosen at start-up.
std::int32_t FindDelimiter(std::string_view ANeedle, std::string_view AHaystack);

// FindDelimiter's two choices: a plain byte search (no multi-byte characters), and one that takes
// only matches on a character boundary and ends both texts at their first NUL byte.
std::int32_t PlainDelimiterSearch(std::string_view ANeedle, std::string_view AHaystack);
std::int32_t BoundaryDelimiterSearch(std::string_view ANeedle, std::string_view AHaystack);

// Start-up: records the calling thread as the main thread and chooses FindDelimiter.
void IdGlobalStartUp() noexcept;

}  // namespace tarvex
