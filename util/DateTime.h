#pragma once

#include <langinfo.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarvex {

// Days since 30 December 1899 00:00 local time: the integer part is the date, the fraction the
// time of day (for dates before that day the fraction still counts forward from midnight).
using TDateTime = double;

// No rendered date-time text is longer than this many bytes.
constexpr std::size_t MaxDateTimeTextLength = 256;

// Length in bytes of the character that starts AText: 1 for a byte that starts no valid one,
// never more than AText.size(). A locale without lead bytes has no rule at all.
using TCharLengthRule = std::size_t (*)(std::string_view AText) noexcept;

// Hands out what nl_langinfo gives for an item; the empty text when the locale has nothing.
using TLangInfoSupplier = std::function<std::string(nl_item AItem)>;

// How dates and times are written. A default-constructed value holds what applies when the
// locale gives nothing.
struct TFormatSettings {
    std::string ShortDatePattern{"m/d/yy"};
    std::string LongDatePattern{"m/d/yy"};
    std::string ShortTimePattern{"hh:mm AMPM"};
    std::string LongTimePattern{"hh:mm AMPM"};
    char DateSeparatorChar = '/';
    char TimeSeparatorChar = ':';
    std::string AmText;
    std::string PmText;
    std::array<std::string, 12> MonthAbbreviations{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::array<std::string, 12> MonthNames{"January",   "February", "March",    "April",
                                           "May",       "June",     "July",     "August",
                                           "September", "October",  "November", "December"};
    std::array<std::string, 7> DayAbbreviations{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::array<std::string, 7> DayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    // Set in a multi-byte locale: characters of more than one byte are kept whole.
    TCharLengthRule CharLength = nullptr;
};

// The calendar fields of a date-time value, to the millisecond. DayOfWeek: 0 is Sunday.
struct TDateTimeParts {
    std::int32_t Year = 1899;
    std::int32_t Month = 12;
    std::int32_t Day = 30;
    std::int32_t Hour = 0;
    std::int32_t Minute = 0;
    std::int32_t Second = 0;
    std::int32_t Millisecond = 0;
    std::int32_t DayOfWeek = 6;

    bool operator==(const TDateTimeParts&) const = default;
};

// Rounds to the nearest millisecond first (0.99999999999 is the next day at 00:00:00.000).
// Values outside the years 1 to 9999 are held at those limits; not-a-number counts as 0.
TDateTimeParts DecodeDateTime(TDateTime AValue) noexcept;
// The value of a calendar date and time of day (proleptic Gregorian calendar).
TDateTime EncodeDateTime(std::int32_t AYear, std::int32_t AMonth, std::int32_t ADay,
                         std::int32_t AHour = 0, std::int32_t AMinute = 0, std::int32_t ASecond = 0,
                         std::int32_t AMillisecond = 0) noexcept;

// Local wall-clock time now, to the millisecond.
TDateTime CurrentDateTime() noexcept;

// The process locale's nl_langinfo text for an item.
std::string LocaleLangInfo(nl_item AItem);
// The character length rule of the process locale's character set (through mbrlen).
std::size_t LocaleCharLength(std::string_view AText) noexcept;

// The process locale's rule: LocaleCharLength when its character set has lead bytes.
TCharLengthRule LocaleCharLengthRule() noexcept;

// Turns a C-library date/time format into a pattern. %r, %x and %X take the translations of
// T_FMT_AMPM, D_FMT and T_FMT from ALangInfo; a format that refers back to itself contributes
// nothing the second time. Multi-byte characters are copied (or dropped after "%") whole.
std::string TranslateLocalePattern(std::string_view AFormat, const TLangInfoSupplier& ALangInfo,
                                   TCharLengthRule ACharLength = nullptr);
// The same, with the process locale's formats and character set.
std::string TranslateLocalePattern(std::string_view AFormat);

// Fills the settings from the given locale texts, falling back entry by entry to the defaults.
TFormatSettings FormatSettingsFrom(const TLangInfoSupplier& ALangInfo,
                                   TCharLengthRule ACharLength = nullptr);

// Renders APattern for AValue with ASettings alone (no process state). At most
// MaxDateTimeTextLength bytes.
std::string RenderDateTime(std::string_view APattern, TDateTime AValue,
                           const TFormatSettings& ASettings);

// The date in ShortDatePattern, then a space and LongTimePattern unless the time of day is
// 00:00:00 (milliseconds do not count).
std::string DateTimeText(TDateTime AValue, const TFormatSettings& ASettings);
// The same with the process-wide settings.
std::string DateTimeText(TDateTime AValue);

// The process-wide settings: the defaults until DateTimeStartUp has run, the locale's after.
const TFormatSettings& FormatSettings() noexcept;

// Start-up: fills the date and time format settings from the adopted locale.
void DateTimeStartUp();

}  // namespace tarvex
