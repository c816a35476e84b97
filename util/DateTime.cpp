#include "util/DateTime.h"

#include <sys/time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <vector>

#include "util/SysUtils.h"

namespace tarvex {

namespace {

constexpr std::int64_t MsPerDay = 86400000;
// Serial numbers of 1 January 1970, 1 January 0001 and 31 December 9999.
constexpr std::int64_t UnixEpochSerial = 25569;
constexpr std::int64_t MinDateSerial = -693593;
constexpr std::int64_t MaxDateSerial = 2958465;

// Days since 1 January 1970 of a proleptic Gregorian date.
constexpr std::int64_t DaysFromCivil(std::int64_t AYear, std::int64_t AMonth, std::int64_t ADay) {
    const std::int64_t year = AMonth <= 2 ? AYear - 1 : AYear;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear =
        (153 * (AMonth > 2 ? AMonth - 3 : AMonth + 9) + 2) / 5 + ADay - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

static_assert(DaysFromCivil(1899, 12, 30) == -UnixEpochSerial);
static_assert(DaysFromCivil(1, 1, 1) + UnixEpochSerial == MinDateSerial);
static_assert(DaysFromCivil(9999, 12, 31) + UnixEpochSerial == MaxDateSerial);

constexpr bool IsAsciiLetter(char AChar) {
    const char upper = UpperCaseAscii(AChar);
    return upper >= 'A' && upper <= 'Z';
}

// Length of the AM/PM, A/P or AMPM marker at AAt, 0 when none starts there.
std::size_t MarkerLength(std::string_view AText, std::size_t AAt) {
    for (const std::string_view marker : {"AM/PM", "A/P", "AMPM"}) {
        if (SameTextAscii(AText.substr(AAt, marker.size()), marker)) {
            return marker.size();
        }
    }
    return 0;
}

// Length of the character at AAt of AText under ARule, kept within the text.
std::size_t CharLengthAt(TCharLengthRule ARule, std::string_view AText, std::size_t AAt) {
    if (ARule == nullptr) {
        return 1;
    }
    return std::clamp<std::size_t>(ARule(AText.substr(AAt)), 1, AText.size() - AAt);
}

// Position of the quote that closes the one at AOpen, or the end of the text.
std::size_t ClosingQuote(TCharLengthRule ARule, std::string_view AText, std::size_t AOpen) {
    std::size_t at = AOpen + 1;
    while (at < AText.size() && AText[at] != AText[AOpen]) {
        at += CharLengthAt(ARule, AText, at);
    }
    return std::min(at, AText.size());
}

// --- Translation of C-library formats ---

// Item, when not 0, is the locale format whose translation stands for the conversion.
struct TConversion {
    char Letter;
    std::string_view Pattern;
    nl_item Item = 0;
};

constexpr std::array<TConversion, 30> Conversions = {{
    {'a', "ddd"},      {'A', "dddd"}, {'b', "MMM"},          {'h', "MMM"},     {'B', "MMMM"},
    {'c', "c"},        {'d', "dd"},   {'D', "MM/dd/yy"},     {'e', "d"},       {'g', "yy"},
    {'y', "yy"},       {'G', "yyyy"}, {'Y', "yyyy"},         {'H', "HH"},      {'I', "hh"},
    {'k', "H"},        {'l', "h"},    {'m', "MM"},           {'M', "nn"},      {'n', "\n"},
    {'p', "AMPM"},     {'P', "AMPM"}, {'R', "HH:mm"},        {'S', "ss"},      {'t', "\t"},
    {'T', "HH:mm:ss"}, {'%', "%"},    {'r', "", T_FMT_AMPM}, {'x', "", D_FMT}, {'X', "", T_FMT},
}};

class TPatternTranslator {
public:
    TPatternTranslator(const TLangInfoSupplier& ALangInfo, TCharLengthRule ACharLength)
        : FLangInfo(ALangInfo), FCharLength(ACharLength) {}

    void Translate(std::string_view AFormat, std::string& AOut) {
        std::size_t at = 0;
        while (at < AFormat.size()) {
            std::size_t length = CharLengthAt(FCharLength, AFormat, at);
            if (length > 1 || AFormat[at] != '%') {
                AOut += AFormat.substr(at, length);
                at += length;
                continue;
            }
            ++at;
            if (at == AFormat.size()) {
                break;  // a trailing "%" stands for nothing
            }
            // An unknown conversion drops its whole character, not just its first byte.
            length = CharLengthAt(FCharLength, AFormat, at);
            if (length == 1) {
                AppendConversion(AFormat[at], AOut);
            }
            at += length;
        }
    }

private:
    void AppendConversion(char AConversion, std::string& AOut) {
        for (const TConversion& conversion : Conversions) {
            if (conversion.Letter != AConversion) {
                continue;
            }
            if (conversion.Item != 0) {
                TranslateItem(conversion.Item, AOut);
            } else {
                AOut += conversion.Pattern;
            }
            return;
        }
        // Conversions without a pattern equivalent contribute nothing.
    }

    // A locale whose formats refer to each other in a circle must not recurse without end, so
    // a format already being translated contributes nothing.
    void TranslateItem(nl_item AItem, std::string& AOut) {
        if (std::find(FActive.begin(), FActive.end(), AItem) != FActive.end()) {
            return;
        }
        FActive.push_back(AItem);
        Translate(FLangInfo(AItem), AOut);
        FActive.pop_back();
    }

    const TLangInfoSupplier& FLangInfo;
    TCharLengthRule FCharLength;
    std::vector<nl_item> FActive;
};

// --- Rendering ---

// Patterns reached through c, t, ddddd and dddddd are rendered one level deep only.
constexpr int MaxNestingLevel = 1;

class TPatternRenderer {
public:
    TPatternRenderer(const TFormatSettings& ASettings, const TDateTimeParts& AParts)
        : FSettings(ASettings), FParts(AParts) {
        FOut.reserve(MaxDateTimeTextLength);
    }

    std::string Take() { return std::move(FOut); }

    void Render(std::string_view APattern, int ALevel) {
        char lastToken = '\0';
        std::size_t at = 0;
        while (at < APattern.size() && !Full()) {
            const std::size_t charLength = CharLengthAt(FSettings.CharLength, APattern, at);
            if (charLength > 1) {
                Append(APattern.substr(at, charLength));
                at += charLength;
                lastToken = '\0';
                continue;
            }
            const char current = APattern[at];
            if (IsAsciiLetter(current)) {
                at = RenderLetter(APattern, at, lastToken, ALevel);
                lastToken = UpperCaseAscii(current);
                continue;
            }
            switch (current) {
                case '/':
                    Append(FSettings.DateSeparatorChar);
                    break;
                case ':':
                    Append(FSettings.TimeSeparatorChar);
                    break;
                case '"':
                case '\'': {
                    const std::size_t close = ClosingQuote(FSettings.CharLength, APattern, at);
                    Append(APattern.substr(at + 1, close - at - 1));
                    at = close;
                    break;
                }
                default:
                    Append(current);
                    break;
            }
            ++at;
        }
    }

private:
    bool Full() const { return FCut || FOut.size() >= MaxDateTimeTextLength; }

    void Append(char AChar) {
        if (!Full()) {
            FOut += AChar;
        }
    }

    // Appends as much of AText as fits, never splitting a multi-byte character.
    void Append(std::string_view AText) {
        const std::size_t room =
            MaxDateTimeTextLength - std::min(FOut.size(), MaxDateTimeTextLength);
        if (FCut) {
            return;
        }
        if (AText.size() <= room) {
            FOut += AText;
            return;
        }
        std::size_t fits = 0;
        while (fits < AText.size()) {
            const std::size_t next = fits + CharLengthAt(FSettings.CharLength, AText, fits);
            if (next > room) {
                break;
            }
            fits = next;
        }
        FOut += AText.substr(0, fits);
        FCut = true;  // the text ends here, even if a later piece would still fit
    }

    void AppendNumber(std::int32_t AValue, std::size_t ADigits) {
        std::array<char, 12> digits{};
        const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), AValue).ptr;
        const auto count = static_cast<std::size_t>(end - digits.data());
        for (std::size_t i = count; i < ADigits; ++i) {
            Append('0');
        }
        Append(std::string_view(digits.data(), count));
    }

