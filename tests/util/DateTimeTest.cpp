#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "tests/support/RuntimeSupport.h"
#include "util/DateTime.h"

namespace tarvex {
namespace {

using TLangInfoMap = std::map<nl_item, std::string>;

TLangInfoSupplier SupplierOf(TLangInfoMap AValues) {
    return [values = std::move(AValues)](nl_item AItem) {
        const auto found = values.find(AItem);
        return found == values.end() ? std::string() : found->second;
    };
}

// The POSIX locale's formats and markers; its names are left to the English defaults.
TLangInfoMap PosixLangInfo() {
    return {{D_FMT, "%m/%d/%y"}, {D_T_FMT, "%a %b %e %H:%M:%S %Y"},
            {T_FMT, "%H:%M:%S"}, {T_FMT_AMPM, "%I:%M:%S %p"},
            {AM_STR, "AM"},      {PM_STR, "PM"}};
}

TFormatSettings PosixSettings() { return FormatSettingsFrom(SupplierOf(PosixLangInfo())); }

// UTF-8 as a character length rule, independent of the process locale.
std::size_t Utf8Length(std::string_view AText) noexcept {
    const auto lead = static_cast<unsigned char>(AText.front());
    std::size_t length = 1;
    if (lead >= 0xF0) {
        length = 4;
    } else if (lead >= 0xE0) {
        length = 3;
    } else if (lead >= 0xC0) {
        length = 2;
    }
    return std::min(length, AText.size());
}

// A double-byte character set whose lead byte 0x81 takes any trail byte, ASCII letters too.
std::size_t DoubleByteLength(std::string_view AText) noexcept {
    return AText.front() == '\x81' && AText.size() > 1 ? 2 : 1;
}

const TDateTime Morning = EncodeDateTime(2026, 12, 7, 6, 23, 30, 45);  // a Monday
const TDateTime Evening = EncodeDateTime(2026, 12, 7, 18, 5, 9, 7);
const TDateTime Midnight = EncodeDateTime(2026, 12, 7);
const TDateTime Noon = EncodeDateTime(2026, 12, 7, 12);
const TDateTime March = EncodeDateTime(2005, 3, 4, 0, 7, 8, 900);  // a Friday

// --- Calendar arithmetic ---

// Every day of 1899 to 2100 against the standard calendar: the value counts days from
// 30 December 1899, and decoding gives back the date, its weekday and the time of day.
TEST(DateTime, EveryDayFrom1899To2100EncodesAndDecodesAsTheCalendarSays) {
    namespace chrono = std::chrono;
    constexpr std::int64_t MsPerDay = 86400000;
    const chrono::sys_days dayZero = chrono::year{1899} / chrono::December / 30;
    const chrono::sys_days first = chrono::year{1899} / chrono::January / 1;
    const chrono::sys_days last = chrono::year{2100} / chrono::December / 31;
    for (chrono::sys_days day = first; day <= last; day += chrono::days{1}) {
        const chrono::year_month_day date(day);
        const auto year = static_cast<std::int32_t>(static_cast<int>(date.year()));
        const auto month = static_cast<std::int32_t>(static_cast<unsigned>(date.month()));
        const auto dayOfMonth = static_cast<std::int32_t>(static_cast<unsigned>(date.day()));
        const auto dayOfWeek = static_cast<std::int32_t>(chrono::weekday(day).c_encoding());
        const std::string shown =
            std::to_string(year) + "-" + std::to_string(month) + "-" + std::to_string(dayOfMonth);
        ASSERT_EQ(EncodeDateTime(year, month, dayOfMonth),
                  static_cast<TDateTime>((day - dayZero).count()))
            << shown;
        // Midnight, a time that moves on from day to day, and the day's last millisecond.
        const std::int64_t moving = (day - first).count() * 65537 % MsPerDay;
        for (const std::int64_t ms : {std::int64_t{0}, moving, MsPerDay - 1}) {
            const TDateTimeParts expected{year,
                                          month,
                                          dayOfMonth,
                                          static_cast<std::int32_t>(ms / 3600000),
                                          static_cast<std::int32_t>(ms / 60000 % 60),
                                          static_cast<std::int32_t>(ms / 1000 % 60),
                                          static_cast<std::int32_t>(ms % 1000),
                                          dayOfWeek};
            ASSERT_EQ(DecodeDateTime(EncodeDateTime(year, month, dayOfMonth, expected.Hour,
                                                    expected.Minute, expected.Second,
                                                    expected.Millisecond)),
                      expected)
                << shown << " at " << ms << " ms";
        }
    }
}

// The years beyond the day-by-day check, out to the calendar's ends.
TEST(DateTime, DecodingReturnsTheEncodedFields) {
    for (const TDateTimeParts& parts :
         {TDateTimeParts{1, 1, 1, 0, 0, 0, 0, 1}, TDateTimeParts{9999, 12, 31, 23, 59, 59, 999, 5},
          TDateTimeParts{1600, 3, 1, 18, 0, 0, 0, 3}}) {
        EXPECT_EQ(DecodeDateTime(EncodeDateTime(parts.Year, parts.Month, parts.Day, parts.Hour,
                                                parts.Minute, parts.Second, parts.Millisecond)),
                  parts)
            << parts.Year;
    }
    // The time of day is the fraction, also before day zero.
    EXPECT_EQ(EncodeDateTime(2000, 1, 1, 12), 36526.5);
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
}

TEST(DateTime, DecodingRoundsToTheMillisecondFirst) {
    const TDateTimeParts almostMidnight = DecodeDateTime(46363.0 - 1e-9);
    EXPECT_EQ(almostMidnight, (TDateTimeParts{2026, 12, 7, 0, 0, 0, 0, 1}));
    const TDateTimeParts almostSix = DecodeDateTime(46363.25 - 1e-9);
    EXPECT_EQ(almostSix, (TDateTimeParts{2026, 12, 7, 6, 0, 0, 0, 1}));
}

TEST(DateTime, ValuesBeyondTheCalendarAreHeldAtItsLimits) {
    EXPECT_EQ(DecodeDateTime(std::numeric_limits<double>::quiet_NaN()), TDateTimeParts{});
    EXPECT_EQ(DecodeDateTime(std::numeric_limits<double>::infinity()),
              (TDateTimeParts{9999, 12, 31, 23, 59, 59, 999, 5}));
    EXPECT_EQ(DecodeDateTime(-std::numeric_limits<double>::infinity()).Year, 1);
    EXPECT_EQ(RenderDateTime("yyyy/mm/dd", 1e300, PosixSettings()), "9999/12/31");
}

TEST(DateTime, CurrentDateTimeIsTheLocalWallClock) {
    const std::time_t before = std::time(nullptr);
    const TDateTimeParts now = DecodeDateTime(CurrentDateTime());
    const std::time_t after = std::time(nullptr);
    bool matched = false;
    for (std::time_t second = before; second <= after && !matched; ++second) {
        std::tm local{};
        ASSERT_NE(localtime_r(&second, &local), nullptr);
        matched = now.Year == local.tm_year + 1900 && now.Month == local.tm_mon + 1 &&
                  now.Day == local.tm_mday && now.Hour == local.tm_hour &&
                  now.Minute == local.tm_min && now.Second == std::min(local.tm_sec, 59) &&
                  now.DayOfWeek == local.tm_wday;
    }
    EXPECT_TRUE(matched);
}

// --- Translation of C-library formats ---

TEST(DateTime, TranslationReplacesEveryConversion) {
    const TLangInfoSupplier langInfo =
        SupplierOf({{D_FMT, "%d.%m.%Y"}, {T_FMT, "%H.%M"}, {T_FMT_AMPM, "%I:%M %p"}});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%a %A %b %h %B %c", "ddd dddd MMM MMM MMMM c"},
        {"%d %D %e %g %y %G %Y", "dd MM/dd/yy d yy yy yyyy yyyy"},
        {"%H %I %k %l %m %M %S", "HH hh H h MM nn ss"},
        {"%n%t%p%P%%", "\n\tAMPMAMPM%"},
        {"%r|%R|%T|%x|%X", "hh:nn AMPM|HH:mm|HH:mm:ss|dd.MM.yyyy|HH.nn"},
        {"%Z%j%U", ""},
        {"yy%", "yy"},
        {"%%d", "%d"},
        {"%Ey", "y"},
        {"%-d.%-m.", "d.m."},
        {"'%H'", "'HH'"},
        {"\xE5\xB9\xB4%m", "\xE5\xB9\xB4MM"},
    };
    for (const auto& [format, pattern] : cases) {
        EXPECT_EQ(TranslateLocalePattern(format, langInfo), pattern) << format;
    }
}

TEST(DateTime, TranslationKeepsMultiByteCharactersWhole) {
    const TLangInfoSupplier langInfo = SupplierOf({});
    const std::string year = "\xE5\xB9\xB4";
    EXPECT_EQ(TranslateLocalePattern("%Y" + year + "|%" + year + "|", langInfo, &Utf8Length),
              "yyyy" + year + "||");
    EXPECT_EQ(TranslateLocalePattern("%" + year, langInfo), "\xB9\xB4");
}

TEST(DateTime, FormatsThatReferToThemselvesEnd) {
    const TLangInfoSupplier langInfo =
        SupplierOf({{D_FMT, "%x-"}, {T_FMT, "%r"}, {T_FMT_AMPM, "%X%p"}});
    EXPECT_EQ(TranslateLocalePattern("%x", langInfo), "-");
    EXPECT_EQ(TranslateLocalePattern("%X", langInfo), "AMPM");
    EXPECT_EQ(TranslateLocalePattern("%r", langInfo), "AMPM");
    // Nested translations have no fallback.
    EXPECT_EQ(TranslateLocalePattern("[%r|%x|%X]", SupplierOf({})), "[||]");
}

TEST(DateTime, TranslationReadsTheProcessLocale) {
    test::TLocaleGuard locale("C");
    ASSERT_TRUE(locale.Active());
    EXPECT_EQ(TranslateLocalePattern("%x %X|%r"), "MM/dd/yy HH:nn:ss|hh:nn:ss AMPM");
    const TFormatSettings settings = FormatSettingsFrom(&LocaleLangInfo);
    EXPECT_EQ(settings.LongTimePattern, "hh:nn:ss AMPM");
    EXPECT_EQ(settings.MonthNames[8], "September");
    EXPECT_EQ(settings.AmText, "AM");
}

// --- Settings from the locale's texts ---

TEST(DateTime, LongPatternsFallBackToTheShortOnes) {
    const TFormatSettings settings =
        FormatSettingsFrom(SupplierOf({{D_FMT, "%d.%m.%Y"}, {T_FMT, "%T"}, {D_T_FMT, "%Q"}}));
    EXPECT_EQ(settings.LongDatePattern, "dd.MM.yyyy");
    EXPECT_EQ(settings.LongTimePattern, "HH:mm:ss");
    // A 24-hour clock: no marker follows the hour.
    EXPECT_EQ(DateTimeText(Evening, settings), "07.12.2026 18:05:09");
    // A locale without texts writes with the defaults.
    EXPECT_EQ(DateTimeText(Evening, FormatSettingsFrom(SupplierOf({}))), "12/7/26 06:05 ");
}

TEST(DateTime, SeparatorsAreTheFirstCandidateInTheShortPatterns) {
    struct TCase {
        std::string DateFormat, TimeFormat;
        char DateSeparator, TimeSeparator;
    };
    const std::vector<TCase> cases = {
        {"%d.%m.%Y", "%H.%M", '.', '.'},    {"%Y-%m-%d", "%H:%M", '-', ':'},
        {"%d-%m/%Y", "%H.%M:%S", '-', '.'}, {"%d %m %Y", "%Hh%M", '/', ':'},
        {"%Y/%m.%d", "%T", '/', ':'},       {"", "", '/', ':'},
    };
    for (const TCase& c : cases) {
        const TFormatSettings settings =
            FormatSettingsFrom(SupplierOf({{D_FMT, c.DateFormat}, {T_FMT, c.TimeFormat}}));
        EXPECT_EQ(settings.DateSeparatorChar, c.DateSeparator) << c.DateFormat;
        EXPECT_EQ(settings.TimeSeparatorChar, c.TimeSeparator) << c.TimeFormat;
    }
}

TEST(DateTime, NamesTakeTheirDefaultsEntryByEntry) {
    const TFormatSettings settings = FormatSettingsFrom(SupplierOf({{MON_3, "M\xC3\xA4rz"},
                                                                    {ABMON_12, "Dez"},
                                                                    {ABDAY_2, ""},
                                                                    {DAY_1, "Sonntag"},
                                                                    {AM_STR, "vorm."},
                                                                    {PM_STR, ""}}));
    EXPECT_EQ(settings.MonthNames[2], "M\xC3\xA4rz");
    EXPECT_EQ(settings.MonthNames[3], "April");
    EXPECT_EQ(settings.MonthAbbreviations[11], "Dez");
    EXPECT_EQ(settings.MonthAbbreviations[10], "Nov");
    EXPECT_EQ(settings.DayAbbreviations[1], "Mon");
    EXPECT_EQ(settings.DayNames[0], "Sonntag");
    EXPECT_EQ(settings.DayNames[1], "Monday");
    EXPECT_EQ(settings.AmText, "vorm.");
    EXPECT_EQ(settings.PmText, "");
}

// --- Rendering ---

struct TRenderCase {
    std::string Pattern;
    TDateTime Value;
    std::string Expected;
};

void ExpectRendered(const std::vector<TRenderCase>& ACases, const TFormatSettings& ASettings) {
    for (const TRenderCase& c : ACases) {
        EXPECT_EQ(RenderDateTime(c.Pattern, c.Value, ASettings), c.Expected)
            << "pattern \"" << c.Pattern << "\"";
    }
}

TEST(DateTime, DateTokensWriteYearMonthAndDay) {
    ExpectRendered(
        {
            {"y", Morning, "26"},
            {"yyy", Morning, "2026"},
            {"YY", March, "05"},
            {"yyyy", EncodeDateTime(5, 1, 2), "0005"},
            {"m", March, "3"},
            {"mm", March, "03"},
            {"MMM", March, "Mar"},
            {"mmmm", March, "March"},
            {"d", March, "4"},
            {"dd", March, "04"},
            {"ddd", March, "Fri"},
            {"dddd", March, "Friday"},
            {"Dddd", Morning, "7Mon"},
            {"ddddd", Morning, "12/07/26"},
            {"dddddd", Morning, "Mon Dec 7 06:23:30 2026"},
            {"Mm", Morning, "1212"},
        },
        PosixSettings());
}

TEST(DateTime, TimeTokensWriteHourMinuteSecondAndMillisecond) {
    ExpectRendered(
        {
            {"h", Morning, "6"},
            {"hh", Morning, "06"},
            {"hhhh", Morning, "06"},
            {"H", Evening, "18"},
            {"n", Evening, "5"},
            {"NNN", Evening, "05"},
            {"s", Evening, "9"},
            {"sss", Evening, "09"},
            {"z", Evening, "7"},
            {"zz", Evening, "07"},
            {"zzzzz", Evening, "007"},
            {"zzz", March, "900"},
            {"t", Morning, "06:23:30"},
            {"tt", Morning, "06:23:30 AM"},
            {"c", Morning, "12/07/26 06:23:30 AM"},
            {"c", Midnight, "12/07/26"},
            {"c", EncodeDateTime(2026, 12, 7, 0, 0, 0, 999), "12/07/26"},
            {"c", EncodeDateTime(2026, 12, 7, 0, 0, 1), "12/07/26 12:00:01 AM"},
            {"c", Noon, "12/07/26 12:00:00 PM"},
        },
        PosixSettings());
}

TEST(DateTime, MAfterAnHourTokenMeansMinutes) {
    ExpectRendered(
        {
            {"h:m", Evening, "18:5"},
            {"hh:mmmm", Evening, "18:05"},
            {"h 'x' m", Evening, "18 x 5"},
            {"d m", Evening, "7 12"},
            {"hxm", Evening, "18x12"},
            {"h m m", Evening, "18 5 12"},
            {"hMm", Evening, "18512"},
            {"m h", Evening, "12 18"},
        },
        PosixSettings());
}

TEST(DateTime, MarkersWriteTwelveHourTimeInThePatternsCase) {
    ExpectRendered(
        {
            {"hh AMPM", Evening, "06 PM"},
            {"h ampm", Evening, "6 PM"},
            {"h AmPm", Midnight, "12 AM"},
            {"h AMPM", Noon, "12 PM"},
            {"h:nn AM/PM", Morning, "6:23 AM"},
            {"h:nn AM/PM", Evening, "6:05 PM"},
            {"h:nn am/pm", Evening, "6:05 pm"},
            {"h:nn Am/pM", Evening, "6:05 pM"},
            {"h a/p", Morning, "6 a"},
            {"h a/P", Evening, "6 P"},
            {"h A/p", Noon, "12 p"},
            {"hh hh AMPM", Evening, "18 06 PM"},
            {"hh 'AMPM'", Evening, "18 AMPM"},
            {"hh \"a/p\"", Evening, "18 a/p"},
            {"AMPM hh", Evening, "PM 18"},
            {"hh AM/P", Evening, "18 A12/P"},
            {"hh a/m", Evening, "18 a/12"},
        },
        PosixSettings());
}

TEST(DateTime, AFormsAndOtherLettersAreCopiedOrNamed) {
    ExpectRendered(
        {
            {"aaa", Morning, "Mon"},
            {"AAAA", Morning, "Monday"},
            {"aAaA", March, "Friday"},
            {"AAAAA", Morning, "MondayA"},
            {"a!", Morning, "a!"},
            {"aa", Morning, "aa"},
            {"xqw", Morning, "xqw"},
            {"gg ee E", Morning, "gg ee E"},
        },
        PosixSettings());
}

TEST(DateTime, SeparatorsQuotesAndOtherCharactersAreWrittenAsText) {
    TFormatSettings settings = PosixSettings();
    settings.DateSeparatorChar = '-';
    settings.TimeSeparatorChar = '.';
    ExpectRendered(
        {
            {"yyyy/mm/dd hh:nn", Morning, "2026-12-07 06.23"},
            {"'yyyy/mm:dd'", Morning, "yyyy/mm:dd"},
            {"\"dd\" 'mm'", Morning, "dd mm"},
            {"'it''s'", Morning, "its"},
            {"'a\"b'", Morning, "a\"b"},
            {"''", Morning, ""},
            {"'unterminated d", Morning, "unterminated d"},
            {"dd'", Morning, "07"},
            {"[%#@ 1,2;\t]", Morning, "[%#@ 1,2;\t]"},
            {"", Morning, ""},
        },
        settings);
}

TEST(DateTime, NestedPatternsAreRenderedOneLevelDeep) {
    TFormatSettings settings = PosixSettings();
    settings.ShortDatePattern = "yyyy[c|t|tt|ddddd|dddddd]";
    settings.LongDatePattern = "dd <ddddd>";
    settings.ShortTimePattern = "hh<t>";
    settings.LongTimePattern = "nn<c>";
    ExpectRendered(
        {
            {"ddddd", Morning, "2026[||||]"},
            {"dddddd", Morning, "07 <>"},
            {"t", Morning, "06<>"},
            {"tt", Morning, "23<>"},
            {"c", Morning, "2026[||||] 23<>"},
            {"c", Midnight, "2026[||||]"},
            {"ddddd-t-c", Morning, "2026[||||]-06<>-2026[||||] 23<>"},
        },
        settings);
    EXPECT_EQ(DateTimeText(Morning, settings), "2026[||||] 23<>");
}

TEST(DateTime, RenderedTextIsCutAt256Bytes) {
    const TFormatSettings settings = PosixSettings();
    EXPECT_EQ(RenderDateTime(std::string(300, 'x'), Morning, settings), std::string(256, 'x'));
    EXPECT_EQ(RenderDateTime("'" + std::string(300, '-') + "'", Morning, settings),
              std::string(256, '-'));
    std::string days;
    for (int i = 0; i < 60; ++i) {
        days += "dddd ";
    }
    const std::string rendered = RenderDateTime(days, Morning, settings);
    ASSERT_EQ(rendered.size(), 256u);
    EXPECT_EQ(rendered.substr(0, 14), "Monday Monday ");
    EXPECT_EQ(rendered.substr(252), "Mond");

    TFormatSettings longNames = settings;
    longNames.LongDatePattern = std::string(200, '.') + "dddddd";
    const std::string nested = RenderDateTime("dddddd dddddd zzz", Morning, longNames);
    EXPECT_EQ(nested, std::string(200, '.') + " " + std::string(55, '.'));

    // The cut never splits a multi-byte character.
    TFormatSettings utf8 = settings;
    utf8.CharLength = &Utf8Length;
    const std::string year = "\xE5\xB9\xB4";
    EXPECT_EQ(RenderDateTime(std::string(254, 'x') + year + "y", Morning, utf8),
              std::string(254, 'x'));
    utf8.MonthNames[11] = year + year;
    EXPECT_EQ(RenderDateTime(std::string(251, 'x') + "mmmm!", Morning, utf8),
              std::string(251, 'x') + year);
}

TEST(DateTime, MultiByteCharactersAreCopiedWholeAndResetTheLastToken) {
    TFormatSettings settings = PosixSettings();
    const std::string year = "\xE5\xB9\xB4";
    EXPECT_EQ(RenderDateTime("h" + year + "m", Evening, settings), "18" + year + "5");
    settings.CharLength = &Utf8Length;
    EXPECT_EQ(RenderDateTime("h" + year + "m", Evening, settings), "18" + year + "12");
    EXPECT_EQ(RenderDateTime("yyyy" + year + "mm", Evening, settings), "2026" + year + "12");

    TFormatSettings doubleByte = PosixSettings();
    doubleByte.CharLength = &DoubleByteLength;
    // The lead byte is written in octal, \201, so that a letter may follow it.
    ExpectRendered(
        {
            {"\201d", Morning, "\201d"},
            {"\201dd", Morning, "\201d7"},
            {"hh\201h AMPM", Evening, "06\201h PM"},
            {"'\201'x'", Evening, "\201'x"},
            {"hh '\201'' AM/PM", Evening, "06 \201' PM"},
            {"\201", Evening, "\201"},
        },
        doubleByte);
}

}  // namespace
}  // namespace tarvex
