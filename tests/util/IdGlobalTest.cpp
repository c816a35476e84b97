#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"
#include "util/IdGlobal.h"

namespace tarvex {
namespace {

TEST(TicksBetween, AllowsForOneWrapWithTheOneLessRule) {
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> cases{
        {100, 350, 250},     {5, 5, 0},           {0, 4294967295U, 4294967295U},
        {4294967290U, 4, 9}, {4294967295U, 0, 0}, {4294967295U, 1, 1},
        {1, 0, 4294967294U},
    };
    for (const auto& [older, newer, elapsed] : cases) {
        EXPECT_EQ(TicksBetween(older, newer), elapsed) << older << " -> " << newer;
    }
}

TEST(MillisecondTicks, KeepsTheLow32BitsOfTheMilliseconds) {
    EXPECT_EQ(TicksFromTime(0, 999), 0U);
    EXPECT_EQ(TicksFromTime(4294967, 296000), 0U);
    EXPECT_EQ(TicksFromTime(4294967, 295999), 4294967295U);
}

// Each case cuts once: the piece, then what is left of the text.
TEST(SplitOff, CutsAtTheFirstDelimiterAndRemovesItOnRequest) {
    struct TCase {
        std::string Text;
        std::string Delimiter;
        bool Remove;
        bool CaseSensitive;
        std::string Piece;
        std::string Left;
    };
    const std::vector<TCase> cases{
        {"10.0.0.1", ".", true, true, "10", "0.0.1"},
        {"1", ".", true, true, "1", ""},
        {"localhost", ".", false, true, "localhost", "localhost"},
        {"a:b:c", ":", false, true, "a", "a:b:c"},
        {"key::value::rest", "::", true, true, "key", "value::rest"},
        {"xxabyy", "AB", true, false, "xx", "yy"},
        {"xxabyy", "AB", true, true, "xxabyy", ""},
        // Only a-z fold: other bytes must match exactly.
        {"x\xE9y", "\xC9", false, false, "x\xE9y", "x\xE9y"},
        {std::string("ab\0cd", 5), std::string("\0", 1), true, false, "ab", "cd"},
    };
    for (const TCase& c : cases) {
        std::string text = c.Text;
        EXPECT_EQ(SplitOff(text, c.Delimiter, c.Remove, c.CaseSensitive), c.Piece) << c.Text;
        EXPECT_EQ(text, c.Left) << c.Text;
    }
}

TEST(DelimiterSearch, PlainSearchFindsTheFirstOccurrence) {
    EXPECT_EQ(PlainDelimiterSearch(".", "10.0.0.1"), 3);
    EXPECT_EQ(PlainDelimiterSearch("0.1", "10.0.0.1"), 6);
    EXPECT_EQ(PlainDelimiterSearch("x", "10.0.0.1"), 0);
    EXPECT_EQ(PlainDelimiterSearch("", "abc"), 0);
    EXPECT_EQ(PlainDelimiterSearch("c", std::string_view("a\0c", 3)), 3);
}

TEST(DelimiterSearch, BoundarySearchSkipsMatchesInsideACharacter) {
    const test::TLocaleGuard locale("C.UTF-8");
    TARVEX_REQUIRE(locale.Active(), "the C.UTF-8 locale is not installed");
    // 0x89 is the second byte of a two-byte character here, not a character of its own.
    EXPECT_EQ(PlainDelimiterSearch("\x89", "\xC3\x89"), 2);
    EXPECT_EQ(BoundaryDelimiterSearch("\x89", "\xC3\x89"), 0);
    EXPECT_EQ(BoundaryDelimiterSearch(".", "\xC3\x89.x"), 3);
    EXPECT_EQ(BoundaryDelimiterSearch("\xC3\x89", "a\xC3\x89"), 2);
    // Both texts end at their first NUL.
    EXPECT_EQ(BoundaryDelimiterSearch("c", std::string_view("a\0c", 3)), 0);
    EXPECT_EQ(BoundaryDelimiterSearch(std::string_view("b\0z", 3), "abc"), 2);
    // A broken sequence counts as one byte.
    EXPECT_EQ(BoundaryDelimiterSearch(".", "\xFF."), 2);
}

}  // namespace
}  // namespace tarvex