    void RenderNested(std::string_view APattern, int ALevel) {
        if (ALevel < MaxNestingLevel) {
            Render(APattern, ALevel + 1);
        }
    }

    // True when an AM/PM marker follows AFrom before the next hour token (quotes skipped).
    bool TwelveHourClockAhead(std::string_view APattern, std::size_t AFrom) const {
        std::size_t at = AFrom;
        while (at < APattern.size()) {
            const std::size_t charLength = CharLengthAt(FSettings.CharLength, APattern, at);
            if (charLength > 1) {
                at += charLength;
                continue;
            }
            switch (UpperCaseAscii(APattern[at])) {
                case '"':
                case '\'':
                    at = ClosingQuote(FSettings.CharLength, APattern, at);
                    break;
                case 'H':
                    return false;
                case 'A':
                    if (MarkerLength(APattern, at) != 0) {
                        return true;
                    }
                    break;
                default:
                    break;
            }
            ++at;
        }
        return false;
    }

    bool BeforeNoon() const { return FParts.Hour < 12; }

    // Renders the letter token at AAt and returns the position after it.
    std::size_t RenderLetter(std::string_view APattern, std::size_t AAt, char ALastToken,
                             int ALevel) {
        const char letter = APattern[AAt];
        std::size_t count = 1;
        while (AAt + count < APattern.size() && APattern[AAt + count] == letter) {
            ++count;
        }
        const std::size_t next = AAt + count;
        switch (UpperCaseAscii(letter)) {
            case 'Y':
                if (count <= 2) {
                    AppendNumber(FParts.Year % 100, 2);
                } else {
                    AppendNumber(FParts.Year, 4);
                }
                return next;
            case 'M':
                if (ALastToken == 'H') {
                    AppendNumber(FParts.Minute, std::min<std::size_t>(count, 2));
                } else if (count <= 2) {
                    AppendNumber(FParts.Month, count);
                } else {
                    const auto month = static_cast<std::size_t>(FParts.Month - 1);
                    Append(count == 3 ? FSettings.MonthAbbreviations[month]
                                      : FSettings.MonthNames[month]);
                }
                return next;
            case 'D': {
                const auto day = static_cast<std::size_t>(FParts.DayOfWeek);
                if (count <= 2) {
                    AppendNumber(FParts.Day, count);
                } else if (count <= 4) {
                    Append(count == 3 ? FSettings.DayAbbreviations[day] : FSettings.DayNames[day]);
                } else {
                    RenderNested(
                        count == 5 ? FSettings.ShortDatePattern : FSettings.LongDatePattern,
                        ALevel);
                }
                return next;
            }
            case 'H': {
                std::int32_t hour = FParts.Hour;
                if (TwelveHourClockAhead(APattern, next)) {
                    hour %= 12;
                    if (hour == 0) {
                        hour = 12;
                    }
                }
                AppendNumber(hour, std::min<std::size_t>(count, 2));
                return next;
            }
            case 'N':
                AppendNumber(FParts.Minute, std::min<std::size_t>(count, 2));
                return next;
            case 'S':
                AppendNumber(FParts.Second, std::min<std::size_t>(count, 2));
                return next;
            case 'Z':
                AppendNumber(FParts.Millisecond, std::min<std::size_t>(count, 3));
                return next;
            case 'T':
                RenderNested(count == 1 ? FSettings.ShortTimePattern : FSettings.LongTimePattern,
                             ALevel);
                return next;
            case 'C':
                if (ALevel < MaxNestingLevel) {
                    Render(FSettings.ShortDatePattern, ALevel + 1);
                    if (FParts.Hour != 0 || FParts.Minute != 0 || FParts.Second != 0) {
                        Append(' ');
                        Render(FSettings.LongTimePattern, ALevel + 1);
                    }
                }
                return next;
            case 'G':
            case 'E':
                // Era name and era year: no format conversion produces them, and the program
                // has no era calendar, so they stay literal text.
                Append(APattern.substr(AAt, count));
                return next;
            case 'A':
                return RenderMarker(APattern, AAt);
            default:
                Append(letter);
                return AAt + 1;
        }
    }

