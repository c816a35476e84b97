// Locale format translation and pattern rendering on arbitrary formats, patterns, settings and
// date-time values: the rendered text never exceeds 256 bytes, nothing crashes, nothing hangs
// (libFuzzer's per-input time-out catches a runaway loop or recursion).
#include <fuzzer/FuzzedDataProvider.h>
#include <langinfo.h>

#include <clocale>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "fuzz/FuzzCheck.h"
#include "util/DateTime.h"

namespace {

// A character length rule that takes its answers from the input: any length from 1 to the
// rest of the text, the contract of a rule.
thread_local FuzzedDataProvider* LengthSource = nullptr;
std::size_t FuzzedCharLength(std::string_view AText) noexcept {
    if (AText.empty()) {
        return 0;
    }
    if (LengthSource == nullptr || LengthSource->remaining_bytes() == 0) {
        return 1;
    }
    return LengthSource->ConsumeIntegralInRange<std::size_t>(
        1, std::min<std::size_t>(AText.size(), 6));
}

constexpr nl_item FormatItems[] = {D_FMT, D_T_FMT, T_FMT, T_FMT_AMPM, AM_STR, PM_STR};
// The month names, then the day names, each a run of consecutive items.
constexpr std::pair<nl_item, nl_item> NameRuns[] = {{ABMON_1, MON_12}, {ABDAY_1, DAY_7}};
static_assert(MON_12 - ABMON_1 == 23 && DAY_7 - ABDAY_1 == 13);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A multi-byte character set, so the process locale's rule has lead bytes to keep whole.
    std::setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    using namespace tarvex;
    FuzzedDataProvider input(AData, ASize);

    std::map<nl_item, std::string> texts;
    for (const nl_item item : FormatItems) {
        texts[item] = input.ConsumeRandomLengthString(48);
    }
    if (input.ConsumeBool()) {
        for (const auto& [first, last] : NameRuns) {
            for (nl_item item = first; item <= last; ++item) {
                texts[item] = input.ConsumeRandomLengthString(300);
            }
        }
    }
    const TLangInfoSupplier supplier = [&texts](nl_item AItem) {
        const auto found = texts.find(AItem);
        return found == texts.end() ? std::string() : found->second;
    };

    const TCharLengthRule rules[] = {nullptr, &LocaleCharLength, &FuzzedCharLength};
    const TCharLengthRule rule = rules[input.ConsumeIntegralInRange<int>(0, 2)];
    TFormatSettings settings = FormatSettingsFrom(supplier, rule);
    if (input.ConsumeBool()) {
        // Settings no locale translation would give: raw patterns with nested references.
        settings.ShortDatePattern = input.ConsumeRandomLengthString(64);
        settings.LongDatePattern = input.ConsumeRandomLengthString(64);
        settings.ShortTimePattern = input.ConsumeRandomLengthString(64);
        settings.LongTimePattern = input.ConsumeRandomLengthString(64);
        settings.DateSeparatorChar = input.ConsumeIntegral<char>();
        settings.TimeSeparatorChar = input.ConsumeIntegral<char>();
        settings.AmText = input.ConsumeRandomLengthString(300);
        settings.PmText = input.ConsumeRandomLengthString(300);
    }

    // An ordinary moment between 1900 and 2100 to the millisecond, any double (NaN and
    // infinities included), or one from a wide range.
    const int kind = input.ConsumeIntegralInRange<int>(0, 2);
    const TDateTime value =
        kind == 0 ? static_cast<double>(
                        input.ConsumeIntegralInRange<std::int64_t>(0, 73051LL * 86400000LL)) /
                        86400000.0
        : kind == 1 ? input.ConsumeFloatingPoint<double>()
                    : input.ConsumeFloatingPointInRange<double>(-700000.0, 3000000.0);

    const std::string format = input.ConsumeRandomLengthString(256);
    const std::string pattern = input.ConsumeRandomLengthString(1024);
    // What the input holds beyond is left to the fuzzed character length rule.
    LengthSource = &input;

    // The translation must end (nested formats may make it long; rendering cuts it).
    const std::string translated = TranslateLocalePattern(format, supplier);
    for (const std::string& text :
         {RenderDateTime(pattern, value, settings), RenderDateTime(translated, value, settings),
          DateTimeText(value, settings)}) {
        Check(text.size() <= MaxDateTimeTextLength, "a date and time text over 256 bytes");
    }
    LengthSource = nullptr;
    return 0;
}
