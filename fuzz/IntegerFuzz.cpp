// Integer parsing against an independent model of its rules. Any disagreement aborts, so the
// fuzzer reports the text as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "util/SysUtils.h"

namespace {

// The rules, written for clarity rather than speed: strip the decoration, check the digits,
// then judge the digit string by its length and value.
std::optional<std::int32_t> ModelValue(std::string_view AText) {
    std::size_t at = AText.find_first_not_of(' ');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = AText.substr(at);
    bool negative = false;
    if (rest.front() == '+' || rest.front() == '-') {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    bool hexadecimal = false;
    if (rest.starts_with("0x") || rest.starts_with("0X")) {
        hexadecimal = true;
        rest.remove_prefix(2);
    } else if (rest.starts_with("$") || rest.starts_with("x") || rest.starts_with("X")) {
        hexadecimal = true;
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    const std::string_view digitSet =
        hexadecimal ? std::string_view("0123456789abcdefABCDEF") : std::string_view("0123456789");
    if (rest.find_first_not_of(digitSet) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t firstSignificant = rest.find_first_not_of('0');
    const std::string_view significant = firstSignificant == std::string_view::npos
                                             ? std::string_view()
                                             : rest.substr(firstSignificant);
    if (hexadecimal) {
        if (significant.size() > 8) {
            return std::nullopt;
        }
        const std::uint32_t bits =
            significant.empty()
                ? 0U
                : static_cast<std::uint32_t>(std::stoul(std::string(significant), nullptr, 16));
        const std::uint32_t signedBits = negative ? ~bits + 1U : bits;
        return static_cast<std::int32_t>(signedBits);
    }
    if (significant.size() > 10) {
        return std::nullopt;
    }
    const std::int64_t magnitude =
        significant.empty() ? 0 : std::stoll(std::string(significant), nullptr, 10);
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

[[noreturn]] void Disagree(std::string_view AText, const char* AWhat) {
    std::fprintf(stderr, "integer parsing disagrees with the model (%s) on %zu bytes:", AWhat,
                 AText.size());
    for (const char c : AText) {
        std::fprintf(stderr, " %02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    const std::optional<std::int32_t> expected = ModelValue(text);

    // Two defaults tell "invalid" apart from a text that parses to one of them.
    const std::int32_t first = tarvex::TextToIntegerOr(text, 7);
    const std::int32_t second = tarvex::TextToIntegerOr(text, -8);
    if (expected.has_value()) {
        if (first != *expected || second != *expected) {
            Disagree(text, "value");
        }
    } else if (first != 7 || second != -8) {
        Disagree(text, "accepted an invalid text");
    }

    try {
        const std::int32_t value = tarvex::TextToInteger(text);
        if (!expected.has_value() || value != *expected) {
            Disagree(text, "TextToInteger value");
        }
    } catch (const tarvex::EConvertError& e) {
        if (expected.has_value()) {
            Disagree(text, "TextToInteger refused a valid text");
        }
        if (e.Message() != "'" + text + "' is not a valid integer value") {
            Disagree(text, "EConvertError message");
        }
    }
    return 0;
}
