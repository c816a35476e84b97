#include "util/IdGlobal.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "util/SysUtils.h"

namespace tarvex {

namespace {

using TDelimiterSearch = std::int32_t (*)(std::string_view, std::string_view);

constinit TDelimiterSearch ChosenSearch = &PlainDelimiterSearch;
constinit pthread_t MainThread{};  // no thread has id 0: false until start-up

std::string_view UpToNul(std::string_view AText) { return AText.substr(0, AText.find('\0')); }

std::string UpperCaseAsciiText(std::string_view AText) {
    std::string copy(AText);
    std::ranges::transform(copy, copy.begin(), &UpperCaseAscii);
    return copy;
}

}  // namespace

std::int32_t PlainDelimiterSearch(std::string_view ANeedle, std::string_view AHaystack) {
    if (ANeedle.empty()) {
        return 0;
    }
    const std::size_t at = AHaystack.find(ANeedle);
    return at == std::string_view::npos ? 0 : static_cast<std::int32_t>(at + 1);
}

// A trail byte that happens to equal the needle is not taken for it.
std::int32_t BoundaryDelimiterSearch(std::string_view ANeedle, std::string_view AHaystack) {
    const std::string_view needle = UpToNul(ANeedle);
    const std::string_view haystack = UpToNul(AHaystack);
    if (needle.empty()) {
        return 0;
    }
    std::mbstate_t state{};
    std::size_t at = 0;
    while (at < haystack.size() && haystack.size() - at >= needle.size()) {
        if (haystack.compare(at, needle.size(), needle) == 0) {
            return static_cast<std::int32_t>(at + 1);
        }
        // A byte below 0x80 that starts a character is that whole character in every charset
        // a locale can have (a trail byte below 0x80 never starts one): only the others decode.
        const std::size_t length =
            static_cast<unsigned char>(haystack[at]) < 0x80
                ? 1
                : std::mbrlen(haystack.data() + at, haystack.size() - at, &state);
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) ||
            length == 0) {
            // A broken sequence counts as one byte; start afresh after it.
            state = std::mbstate_t{};
            ++at;
        } else {
            at += length;
        }
    }
    return 0;
}

std::uint32_t MillisecondTicks() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return TicksFromTime(now.tv_sec, now.tv_nsec / 1000);
}

std::uint32_t TicksBetween(std::uint32_t AOlder, std::uint32_t ANewer) noexcept {
    // After a wrap the count is one less than the modular difference.
    return ANewer - AOlder - (AOlder > ANewer ? 1U : 0U);
}

namespace {

// The process id, read once: every exchange needs it, and it changes only in a forked child,
// which forgets it.
constinit std::atomic<std::int32_t> KnownProcessId{0};

void ForgetProcessId() noexcept { KnownProcessId.store(0, std::memory_order_relaxed); }

}  // namespace

std::int32_t OwnProcessId() noexcept {
    static const bool ForgottenOnFork = pthread_atfork(nullptr, nullptr, &ForgetProcessId) == 0;
    std::int32_t id = KnownProcessId.load(std::memory_order_relaxed);
    if (id == 0 || !ForgottenOnFork) {
        id = static_cast<std::int32_t>(getpid());
        KnownProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

bool CalledFromMainThread() noexcept { return pthread_equal(pthread_self(), MainThread) != 0; }

std::int32_t LargerOf(std::int32_t A, std::int32_t B) noexcept { return B > A ? B : A; }

std::string SplitOff(std::string& AText, std::string_view ADelimiter, bool ARemove,
                     bool ACaseSensitive) {
    std::int32_t position = 0;
    if (ADelimiter.size() == 1 && ADelimiter[0] == '\0') {
        position = PlainDelimiterSearch(ADelimiter, AText);
    } else if (ACaseSensitive) {
        position = FindDelimiter(ADelimiter, AText);
    } else {
        position = FindDelimiter(UpperCaseAsciiText(ADelimiter), UpperCaseAsciiText(AText));
    }
    // Not found: the field is the whole text, and a removal leaves nothing.
    const std::size_t cut = position == 0 ? AText.size() : static_cast<std::size_t>(position - 1);
    std::string field = AText.substr(0, cut);
    if (ARemove) {
        AText.erase(0, position == 0 ? cut : cut + ADelimiter.size());
    }
    return field;
}

std::int32_t FindDelimiter(std::string_view ANeedle, std::string_view AHaystack) {
    return ChosenSearch(ANeedle, AHaystack);
}

void IdGlobalStartUp() noexcept {
    MainThread = pthread_self();
    ChosenSearch = MB_CUR_MAX == 1 ? &PlainDelimiterSearch : &BoundaryDelimiterSearch;
}

}  // namespace tarvex
