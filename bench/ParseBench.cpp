#include <benchmark/benchmark.h>

#include <string>

#include "util/SysUtils.h"

namespace tarvex {
namespace {

// Command-line numbers as the settings step reads them, valid and not.
void BenchTextToIntegerOr(benchmark::State& AState, const std::string& AText) {
    for (auto _ : AState) {
        benchmark::DoNotOptimize(TextToIntegerOr(AText, -1));
    }
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
    for (const char* text : {"5000", " -42", "$7FFFFFFF", "2147483648", "5000ms"}) {
        benchmark::RegisterBenchmark((std::string("TextToIntegerOr/") + text).c_str(),
                                     tarvex::BenchTextToIntegerOr, std::string(text));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
