#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
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

TEST(MillisecondTicks, FollowsTheTimePassing) {
    const std::uint32_t before = MillisecondTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(TicksBetween(before, MillisecondTicks()), 19U);
}

TEST(SplitOff, TakesDottedTextApartField) {
    std::string text = "10.0.0.1";
    EXPECT_EQ(SplitOff(text, ".", true, true), "10");
    EXPECT_EQ(text, "0.0.1");
    EXPECT_EQ(SplitOff(text, ".", true, true), "0");
    EXPECT_EQ(SplitOff(text, ".", true, true), "0");
    EXPECT_EQ(text, "1");
    EXPECT_EQ(SplitOff(text, ".", true, true), "1");
    EXPECT_EQ(text, "");
}

TEST(SplitOff, StoppingAfterThreeCutsKeepsFurtherDots) {
    std::string text = "1.2.3.4.5";
    for (int i = 0; i < 3; ++i) {
        SplitOff(text, ".", true, true);
    }
    EXPECT_EQ(text, "4.5");
}

TEST(SplitOff, WithoutTheDelimiterGivesTheWholeText) {
    std::string text = "localhost";
    EXPECT_EQ(SplitOff(text, ".", false, true), "localhost");
    EXPECT_EQ(text, "localhost");
    EXPECT_EQ(SplitOff(text, ".", true, true), "localhost");
    EXPECT_EQ(text, "");
}

TEST(SplitOff, WithoutRemoveLeavesTheTextAlone) {
    std::string text = "a:b:c";
    EXPECT_EQ(SplitOff(text, ":", false, true), "a");
    EXPECT_EQ(text, "a:b:c");
}

TEST(SplitOff, CaseInsensitiveMatchCutsTheUnchangedText) {
    std::string text = "xxabyy";
    EXPECT_EQ(SplitOff(text, "AB", true, false), "xx");
    EXPECT_EQ(text, "yy");
    std::string sensitive = "xxabyy";
    EXPECT_EQ(SplitOff(sensitive, "AB", true, true), "xxabyy");
    EXPECT_EQ(sensitive, "");
    // Only a-z fold: other bytes must match exactly.
    std::string accented = "x\xE9y";
    EXPECT_EQ(SplitOff(accented, "\xC9", false, false), "x\xE9y");
}

TEST(SplitOff, NulDelimiterIsFoundByPlainSearch) {
    std::string text("ab\0cd", 5);
    EXPECT_EQ(SplitOff(text, std::string_view("\0", 1), true, false), "ab");
    EXPECT_EQ(text, "cd");
}

TEST(SplitOff, MultiByteDelimiterIsRemovedWhole) {
    std::string text = "key::value::rest";
    EXPECT_EQ(SplitOff(text, "::", true, true), "key");
    EXPECT_EQ(text, "value::rest");
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
