// Integer parsing against an independent model of its rules.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "util/SysUtils.h"

namespace {

// The rules, written for clarity rather than speed: leading spaces, a sign, a hexadecimal
// prefix, then digits to the end whose value is judged in 64 bits.
std::optional<std::int32_t> ModelValue(std::string_view AText) {
    std::string_view rest = AText.substr(std::min(AText.find_first_not_of(' '), AText.size()));
    const bool negative = rest.starts_with('-');
    if (negative || rest.starts_with('+')) {
        rest.remove_prefix(1);
    }
    int base = 10;
    for (const std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (rest.starts_with(prefix)) {
            rest.remove_prefix(prefix.size());
            base = 16;
            break;
        }
    }
    std::uint64_t magnitude = 0;
    const char* end = rest.data() + rest.size();
    const auto [stop, error] = std::from_chars(rest.data(), end, magnitude, base);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    if (base == 16) {
        // Up to 32 bits, taken as they stand; a sign negates them modulo 2^32.
        if (magnitude > 0xFFFFFFFFU) {
            return std::nullopt;
        }
        const auto bits = static_cast<std::uint32_t>(magnitude);
        return static_cast<std::int32_t>(negative ? 0U - bits : bits);
    }
    if (magnitude > (negative ? 2147483648U : 2147483647U)) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                              : static_cast<std::int64_t>(magnitude));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    const std::optional<std::int32_t> expected = ModelValue(text);

    // Two defaults tell "invalid" apart from a text that parses to one of them.
    const std::int32_t first = tarvex::TextToIntegerOr(text, 7);
    const std::int32_t second = tarvex::TextToIntegerOr(text, -8);
    Check(expected ? first == *expected && second == *expected : first == 7 && second == -8,
          "TextToIntegerOr disagrees with the model");
    try {
        Check(tarvex::TextToInteger(text) == expected, "TextToInteger disagrees with the model");
    } catch (const tarvex::EConvertError& e) {
        Check(!expected, "TextToInteger refused a valid text");
        Check(e.Message() == "'" + text + "' is not a valid integer value",
              "EConvertError message");
    }
    return 0;
}
