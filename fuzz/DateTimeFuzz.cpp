// Locale format translation and pattern rendering on arbitrary formats, patterns, settings and
// date-time values: the rendered text never exceeds 256 bytes, nothing crashes, nothing hangs
// (libFuzzer's per-input time-out catches a runaway loop or recursion).
#include <fuzzer/FuzzedDataProvider.h>
#include <langinfo.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "util/DateTime.h"

namespace {

[[noreturn]] void Fail(const char* AWhat, std::size_t ALength) {
    std::fprintf(stderr, "date and time text: %s (%zu bytes)\n", AWhat, ALength);
    std::abort();
}

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
constexpr nl_item NameItems[] = {
    ABMON_1,  ABMON_2,  ABMON_3, ABMON_4, ABMON_5, ABMON_6, ABMON_7, ABMON_8, ABMON_9, ABMON_10,
    ABMON_11, ABMON_12, MON_1,   MON_2,   MON_3,   MON_4,   MON_5,   MON_6,   MON_7,   MON_8,
    MON_9,    MON_10,   MON_11,  MON_12,  ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4, ABDAY_5, ABDAY_6,
    ABDAY_7,  DAY_1,    DAY_2,   DAY_3,   DAY_4,   DAY_5,   DAY_6,   DAY_7};

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
        for (const nl_item item : NameItems) {
            texts[item] = input.ConsumeRandomLengthString(300);
        }
    }
    const TLangInfoSupplier supplier = [&texts](nl_item AItem) {
        const auto found = texts.find(AItem);
        return found == texts.end() ? std::string() : found->second;
    };

    TCharLengthRule rule = nullptr;
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 1:
            rule = &LocaleCharLength;
            break;
        case 2:
            rule = &FuzzedCharLength;
            break;
        default:
            break;
    }
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

    TDateTime value = 0;
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:  // an ordinary moment between 1900 and 2100, to the millisecond
            value = static_cast<double>(
                        input.ConsumeIntegralInRange<std::int64_t>(0, 73051LL * 86400000LL)) /
                    86400000.0;
            break;
        case 1:  // any double, NaN and infinities included
            value = input.ConsumeFloatingPoint<double>();
            break;
        default:
            value = input.ConsumeFloatingPointInRange<double>(-700000.0, 3000000.0);
            break;
    }

    const std::string format = input.ConsumeRandomLengthString(256);
    const std::string pattern = input.ConsumeRemainingBytesAsString();
    LengthSource = &input;

    // The translation must end (nested formats may make it long; rendering cuts it).
    const std::string translated = TranslateLocalePattern(format, supplier);

    const std::string rendered = RenderDateTime(pattern, value, settings);
    if (rendered.size() > MaxDateTimeTextLength) {
        Fail("the rendered pattern is longer than 256 bytes", rendered.size());
    }
    const std::string fromTranslation = RenderDateTime(translated, value, settings);
    if (fromTranslation.size() > MaxDateTimeTextLength) {
        Fail("the rendered translation is longer than 256 bytes", fromTranslation.size());
    }
    const std::string text = DateTimeText(value, settings);
    if (text.size() > MaxDateTimeTextLength) {
        Fail("the date-time text is longer than 256 bytes", text.size());
    }
    LengthSource = nullptr;
    return 0;
}
