#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/LocaleSupport.h"
#include "tests/support/TestSupport.h"
#include "util/DateTime.h"

namespace tarvex {
namespace {

using TSnapshot = std::map<std::string, std::string>;

const std::array<nl_item, 12> MonthAbbreviationItems = {ABMON_1, ABMON_2,  ABMON_3,  ABMON_4,
                                                        ABMON_5, ABMON_6,  ABMON_7,  ABMON_8,
                                                        ABMON_9, ABMON_10, ABMON_11, ABMON_12};
const std::array<nl_item, 12> MonthNameItems = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                                MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
const std::array<nl_item, 7> DayAbbreviationItems = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4,
                                                     ABDAY_5, ABDAY_6, ABDAY_7};
const std::array<nl_item, 7> DayNameItems = {DAY_1, DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7};

template <std::size_t N>
void AddNames(std::vector<std::string>& AOut, const std::string& AKey,
              const std::array<std::string, N>& ANames, const std::array<nl_item, N>& AItems) {
    for (std::size_t i = 0; i < N; ++i) {
        AOut.insert(AOut.end(), {AKey + std::to_string(i), ANames[i]});
        AOut.insert(AOut.end(), {"raw " + AKey + std::to_string(i), nl_langinfo(AItems[i])});
    }
}

// In a child: adopts the locale as the program does, runs the date and time start-up and reports
// the process-wide settings, the locale's own texts and a few rendered moments.
std::vector<std::string> SnapshotAfterStartUp(const std::string& ALocPath,
                                              const std::string& ALocale) {
    if (ALocPath.empty()) {
        unsetenv("LOCPATH");
    } else {
        setenv("LOCPATH", ALocPath.c_str(), 1);
    }
    setenv("LC_ALL", ALocale.c_str(), 1);
    if (std::setlocale(LC_ALL, "") == nullptr) {
        return {"setlocale", "failed"};
    }
    DateTimeStartUp();
    const TFormatSettings& settings = FormatSettings();
    std::vector<std::string> out = {
        "setlocale",
        "done",
        "ShortDatePattern",
        settings.ShortDatePattern,
        "LongDatePattern",
        settings.LongDatePattern,
        "ShortTimePattern",
        settings.ShortTimePattern,
        "LongTimePattern",
        settings.LongTimePattern,
        "DateSeparatorChar",
        std::string(1, settings.DateSeparatorChar),
        "TimeSeparatorChar",
        std::string(1, settings.TimeSeparatorChar),
        "AmText",
        settings.AmText,
        "PmText",
        settings.PmText,
        "raw AmText",
        nl_langinfo(AM_STR),
        "raw PmText",
        nl_langinfo(PM_STR),
        "CharLength",
        settings.CharLength == nullptr ? "none" : "set",
        "Morning",
        DateTimeText(EncodeDateTime(2026, 12, 7, 6, 23, 30)),
        "Evening",
        DateTimeText(EncodeDateTime(2026, 12, 7, 18, 5, 9)),
        "Midnight",
        DateTimeText(EncodeDateTime(2026, 12, 7, 0, 0, 0, 500)),
        "HourMarkMonth",
        RenderDateTime("h\xE6\x99\x82m", EncodeDateTime(2026, 12, 7, 18, 5, 9), settings),
    };
    AddNames(out, "MonthAbbreviations", settings.MonthAbbreviations, MonthAbbreviationItems);
    AddNames(out, "MonthNames", settings.MonthNames, MonthNameItems);
    AddNames(out, "DayAbbreviations", settings.DayAbbreviations, DayAbbreviationItems);
    AddNames(out, "DayNames", settings.DayNames, DayNameItems);
    return out;
}

// Every text comes from a C string, so a NUL after each keeps them apart.
TSnapshot SnapshotInChild(const std::string& ALocPath, const std::string& ALocale) {
    const test::TRunResult run = test::RunInChild([&] {
        for (const std::string& text : SnapshotAfterStartUp(ALocPath, ALocale)) {
            std::fwrite(text.c_str(), 1, text.size() + 1, stdout);
        }
        return 0;
    });
    EXPECT_TRUE(run.Succeeded()) << run.Error;
    std::vector<std::string> texts;
    for (std::size_t at = 0; at < run.Output.size();) {
        const std::size_t end = run.Output.find('\0', at);
        texts.push_back(run.Output.substr(at, end - at));
        at = end == std::string::npos ? end : end + 1;
    }
    TSnapshot snapshot;
    for (std::size_t i = 0; i + 1 < texts.size(); i += 2) {
        snapshot[texts[i]] = texts[i + 1];
    }
    return snapshot;
}

// Names and markers are the locale's own texts, or the English default where it has none.
void ExpectLocaleTexts(const TSnapshot& ASnapshot) {
    EXPECT_EQ(ASnapshot.at("AmText"), ASnapshot.at("raw AmText"));
    EXPECT_EQ(ASnapshot.at("PmText"), ASnapshot.at("raw PmText"));
    const auto expectNames = [&](const std::string& AKey, auto ADefaults) {
        for (std::size_t i = 0; i < ADefaults.size(); ++i) {
            const std::string& raw = ASnapshot.at("raw " + AKey + std::to_string(i));
            EXPECT_EQ(ASnapshot.at(AKey + std::to_string(i)),
                      raw.empty() ? std::string(ADefaults[i]) : raw)
                << AKey << " " << i;
        }
    };
    expectNames("MonthAbbreviations", TFormatSettings{}.MonthAbbreviations);
    expectNames("MonthNames", TFormatSettings{}.MonthNames);
    expectNames("DayAbbreviations", TFormatSettings{}.DayAbbreviations);
    expectNames("DayNames", TFormatSettings{}.DayNames);
}

struct TLocaleCase {
    std::string Source;
    std::string ShortDatePattern, LongDatePattern, ShortTimePattern, LongTimePattern;
    std::string DateSeparatorChar, TimeSeparatorChar;
    std::string Morning, Evening, Midnight;
};

void PrintTo(const TLocaleCase& ACase, std::ostream* AOut) { *AOut << ACase.Source; }

class DateTimeCompiledLocale : public testing::TestWithParam<TLocaleCase> {};

TEST_P(DateTimeCompiledLocale, StartUpTakesTheSettingsFromTheLocale) {
    const TLocaleCase& c = GetParam();
    const std::string missing = test::TCompiledLocales::MissingFor(c.Source);
    TARVEX_REQUIRE(missing.empty(), missing);
    test::TCompiledLocales locales;
    const std::string name = c.Source + ".UTF-8";
    TARVEX_REQUIRE(locales.Add(c.Source, name), "localedef could not compile " + name);

    const TSnapshot snapshot = SnapshotInChild(locales.Directory(), name);
    ASSERT_FALSE(snapshot.empty()) << "the child reported nothing";
    ASSERT_EQ(snapshot.at("setlocale"), "done");
    EXPECT_EQ(snapshot.at("ShortDatePattern"), c.ShortDatePattern);
    EXPECT_EQ(snapshot.at("LongDatePattern"), c.LongDatePattern);
    EXPECT_EQ(snapshot.at("ShortTimePattern"), c.ShortTimePattern);
    EXPECT_EQ(snapshot.at("LongTimePattern"), c.LongTimePattern);
    EXPECT_EQ(snapshot.at("DateSeparatorChar"), c.DateSeparatorChar);
    EXPECT_EQ(snapshot.at("TimeSeparatorChar"), c.TimeSeparatorChar);
    EXPECT_EQ(snapshot.at("Morning"), c.Morning);
    EXPECT_EQ(snapshot.at("Evening"), c.Evening);
    EXPECT_EQ(snapshot.at("Midnight"), c.Midnight);
    // UTF-8 has lead bytes: a multi-byte character ends the hour token, so m is the month.
    EXPECT_EQ(snapshot.at("CharLength"), "set");
    EXPECT_EQ(snapshot.at("HourMarkMonth"),
              "18\xE6\x99\x82"
              "12");
    ExpectLocaleTexts(snapshot);
}

INSTANTIATE_TEST_SUITE_P(
    CompiledLocales, DateTimeCompiledLocale,
    testing::Values(
        TLocaleCase{"de_DE", "dd.MM.yyyy", "ddd dd MMM yyyy HH:mm:ss ", "HH:mm:ss", "HH:mm:ss", ".",
                    ":", "07.12.2026 06:23:30", "07.12.2026 18:05:09", "07.12.2026"},
        TLocaleCase{"en_US", "MM/dd/yyyy", "ddd dd MMM yyyy hh:nn:ss AMPM ", "hh:nn:ss AMPM",
                    "hh:nn:ss AMPM", "/", ":", "12/07/2026 06:23:30 AM", "12/07/2026 06:05:09 PM",
                    "12/07/2026"},
        // The marker comes first there, so no marker follows the hour: it stays 24-hour.
        TLocaleCase{"ja_JP",
                    "yyyy\xE5\xB9\xB4MM\xE6\x9C\x88"
                    "dd\xE6\x97\xA5",
                    "yyyy\xE5\xB9\xB4MM\xE6\x9C\x88"
                    "dd\xE6\x97\xA5 "
                    "HH\xE6\x99\x82nn\xE5\x88\x86ss\xE7\xA7\x92",
                    "HH\xE6\x99\x82nn\xE5\x88\x86ss\xE7\xA7\x92",
                    "AMPMhh\xE6\x99\x82nn\xE5\x88\x86ss\xE7\xA7\x92", "/", ":",
                    "2026\xE5\xB9\xB4"
                    "12\xE6\x9C\x88"
                    "07\xE6\x97\xA5 "
                    "\xE5\x8D\x88\xE5\x89\x8D"
                    "06\xE6\x99\x82"
                    "23\xE5\x88\x86"
                    "30\xE7\xA7\x92",
                    "2026\xE5\xB9\xB4"
                    "12\xE6\x9C\x88"
                    "07\xE6\x97\xA5 "
                    "\xE5\x8D\x88\xE5\xBE\x8C"
                    "18\xE6\x99\x82"
                    "05\xE5\x88\x86"
                    "09\xE7\xA7\x92",
                    "2026\xE5\xB9\xB4"
                    "12\xE6\x9C\x88"
                    "07\xE6\x97\xA5"}),
    [](const testing::TestParamInfo<TLocaleCase>& AInfo) { return AInfo.param.Source; });

TEST(DateTimeLocale, PosixLocaleGivesTheUsualSettings) {
    const TSnapshot snapshot = SnapshotInChild("", "POSIX");
    ASSERT_FALSE(snapshot.empty()) << "the child reported nothing";
    ASSERT_EQ(snapshot.at("setlocale"), "done");
    EXPECT_EQ(snapshot.at("ShortDatePattern"), "MM/dd/yy");
    EXPECT_EQ(snapshot.at("LongDatePattern"), "ddd MMM d HH:nn:ss yyyy");
    EXPECT_EQ(snapshot.at("ShortTimePattern"), "HH:nn:ss");
    EXPECT_EQ(snapshot.at("LongTimePattern"), "hh:nn:ss AMPM");
    EXPECT_EQ(snapshot.at("DateSeparatorChar"), "/");
    EXPECT_EQ(snapshot.at("TimeSeparatorChar"), ":");
    EXPECT_EQ(snapshot.at("AmText"), "AM");
    EXPECT_EQ(snapshot.at("PmText"), "PM");
    EXPECT_EQ(snapshot.at("CharLength"), "none");
    EXPECT_EQ(snapshot.at("Morning"), "12/07/26 06:23:30 AM");
    EXPECT_EQ(snapshot.at("Evening"), "12/07/26 06:05:09 PM");
    EXPECT_EQ(snapshot.at("Midnight"), "12/07/26");
    EXPECT_EQ(snapshot.at("HourMarkMonth"),
              "18\xE6\x99\x82"
              "5");
    ExpectLocaleTexts(snapshot);
    EXPECT_EQ(snapshot.at("MonthNames8"), "September");
}

}  // namespace
}  // namespace tarvex
