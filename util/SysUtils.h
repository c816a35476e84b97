#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tarvex {

// Root of every exception the program raises. It keeps the message, the class name that the
// unhandled-exception report prints, and the code address where it was made.
class Exception : public std::exception {
public:
    explicit Exception(std::string AMessage);
    ~Exception() override;

    const char* what() const noexcept override;
    virtual const char* ClassName() const noexcept;
    const std::string& Message() const noexcept { return FMessage; }
    const void* RaiseAddress() const noexcept { return FRaiseAddress; }

private:
    std::string FMessage;
    const void* FRaiseAddress;
};

// The runtime's own exceptions.
class EConvertError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EConvertError"; }
};

class ECodesetConversion : public Exception {
public:
    ECodesetConversion();
    const char* ClassName() const noexcept override { return "ECodesetConversion"; }
};

class EInOutError : public Exception {
public:
    explicit EInOutError(std::int32_t AErrorCode);
    const char* ClassName() const noexcept override { return "EInOutError"; }
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    std::int32_t FErrorCode;
};

class EControlC : public Exception {
public:
    EControlC();
    const char* ClassName() const noexcept override { return "EControlC"; }
};

class EQuit : public Exception {
public:
    EQuit();
    const char* ClassName() const noexcept override { return "EQuit"; }
};

// Calling an operation that only a descendant class supplies.
class EAbstractError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EAbstractError"; }
};

// Fills a message template: each "%s" or "%d" takes the next argument text in turn, "%%" is a
// single "%". Byte-safe (arguments may hold any byte). Callers pass numbers through IntegerText.
std::string FormatText(std::string_view ATemplate, std::initializer_list<std::string_view> AArgs);

// Same length and same bytes; case-sensitive, no locale.
bool TextEquals(std::string_view A, std::string_view B) noexcept;

// a-z to A-Z, every other byte unchanged: letter case without the locale.
constexpr char UpperCaseAscii(char AChar) noexcept {
    return AChar >= 'a' && AChar <= 'z' ? static_cast<char>(AChar - 'a' + 'A') : AChar;
}
// Same length and the same bytes once a-z and A-Z are taken as equal, whatever the locale.
bool SameTextAscii(std::string_view A, std::string_view B) noexcept;

// Integer parsing shared by TextToIntegerOr and TextToInteger: leading spaces, one optional
// sign, "$"/"x"/"X"/"0x"/"0X" hexadecimal prefix, no trailing bytes, signed 32-bit range.
bool TryTextToInteger(std::string_view AText, std::int32_t& AValue) noexcept;
std::int32_t TextToIntegerOr(std::string_view AText, std::int32_t ADefault) noexcept;
// Raises EConvertError "'%s' is not a valid integer value".
std::int32_t TextToInteger(std::string_view AText);

std::string IntegerText(std::int32_t AValue);
std::string Integer64Text(std::int64_t AValue);

// The text after the last "/"; the whole text without "/"; empty when it ends with "/".
std::string FileNamePart(std::string_view APath);

// Lower-cases per the locale through iconv and towlower; raises ECodesetConversion.
std::string LowerCaseText(std::string_view AText);

}  // namespace tarvex
