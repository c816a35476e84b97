#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/LocaleSupport.h"
#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

struct TParseCase {
    std::string Text;
    std::optional<std::int32_t> Value;  // nullopt: not a valid integer
};

const std::vector<TParseCase>& ParseCases() {
    static const std::vector<TParseCase> cases{
        {"42", 42},
        {" 42", 42},
        {"+42", 42},
        {"-42", -42},
        {" -42", -42},
        {"0", 0},
        {"010", 10},
        {"0000000000000000000042", 42},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"$1F", 31},
        {"0x1F", 31},
        {"0X1f", 31},
        {"x1f", 31},
        {"X1F", 31},
        {"$FFFFFFFF", -1},
        {"$80000000", std::numeric_limits<std::int32_t>::min()},
        {"-$10", -16},
        {"", std::nullopt},
        {" ", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"- 1", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"42 ", std::nullopt},
        {"1e3", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"$100000000", std::nullopt},
        {"$G", std::nullopt},
        {"\t42", std::nullopt},
        {"0b101", std::nullopt},
        {std::string("4\0"
                     "2",
                     3),
         std::nullopt},
    };
    return cases;
}

TEST(IntegerParsing, FollowsTheRadixSignAndRangeRules) {
    for (const TParseCase& item : ParseCases()) {
        SCOPED_TRACE("text '" + item.Text + "'");
        std::int32_t value = 12345;
        const bool valid = TryTextToInteger(item.Text, value);
        EXPECT_EQ(valid, item.Value.has_value());
        EXPECT_EQ(TextToIntegerOr(item.Text, -777), item.Value.value_or(-777));
        if (item.Value.has_value()) {
            EXPECT_EQ(value, *item.Value);
            EXPECT_EQ(TextToInteger(item.Text), *item.Value);
        } else {
            EXPECT_THROW_MSG(TextToInteger(item.Text), EConvertError,
                             "'" + item.Text + "' is not a valid integer value");
        }
    }
}

TEST(IntegerText, WritesPlainDecimalDigits) {
    EXPECT_EQ(IntegerText(0), "0");
    EXPECT_EQ(IntegerText(-7), "-7");
    EXPECT_EQ(IntegerText(2147483647), "2147483647");
    EXPECT_EQ(IntegerText(std::numeric_limits<std::int32_t>::min()), "-2147483648");
    EXPECT_EQ(Integer64Text(4294967295LL), "4294967295");
    EXPECT_EQ(Integer64Text(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(Integer64Text(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
}

TEST(FileNamePart, TakesWhatFollowsTheLastSlash) {
    EXPECT_EQ(FileNamePart("/usr/local/bin/prog"), "prog");
    EXPECT_EQ(FileNamePart("prog"), "prog");
    EXPECT_EQ(FileNamePart("/usr/local/"), "");
    EXPECT_EQ(FileNamePart(""), "");
}

TEST(FormatText, FillsEachDirectiveWithTheNextArgument) {
    EXPECT_EQ(FormatText("'%s' is not a valid integer value", {"1e3"}),
              "'1e3' is not a valid integer value");
    EXPECT_EQ(FormatText("I/O error %d", {IntegerText(28)}), "I/O error 28");
    EXPECT_EQ(FormatText("%s and %s", {"a", "b"}), "a and b");
    EXPECT_EQ(FormatText("100%% of %s", {"x"}), "100% of x");
    EXPECT_EQ(FormatText("%s", {std::string_view("a\0b", 3)}), std::string("a\0b", 3));
    EXPECT_EQ(FormatText("left %s", {}), "left ");
    EXPECT_EQ(FormatText("odd %q %", {}), "odd %q %");
}

TEST(Exceptions, InOutErrorMessageFollowsTheErrorNumber) {
    const std::vector<std::pair<std::int32_t, std::string>> cases{
        {2, "File not found"},
        {106, "Invalid numeric input"},
        {28, "I/O error 28"},
        {0, "I/O error 0"},
    };
    for (const auto& [number, message] : cases) {
        const EInOutError error(number);
        EXPECT_EQ(error.ErrorCode(), number);
        EXPECT_EQ(error.Message(), message);
    }
}

TEST(LowerCaseText, ChangesOnlyAsciiLettersInTheCLocale) {
    const test::TLocaleGuard locale("C");
    ASSERT_TRUE(locale.Active());
    EXPECT_EQ(LowerCaseText("+BEEP"), "+beep");
    EXPECT_EQ(LowerCaseText("MiXeD 123 [@Z]"), "mixed 123 [@z]");
    EXPECT_EQ(LowerCaseText(""), "");
    EXPECT_THROW_MSG(LowerCaseText("\xC9"), ECodesetConversion, "Codeset conversion failure");
}

TEST(LowerCaseText, LowerCasesLettersOfAUtf8LocaleAndRefusesBrokenText) {
    const test::TLocaleGuard locale("C.UTF-8");
    TARVEX_REQUIRE(locale.Active(), "the C.UTF-8 locale is not installed");
    EXPECT_EQ(LowerCaseText("+BEEP"), "+beep");
    EXPECT_EQ(LowerCaseText("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");  // ÉTÉ
    EXPECT_EQ(LowerCaseText("\xCE\xA9MEGA"), "\xCF\x89mega");            // Ω
    EXPECT_EQ(LowerCaseText("\xE2\x82\xAC 5"), "\xE2\x82\xAC 5");        // € is no letter
    // Long texts are converted whole.
    std::string upper;
    std::string lower;
    for (int i = 0; i < 5000; ++i) {
        upper += "\xC3\x84Z";
        lower += "\xC3\xA4z";
    }
    EXPECT_EQ(LowerCaseText(upper), lower);
    for (const char* broken : {"\xE9", "AB\xC3",
                               "\xFF"
                               "A"}) {
        EXPECT_THROW_MSG(LowerCaseText(broken), ECodesetConversion, "Codeset conversion failure");
    }
}

TEST(LowerCaseText, LowerCasesSingleByteLettersOfALatin1Locale) {
    test::TCompiledLocales locales;
    TARVEX_REQUIRE(locales.Add("de_DE", "de_DE.ISO-8859-1", "ISO-8859-1"),
                   "cannot build de_DE.ISO-8859-1 with localedef");
    // The locale comes from LOCPATH, so it is adopted in a child of its own.
    const test::TRunResult run = test::RunInChild([&] {
        setenv("LOCPATH", locales.Directory().c_str(), 1);
        std::string result = "no locale";
        if (std::setlocale(LC_ALL, "de_DE.ISO-8859-1") != nullptr) {
            try {
                result = LowerCaseText("+BEEP \xC4\xD6\xDC\xC9 \xDF\xB5");  // ÄÖÜÉ ßµ
            } catch (const Exception& error) {
                result = error.Message();
            }
        }
        std::fwrite(result.data(), 1, result.size(), stdout);
        return 0;
    });
    EXPECT_TRUE(run.Succeeded()) << run.Error;
    EXPECT_EQ(run.Output, "+beep \xE4\xF6\xFC\xE9 \xDF\xB5");
}

}  // namespace
}  // namespace tarvex