    // The forms that start with "a": markers before and after noon, and the weekday names.
    std::size_t RenderMarker(std::string_view APattern, std::size_t AAt) {
        switch (MarkerLength(APattern, AAt)) {
            case 5:
                Append(APattern.substr(BeforeNoon() ? AAt : AAt + 3, 2));
                return AAt + 5;
            case 3:
                Append(APattern[BeforeNoon() ? AAt : AAt + 2]);
                return AAt + 3;
            case 4:
                Append(BeforeNoon() ? FSettings.AmText : FSettings.PmText);
                return AAt + 4;
            default:
                break;
        }
        const auto day = static_cast<std::size_t>(FParts.DayOfWeek);
        if (SameTextAscii(APattern.substr(AAt, 4), "AAAA")) {
            Append(FSettings.DayNames[day]);
            return AAt + 4;
        }
        if (SameTextAscii(APattern.substr(AAt, 3), "AAA")) {
            Append(FSettings.DayAbbreviations[day]);
            return AAt + 3;
        }
        Append(APattern[AAt]);
        return AAt + 1;
    }

    const TFormatSettings& FSettings;
    const TDateTimeParts& FParts;
    std::string FOut;
    bool FCut = false;
};

TFormatSettings& ProcessSettings() noexcept {
    static TFormatSettings settings;
    return settings;
}

char FirstSeparator(std::string_view APattern, std::string_view ACandidates, char ADefault,
                    TCharLengthRule ARule) {
    std::size_t at = 0;
    while (at < APattern.size()) {
        const std::size_t charLength = CharLengthAt(ARule, APattern, at);
        if (charLength == 1 && ACandidates.find(APattern[at]) != std::string_view::npos) {
            return APattern[at];
        }
        at += charLength;
    }
    return ADefault;
}

// The C library numbers the items of each name list consecutively, first to last.
template <std::size_t N>
void FillNames(std::array<std::string, N>& ANames, nl_item AFirst,
               const TLangInfoSupplier& ALangInfo) {
    for (std::size_t i = 0; i < N; ++i) {
        std::string text = ALangInfo(static_cast<nl_item>(AFirst + static_cast<nl_item>(i)));
        if (!text.empty()) {
            ANames[i] = std::move(text);
        }
    }
}

}  // namespace

