#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/LocaleSupport.h"
#include "tests/support/TestSupport.h"
#include "util/DateTime.h"

namespace tarvex {
namespace {

// In a child: adopts the locale as the program does, runs the date and time start-up and reports
// the process-wide settings and a few rendered moments, each text ended by a NUL.
std::vector<std::string> SettingsAfterStartUp(const std::string& ALocPath,
                                              const std::string& ALocale) {
    const test::TRunResult run = test::RunInChild([&] {
        if (ALocPath.empty()) {
            unsetenv("LOCPATH");
        } else {
            setenv("LOCPATH", ALocPath.c_str(), 1);
        }
        setenv("LC_ALL", ALocale.c_str(), 1);
        if (std::setlocale(LC_ALL, "") == nullptr) {
            return 1;
        }
        DateTimeStartUp();
        const TFormatSettings& settings = FormatSettings();
        for (const std::string& text : {
                 settings.ShortDatePattern,
                 settings.LongDatePattern,
                 settings.ShortTimePattern,
                 settings.LongTimePattern,
                 std::string{settings.DateSeparatorChar, settings.TimeSeparatorChar},
                 DateTimeText(EncodeDateTime(2026, 12, 7, 6, 23, 30)),
                 DateTimeText(EncodeDateTime(2026, 12, 7, 18, 5, 9)),
                 DateTimeText(EncodeDateTime(2026, 12, 7, 0, 0, 0, 500)),
                 RenderDateTime("h\xE6\x99\x82m", EncodeDateTime(2026, 12, 7, 18, 5, 9), settings),
                 settings.DayNames[1],
                 std::string(settings.CharLength == nullptr ? "none" : "set"),
             }) {
            std::fwrite(text.c_str(), 1, text.size() + 1, stdout);
        }
        return 0;
    });
    EXPECT_TRUE(run.Succeeded()) << run.Error;
    std::istringstream output(run.Output);
    std::vector<std::string> texts;
    for (std::string text; std::getline(output, text, '\0');) {
        texts.push_back(text);
    }
    return texts;
}

struct TLocaleCase {
    std::string Source;
    std::string ShortDatePattern, LongDatePattern, ShortTimePattern, LongTimePattern;
    std::string DateSeparatorChar, TimeSeparatorChar;
    std::string Morning, Evening, Midnight;
    // UTF-8 has lead bytes: a multi-byte character ends the hour token, so m is the month; a
    // single-byte locale keeps it the minutes.
    std::string HourMarkMonth =
        "18\xE6\x99\x82"
        "12";
    std::string Monday = "Monday";
};

void PrintTo(const TLocaleCase& ACase, std::ostream* AOut) { *AOut << ACase.Source; }

class DateTimeCompiledLocale : public testing::TestWithParam<TLocaleCase> {};

// POSIX is built in; the others are compiled into a private directory first.
TEST_P(DateTimeCompiledLocale, StartUpTakesTheSettingsFromTheLocale) {
    const TLocaleCase& c = GetParam();
    const bool posix = c.Source == "POSIX";
    const std::string missing = posix ? "" : test::TCompiledLocales::MissingFor(c.Source);
    TARVEX_REQUIRE(missing.empty(), missing);
    test::TCompiledLocales locales;
    const std::string name = posix ? c.Source : c.Source + ".UTF-8";
    TARVEX_REQUIRE(posix || locales.Add(c.Source, name), "localedef could not compile " + name);

    EXPECT_EQ(SettingsAfterStartUp(posix ? "" : locales.Directory(), name),
              (std::vector<std::string>{
                  c.ShortDatePattern, c.LongDatePattern, c.ShortTimePattern, c.LongTimePattern,
                  c.DateSeparatorChar + c.TimeSeparatorChar, c.Morning, c.Evening, c.Midnight,
                  c.HourMarkMonth, c.Monday, posix ? "none" : "set"}));
}

INSTANTIATE_TEST_SUITE_P(
    CompiledLocales, DateTimeCompiledLocale,
    testing::Values(
        TLocaleCase{"de_DE", "dd.MM.yyyy", "ddd dd MMM yyyy HH:mm:ss ", "HH:mm:ss", "HH:mm:ss", ".",
                    ":", "07.12.2026 06:23:30", "07.12.2026 18:05:09", "07.12.2026",
                    "18\xE6\x99\x82"
                    "12",
                    "Montag"},
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
                    "07\xE6\x97\xA5",
                    "18\xE6\x99\x82"
                    "12",
                    "\xE6\x9C\x88\xE6\x9B\x9C\xE6\x97\xA5"},
        TLocaleCase{"POSIX", "MM/dd/yy", "ddd MMM d HH:nn:ss yyyy", "HH:nn:ss", "hh:nn:ss AMPM",
                    "/", ":", "12/07/26 06:23:30 AM", "12/07/26 06:05:09 PM", "12/07/26",
                    "18\xE6\x99\x82"
                    "5"}),
    [](const testing::TestParamInfo<TLocaleCase>& AInfo) { return AInfo.param.Source; });

}  // namespace
}  // namespace tarvex
