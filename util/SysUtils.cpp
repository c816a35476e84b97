#include "util/SysUtils.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cwctype>
#include <memory>
#include <utility>
#include <vector>

namespace tarvex {

// Out of line on purpose: the return address is the code that raised the exception.
Exception::Exception(std::string AMessage)
    : FMessage(std::move(AMessage)), FRaiseAddress(__builtin_return_address(0)) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept { return FMessage.c_str(); }

const char* Exception::ClassName() const noexcept { return "Exception"; }

ECodesetConversion::ECodesetConversion() : Exception("Codeset conversion failure") {}

namespace {

std::string InOutErrorMessage(std::int32_t AErrorCode) {
    static constexpr std::pair<std::int32_t, std::string_view> Messages[] = {
        {2, "File not found"},         {3, "Invalid filename"},          {4, "Too many open files"},
        {5, "File access denied"},     {100, "Read beyond end of file"}, {101, "Disk full"},
        {106, "Invalid numeric input"}};
    for (const auto& [code, message] : Messages) {
        if (code == AErrorCode) {
            return std::string(message);
        }
    }
    return FormatText("I/O error %d", {IntegerText(AErrorCode)});
}

}  // namespace

EInOutError::EInOutError(std::int32_t AErrorCode)
    : Exception(InOutErrorMessage(AErrorCode)), FErrorCode(AErrorCode) {}

EControlC::EControlC() : Exception("Control-C hit") {}

EQuit::EQuit() : Exception("Quit key hit") {}

std::string FormatText(std::string_view ATemplate, std::initializer_list<std::string_view> AArgs) {
    std::string result;
    result.reserve(ATemplate.size());
    auto next = AArgs.begin();
    for (std::size_t i = 0; i < ATemplate.size(); ++i) {
        const char c = ATemplate[i];
        const char directive = c == '%' && i + 1 < ATemplate.size() ? ATemplate[i + 1] : '\0';
        if (directive == 's' || directive == 'd') {
            if (next != AArgs.end()) {
                result.append(*next++);
            }
            ++i;
        } else {
            result.push_back(c);  // "%%" is one "%"
            i += directive == '%' ? 1 : 0;
        }
    }
    return result;
}

bool TextEquals(std::string_view A, std::string_view B) noexcept { return A == B; }

bool SameTextAscii(std::string_view A, std::string_view B) noexcept {
    return std::ranges::equal(
        A, B, [](char AOne, char ATwo) { return UpperCaseAscii(AOne) == UpperCaseAscii(ATwo); });
}

bool TryTextToInteger(std::string_view AText, std::int32_t& AValue) noexcept {
    std::size_t at = 0;
    const std::size_t size = AText.size();
    while (at < size && AText[at] == ' ') {
        ++at;
    }
    bool negative = false;
    if (at < size && (AText[at] == '-' || AText[at] == '+')) {
        negative = AText[at] == '-';
        ++at;
    }
    int base = 10;
    if (at < size && (AText[at] == '$' || AText[at] == 'x' || AText[at] == 'X')) {
        base = 16;
        ++at;
    } else if (at + 1 < size && AText[at] == '0' &&
               (AText[at + 1] == 'x' || AText[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    // Digits only, to the end: no second sign, no trailing byte, nothing beyond 32 bits.
    std::uint32_t bits = 0;
    const char* end = AText.data() + size;
    const auto [stop, error] = std::from_chars(AText.data() + at, end, bits, base);
    if (error != std::errc{} || stop != end) {
        return false;
    }
    if (base == 16) {
        // The 32 bits are the value as they stand; a sign negates them modulo 2^32.
        AValue = static_cast<std::int32_t>(negative ? 0U - bits : bits);
        return true;
    }
    if (bits > (negative ? 0x80000000U : 0x7FFFFFFFU)) {
        return false;
    }
    AValue = static_cast<std::int32_t>(negative ? 0U - bits : bits);
    return true;
}

std::int32_t TextToIntegerOr(std::string_view AText, std::int32_t ADefault) noexcept {
    std::int32_t value = 0;
    return TryTextToInteger(AText, value) ? value : ADefault;
}

std::int32_t TextToInteger(std::string_view AText) {
    std::int32_t value = 0;
    if (!TryTextToInteger(AText, value)) {
        throw EConvertError(FormatText("'%s' is not a valid integer value", {AText}));
    }
    return value;
}

std::string IntegerText(std::int32_t AValue) { return Integer64Text(AValue); }

std::string Integer64Text(std::int64_t AValue) {
    char digits[24];
    const auto outcome = std::to_chars(digits, digits + sizeof digits, AValue);
    return std::string(digits, outcome.ptr);
}

std::string FileNamePart(std::string_view APath) {
    // No slash: npos + 1 is 0, the whole text.
    return std::string(APath.substr(APath.rfind('/') + 1));
}

namespace {

// One iconv conversion descriptor, closed when it goes out of scope.
class TCodesetConverter {
public:
    TCodesetConverter(const char* ATo, const char* AFrom) : FHandle(iconv_open(ATo, AFrom)) {}
    ~TCodesetConverter() {
        if (Valid()) {
            iconv_close(FHandle);
        }
    }
    TCodesetConverter(const TCodesetConverter&) = delete;
    TCodesetConverter& operator=(const TCodesetConverter&) = delete;

    bool Valid() const noexcept { return FHandle != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input; an invalid or incomplete sequence raises ECodesetConversion.
    std::vector<char> Convert(const char* AInput, std::size_t ASize) {
        std::vector<char> output(ASize * 2 + 16);
        char* in = const_cast<char*>(AInput);  // iconv's interface is not const-correct
        std::size_t inLeft = ASize;
        std::size_t used = 0;
        // Bounded: each round either finishes or doubles the room.
        for (int round = 0; round < 32; ++round) {
            char* out = output.data() + used;
            std::size_t outLeft = output.size() - used;
            const std::size_t converted = inLeft > 0
                                              ? iconv(FHandle, &in, &inLeft, &out, &outLeft)
                                              : iconv(FHandle, nullptr, nullptr, &out, &outLeft);
            used = output.size() - outLeft;
            if (converted != static_cast<std::size_t>(-1)) {
                if (inLeft == 0 && in != nullptr) {
                    // Input done: close any shift state on the next round.
                    in = nullptr;
                    continue;
                }
                output.resize(used);
                return output;
            }
            if (errno != E2BIG) {
                throw ECodesetConversion();
            }
            output.resize(output.size() * 2);
        }
        throw ECodesetConversion();
    }

private:
    iconv_t FHandle;
};

}  // namespace

std::string LowerCaseText(std::string_view AText) {
    const char* codeset = nl_langinfo(CODESET);
    TCodesetConverter toUnits("UNICODELITTLE", codeset);
    TCodesetConverter fromUnits(codeset, "UNICODELITTLE");
    if (!toUnits.Valid() || !fromUnits.Valid()) {
        throw ECodesetConversion();
    }
    std::vector<char> units = toUnits.Convert(AText.data(), AText.size());
    for (std::size_t at = 0; at + 1 < units.size(); at += 2) {
        const auto unit =
            static_cast<std::uint16_t>(static_cast<unsigned char>(units[at]) |
                                       (static_cast<unsigned char>(units[at + 1]) << 8));
        const auto lower = static_cast<std::uint32_t>(std::towlower(static_cast<wint_t>(unit)));
        // A mapping that leaves the 16-bit range keeps the character as it was.
        const std::uint16_t mapped = lower <= 0xFFFFU ? static_cast<std::uint16_t>(lower) : unit;
        units[at] = static_cast<char>(mapped & 0xFFU);
        units[at + 1] = static_cast<char>(mapped >> 8);
    }
    const std::vector<char> bytes = fromUnits.Convert(units.data(), units.size());
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace tarvex