TDateTimeParts DecodeDateTime(TDateTime AValue) noexcept {
    constexpr double LastMsOfDay =
        static_cast<double>(MsPerDay - 1) / static_cast<double>(MsPerDay);
    constexpr double Lowest = static_cast<double>(MinDateSerial) - LastMsOfDay;
    constexpr double Highest = static_cast<double>(MaxDateSerial) + LastMsOfDay;
    const double value = std::isnan(AValue) ? 0.0 : std::clamp(AValue, Lowest, Highest);
    const double datePart = std::trunc(value);
    std::int64_t date = static_cast<std::int64_t>(datePart);
    // Rounded half up by hand, so no maths library (never negative here); doubling is exact.
    std::int64_t msOfDay = static_cast<std::int64_t>(std::fabs(value - datePart) * 2.0 *
                                                     static_cast<double>(MsPerDay));
    msOfDay = (msOfDay + 1) / 2;
    if (msOfDay >= MsPerDay) {
        msOfDay -= MsPerDay;
        ++date;
    }
    date = std::clamp(date, MinDateSerial, MaxDateSerial);
    const std::chrono::year_month_day civil{
        std::chrono::sys_days{std::chrono::days{date - UnixEpochSerial}}};
    TDateTimeParts parts;
    parts.Year = static_cast<std::int32_t>(civil.year());
    parts.Month = static_cast<std::int32_t>(static_cast<unsigned>(civil.month()));
    parts.Day = static_cast<std::int32_t>(static_cast<unsigned>(civil.day()));
    parts.Hour = static_cast<std::int32_t>(msOfDay / 3600000);
    parts.Minute = static_cast<std::int32_t>(msOfDay / 60000 % 60);
    parts.Second = static_cast<std::int32_t>(msOfDay / 1000 % 60);
    parts.Millisecond = static_cast<std::int32_t>(msOfDay % 1000);
    // Serial 0 was a Saturday.
    parts.DayOfWeek = static_cast<std::int32_t>(((date + 6) % 7 + 7) % 7);
    return parts;
}

TDateTime EncodeDateTime(std::int32_t AYear, std::int32_t AMonth, std::int32_t ADay,
                         std::int32_t AHour, std::int32_t AMinute, std::int32_t ASecond,
                         std::int32_t AMillisecond) noexcept {
    const std::int64_t date = DaysFromCivil(AYear, AMonth, ADay) + UnixEpochSerial;
    const std::int64_t msOfDay =
        ((std::int64_t{AHour} * 60 + AMinute) * 60 + ASecond) * 1000 + AMillisecond;
    const double time = static_cast<double>(msOfDay) / static_cast<double>(MsPerDay);
    const auto dateValue = static_cast<double>(date);
    return date >= 0 ? dateValue + time : dateValue - time;
}

