#include <benchmark/benchmark.h>

#include <clocale>

#include "util/DateTime.h"

namespace tarvex {
namespace {

// The failure line's text for one moment, with the settings the locale gave at start-up.
void BenchDateTimeText(benchmark::State& AState) {
    const TDateTime moment = EncodeDateTime(2026, 12, 7, 18, 5, 9, 7);
    for (auto _ : AState) {
        benchmark::DoNotOptimize(DateTimeText(moment));
    }
}

// The same through the whole long date pattern, to show what nested patterns cost.
void BenchLongDatePattern(benchmark::State& AState) {
    const TDateTime moment = EncodeDateTime(2026, 12, 7, 18, 5, 9, 7);
    for (auto _ : AState) {
        benchmark::DoNotOptimize(RenderDateTime("dddddd", moment, FormatSettings()));
    }
}

void BenchCurrentDateTime(benchmark::State& AState) {
    for (auto _ : AState) {
        benchmark::DoNotOptimize(CurrentDateTime());
    }
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    tarvex::DateTimeStartUp();
    benchmark::RegisterBenchmark("DateTimeText", tarvex::BenchDateTimeText);
    benchmark::RegisterBenchmark("LongDatePattern", tarvex::BenchLongDatePattern);
    benchmark::RegisterBenchmark("CurrentDateTime", tarvex::BenchCurrentDateTime);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
