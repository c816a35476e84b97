#include "util/SysUtils.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <charconv>
#include <cwctype>
#include <limits>
#include <memory>
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
    switch (AErrorCode) {
        case 2:
            return "File not found";
        case 3:
            return "Invalid filename";
        case 4:
            return "Too many open files";
        case 5:
            return "File access denied";
        case 100:
            return "Read beyond end of file";
        case 101:
            return "Disk full";
        case 106:
            return "Invalid numeric input";
        default:
            return FormatText("I/O error %d", {IntegerText(AErrorCode)});
    }
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
        if (c != '%' || i + 1 >= ATemplate.size()) {
            result.push_back(c);
            continue;
        }
        const char directive = ATemplate[i + 1];
        if (directive == '%') {
            result.push_back('%');
            ++i;
        } else if (directive == 's' || directive == 'd') {
            if (next != AArgs.end()) {
                result.append(*next);
                ++next;
            }
            ++i;
        } else {
            result.push_back(c);
        }
    }
    return result;
}

bool TextEquals(std::string_view A, std::string_view B) noexcept { return A == B; }

bool SameTextAscii(std::string_view A, std::string_view B) noexcept {
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t i = 0; i < A.size(); ++i) {
        if (UpperCaseAscii(A[i]) != UpperCaseAscii(B[i])) {
            return false;
        }
    }
    return true;
}

namespace {

int HexDigitValue(char AChar) noexcept {
    if (AChar >= '0' && AChar <= '9') {
        return AChar - '0';
    }
    if (AChar >= 'a' && AChar <= 'f') {
        return AChar - 'a' + 10;
    }
    if (AChar >= 'A' && AChar <= 'F') {
        return AChar - 'A' + 10;
    }
    return -1;
}

}  // namespace

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
    bool hexadecimal = false;
    if (at < size && (AText[at] == '$' || AText[at] == 'x' || AText[at] == 'X')) {
        hexadecimal = true;
        ++at;
    } else if (at + 1 < size && AText[at] == '0' &&
               (AText[at + 1] == 'x' || AText[at + 1] == 'X')) {
        hexadecimal = true;
        at += 2;
    }
    if (at >= size) {
        return false;
    }
    if (hexadecimal) {
        std::uint32_t bits = 0;
        for (; at < size; ++at) {
            const int digit = HexDigitValue(AText[at]);
            if (digit < 0 || (bits & 0xF0000000U) != 0) {
                return false;
            }
            bits = (bits << 4) | static_cast<std::uint32_t>(digit);
        }
        // The 32 bits are the value as they stand; a sign negates them modulo 2^32.
        const std::uint32_t result = negative ? 0U - bits : bits;
        AValue = static_cast<std::int32_t>(result);
        return true;
    }
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max());
    std::int64_t magnitude = 0;
    for (; at < size; ++at) {
        const char c = AText[at];
        if (c < '0' || c > '9') {
            return false;
        }
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) {
            return false;
        }
    }
    AValue = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
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
    const std::size_t slash = APath.rfind('/');
    if (slash == std::string_view::npos) {
        return std::string(APath);
    }
    return std::string(APath.substr(slash + 1));
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