TDateTime CurrentDateTime() noexcept {
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::int32_t ms = static_cast<std::int32_t>(now.tv_usec / 1000);
    std::tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        // Only a clock beyond any calendar gets here; count the seconds as they are.
        return static_cast<double>(UnixEpochSerial) +
               (static_cast<double>(now.tv_sec) * 1000.0 + ms) / static_cast<double>(MsPerDay);
    }
    // A leap second is shown as the last second of its minute rather than the next day.
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, std::min(local.tm_sec, 59), ms);
}

std::string LocaleLangInfo(nl_item AItem) {
    return nl_langinfo(AItem);  // never null: an unknown item gives the empty text
}

std::size_t LocaleCharLength(std::string_view AText) noexcept {
    if (AText.empty()) {
        return 1;
    }
    std::mbstate_t state{};
    const std::size_t length = std::mbrlen(AText.data(), AText.size(), &state);
    if (length == static_cast<std::size_t>(-2)) {
        return AText.size();  // a character cut short by the end of the text
    }
    return length == static_cast<std::size_t>(-1) || length == 0 ? 1 : length;
}

std::string TranslateLocalePattern(std::string_view AFormat, const TLangInfoSupplier& ALangInfo,
                                   TCharLengthRule ACharLength) {
    std::string pattern;
    TPatternTranslator(ALangInfo, ACharLength).Translate(AFormat, pattern);
    return pattern;
}

std::string TranslateLocalePattern(std::string_view AFormat) {
    return TranslateLocalePattern(AFormat, &LocaleLangInfo, LocaleCharLengthRule());
}

TCharLengthRule LocaleCharLengthRule() noexcept {
    return MB_CUR_MAX > 1 ? &LocaleCharLength : nullptr;
}

TFormatSettings FormatSettingsFrom(const TLangInfoSupplier& ALangInfo,
                                   TCharLengthRule ACharLength) {
    const auto translated = [&ALangInfo, ACharLength](nl_item AItem) {
        return TranslateLocalePattern(ALangInfo(AItem), ALangInfo, ACharLength);
    };
    // A format the locale leaves empty keeps the one given.
    const auto orElse = [](const std::string& APattern, const std::string& AOther) {
        return APattern.empty() ? AOther : APattern;
    };
    TFormatSettings settings;
    settings.CharLength = ACharLength;
    settings.ShortDatePattern = orElse(translated(D_FMT), settings.ShortDatePattern);
    settings.LongDatePattern = orElse(translated(D_T_FMT), settings.ShortDatePattern);
    settings.ShortTimePattern = orElse(translated(T_FMT), settings.ShortTimePattern);
    settings.LongTimePattern = orElse(translated(T_FMT_AMPM), settings.ShortTimePattern);
    settings.DateSeparatorChar = FirstSeparator(settings.ShortDatePattern, "/.-", '/', ACharLength);
    settings.TimeSeparatorChar = FirstSeparator(settings.ShortTimePattern, ":.", ':', ACharLength);
    settings.AmText = ALangInfo(AM_STR);
    settings.PmText = ALangInfo(PM_STR);
    FillNames(settings.MonthAbbreviations, ABMON_1, ALangInfo);
    FillNames(settings.MonthNames, MON_1, ALangInfo);
    FillNames(settings.DayAbbreviations, ABDAY_1, ALangInfo);
    FillNames(settings.DayNames, DAY_1, ALangInfo);
    return settings;
}

std::string RenderDateTime(std::string_view APattern, TDateTime AValue,
                           const TFormatSettings& ASettings) {
    const TDateTimeParts parts = DecodeDateTime(AValue);
    TPatternRenderer renderer(ASettings, parts);
    renderer.Render(APattern, 0);
    return renderer.Take();
}

std::string DateTimeText(TDateTime AValue, const TFormatSettings& ASettings) {
    return RenderDateTime("C", AValue, ASettings);
}

std::string DateTimeText(TDateTime AValue) { return DateTimeText(AValue, FormatSettings()); }

const TFormatSettings& FormatSettings() noexcept { return ProcessSettings(); }

void DateTimeStartUp() {
    ProcessSettings() = FormatSettingsFrom(&LocaleLangInfo, LocaleCharLengthRule());
}

}  // namespace tarvex
