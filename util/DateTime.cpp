#include "util/DateTime.h"

#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <cwchar>

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

struct TCivilDate {
    std::int64_t Year;
    std::int64_t Month;
    std::int64_t Day;
};

constexpr TCivilDate CivilFromDays(std::int64_t ADays) {
    const std::int64_t days = ADays + 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const std::int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

static_assert(CivilFromDays(-UnixEpochSerial).Year == 1899);
static_assert(CivilFromDays(DaysFromCivil(2026, 12, 7)).Day == 7);

constexpr bool IsAsciiLetter(char AChar) {
    const char upper = UpperCaseAscii(AChar);
    return upper >= 'A' && upper <= 'Z';
}

bool StartsWithNoCase(std::string_view AText, std::size_t AAt, std::string_view AWord) {
    if (AText.size() - AAt < AWord.size()) {
        return false;
    }
    for (std::size_t i = 0; i < AWord.size(); ++i) {
        if (UpperCaseAscii(AText[AAt + i]) != AWord[i]) {
            return false;
        }
    }
    return true;
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

struct TConversion {
    char Letter;
    std::string_view Pattern;
};

// The conversions with a fixed pattern; %r, %x and %X take the locale's own formats.
constexpr std::array<TConversion, 27> FixedConversions = {{
    {'a', "ddd"},  {'A', "dddd"},     {'b', "MMM"},  {'h', "MMM"},  {'B', "MMMM"},  {'c', "c"},
    {'d', "dd"},   {'D', "MM/dd/yy"}, {'e', "d"},    {'g', "yy"},   {'y', "yy"},    {'G', "yyyy"},
    {'Y', "yyyy"}, {'H', "HH"},       {'I', "hh"},   {'k', "H"},    {'l', "h"},     {'m', "MM"},
    {'M', "nn"},   {'n', "\n"},       {'p', "AMPM"}, {'P', "AMPM"}, {'R', "HH:mm"}, {'S', "ss"},
    {'t', "\t"},   {'T', "HH:mm:ss"}, {'%', "%"},
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
        switch (AConversion) {
            case 'r':
                TranslateItem(T_FMT_AMPM, AOut);
                return;
            case 'x':
                TranslateItem(D_FMT, AOut);
                return;
            case 'X':
                TranslateItem(T_FMT, AOut);
                return;
            default:
                break;
        }
        for (const TConversion& conversion : FixedConversions) {
            if (conversion.Letter == AConversion) {
                AOut += conversion.Pattern;
                return;
            }
        }
        // Conversions without a pattern equivalent contribute nothing.
    }

    // A locale whose formats refer to each other in a circle must not recurse without end, so
    // a format already being translated contributes nothing.
    void TranslateItem(nl_item AItem, std::string& AOut) {
        const auto activeEnd = FActive.begin() + static_cast<std::ptrdiff_t>(FActiveCount);
        if (std::find(FActive.begin(), activeEnd, AItem) != activeEnd ||
            FActiveCount == FActive.size()) {
            return;
        }
        FActive[FActiveCount++] = AItem;
        Translate(FLangInfo(AItem), AOut);
        --FActiveCount;
    }

    const TLangInfoSupplier& FLangInfo;
    TCharLengthRule FCharLength;
    std::array<nl_item, 3> FActive{};
    std::size_t FActiveCount = 0;
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
        std::size_t count = 0;
        auto rest = static_cast<std::uint32_t>(AValue);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0 && count < digits.size());
        for (std::size_t i = count; i < ADigits; ++i) {
            Append('0');
        }
        while (count > 0) {
            Append(digits[--count]);
        }
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
                    if (StartsWithNoCase(APattern, at, "AM/PM") ||
                        StartsWithNoCase(APattern, at, "A/P") ||
                        StartsWithNoCase(APattern, at, "AMPM")) {
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
                switch (count) {
                    case 1:
                    case 2:
                        AppendNumber(FParts.Day, count);
                        break;
                    case 3:
                        Append(FSettings.DayAbbreviations[day]);
                        break;
                    case 4:
                        Append(FSettings.DayNames[day]);
                        break;
                    case 5:
                        RenderNested(FSettings.ShortDatePattern, ALevel);
                        break;
                    default:
                        RenderNested(FSettings.LongDatePattern, ALevel);
                        break;
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
        if (StartsWithNoCase(APattern, AAt, "AM/PM")) {
            Append(APattern.substr(BeforeNoon() ? AAt : AAt + 3, 2));
            return AAt + 5;
        }
        if (StartsWithNoCase(APattern, AAt, "A/P")) {
            Append(APattern[BeforeNoon() ? AAt : AAt + 2]);
            return AAt + 3;
        }
        if (StartsWithNoCase(APattern, AAt, "AMPM")) {
            Append(BeforeNoon() ? FSettings.AmText : FSettings.PmText);
            return AAt + 4;
        }
        const auto day = static_cast<std::size_t>(FParts.DayOfWeek);
        if (StartsWithNoCase(APattern, AAt, "AAAA")) {
            Append(FSettings.DayNames[day]);
            return AAt + 4;
        }
        if (StartsWithNoCase(APattern, AAt, "AAA")) {
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

template <std::size_t N>
void FillNames(std::array<std::string, N>& ANames, const std::array<nl_item, N>& AItems,
               const TLangInfoSupplier& ALangInfo) {
    for (std::size_t i = 0; i < N; ++i) {
        std::string text = ALangInfo(AItems[i]);
        if (!text.empty()) {
            ANames[i] = std::move(text);
        }
    }
}

constexpr std::array<nl_item, 12> MonthAbbreviationItems = {ABMON_1, ABMON_2,  ABMON_3,  ABMON_4,
                                                            ABMON_5, ABMON_6,  ABMON_7,  ABMON_8,
                                                            ABMON_9, ABMON_10, ABMON_11, ABMON_12};
constexpr std::array<nl_item, 12> MonthNameItems = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                                    MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
constexpr std::array<nl_item, 7> DayAbbreviationItems = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4,
                                                         ABDAY_5, ABDAY_6, ABDAY_7};
constexpr std::array<nl_item, 7> DayNameItems = {DAY_1, DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7};

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
    const TCivilDate civil = CivilFromDays(date - UnixEpochSerial);
    TDateTimeParts parts;
    parts.Year = static_cast<std::int32_t>(civil.Year);
    parts.Month = static_cast<std::int32_t>(civil.Month);
    parts.Day = static_cast<std::int32_t>(civil.Day);
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
        const std::int64_t days = now.tv_sec / 86400;
        const std::int64_t seconds = now.tv_sec % 86400;
        return static_cast<double>(days + UnixEpochSerial) +
               static_cast<double>(seconds * 1000 + ms) / static_cast<double>(MsPerDay);
    }
    // A leap second is shown as the last second of its minute rather than the next day.
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, std::min(local.tm_sec, 59), ms);
}

std::string LocaleLangInfo(nl_item AItem) {
    const char* text = nl_langinfo(AItem);
    return text == nullptr ? std::string() : std::string(text);
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
    if (length == static_cast<std::size_t>(-1) || length == 0) {
        return 1;
    }
    return length;
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
    TFormatSettings settings;
    settings.CharLength = ACharLength;
    if (std::string pattern = translated(D_FMT); !pattern.empty()) {
        settings.ShortDatePattern = std::move(pattern);
    }
    settings.LongDatePattern = translated(D_T_FMT);
    if (settings.LongDatePattern.empty()) {
        settings.LongDatePattern = settings.ShortDatePattern;
    }
    if (std::string pattern = translated(T_FMT); !pattern.empty()) {
        settings.ShortTimePattern = std::move(pattern);
    }
    settings.LongTimePattern = translated(T_FMT_AMPM);
    if (settings.LongTimePattern.empty()) {
        settings.LongTimePattern = settings.ShortTimePattern;
    }
    settings.DateSeparatorChar =
        FirstSeparator(settings.ShortDatePattern, "/.-", DefaultDateSeparatorChar, ACharLength);
    settings.TimeSeparatorChar =
        FirstSeparator(settings.ShortTimePattern, ":.", DefaultTimeSeparatorChar, ACharLength);
    settings.AmText = ALangInfo(AM_STR);
    settings.PmText = ALangInfo(PM_STR);
    FillNames(settings.MonthAbbreviations, MonthAbbreviationItems, ALangInfo);
    FillNames(settings.MonthNames, MonthNameItems, ALangInfo);
    FillNames(settings.DayAbbreviations, DayAbbreviationItems, ALangInfo);
    FillNames(settings.DayNames, DayNameItems, ALangInfo);
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
