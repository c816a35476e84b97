#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/LocaleSupport.h"
#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"
#include "util/Console.h"
#include "util/CrashReport.h"
#include "util/Runtime.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

const std::string TestModule = "tarvex_util_tests";

std::string PrintfAddress(const void* AAddress) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", AAddress);
    return text;
}

// What a function writes on descriptor 2.
template <typename TAction>
std::string CaptureError(TAction AAction) {
    test::CaptureStdout capture(2);
    AAction();
    return capture.Text();
}

TEST(AddressText, PrintsAsPercentPDoes) {
    for (const void* address :
         {static_cast<const void*>(nullptr), reinterpret_cast<const void*>(0x1),
          reinterpret_cast<const void*>(0x1234abcd), reinterpret_cast<const void*>(UINTPTR_MAX),
          static_cast<const void*>(&TestModule)}) {
        char text[AddressTextSize];
        const std::size_t length = AddressText(address, text);
        EXPECT_EQ(std::string(text, length), PrintfAddress(address));
        EXPECT_EQ(text[length], '\0');
    }
}

TEST(ModuleNameOf, NamesTheFileHoldingTheCode) {
    EXPECT_EQ(std::string(ModuleNameOf(reinterpret_cast<const void*>(&AddressText))), TestModule);
    EXPECT_EQ(std::string(ModuleNameOf(reinterpret_cast<const void*>(&gnu_get_libc_version))),
              "libc.so.6");
    EXPECT_STREQ(ModuleNameOf(nullptr), "<unknown>");
    EXPECT_STREQ(ModuleNameOf(reinterpret_cast<const void*>(1)), "<unknown>");
}

TEST(ReportCurrentException, AddsNoSecondFullStopAndKeepsAnEmptyMessageEmpty) {
    const EConvertError stopped("Already ended.");
    const auto report = [](const auto& AException) {
        try {
            throw AException;
        } catch (...) {
            ReportCurrentException();
        }
    };
    EXPECT_EQ(CaptureError([&] { report(stopped); }),
              "Exception EConvertError in module " + TestModule + " at " +
                  PrintfAddress(stopped.RaiseAddress()) + ".\nAlready ended.\n");
    const EConvertError empty("");
    EXPECT_EQ(CaptureError([&] { report(empty); }),
              "Exception EConvertError in module " + TestModule + " at " +
                  PrintfAddress(empty.RaiseAddress()) + ".\n\n");
}

TEST(ReportCurrentException, RaiseAddressLiesInTheRaisingModule) {
    try {
        TextToInteger("1e3");
    } catch (const EConvertError& error) {
        EXPECT_EQ(std::string(ModuleNameOf(error.RaiseAddress())), TestModule);
    }
}

TEST(StartUpLocale, OnlyTheOldLibraryVersionsWithoutLocaleVariablesAskForPosix) {
    struct TCase {
        const char* Version;
        const char* LcAll;
        const char* Lang;
        std::string Expected;
    };
    const std::vector<TCase> cases{
        {"2.1.3", nullptr, nullptr, "POSIX"}, {"2.1.90", nullptr, nullptr, "POSIX"},
        {"2.1.4", "", "", "POSIX"},           {"2.1.91", nullptr, nullptr, ""},
        {"2.1.2", nullptr, nullptr, ""},      {"2.36", nullptr, nullptr, ""},
        {"2.1.3", "de_DE", nullptr, ""},      {"2.1.3", nullptr, "C.UTF-8", ""},
    };
    // The environment is changed in a child, so the test process keeps its own.
    for (const TCase& item : cases) {
        const test::TRunResult run = test::RunInChild([&item] {
            for (const auto& [name, value] :
                 {std::pair{"LC_ALL", item.LcAll}, std::pair{"LANG", item.Lang}}) {
                if (value == nullptr) {
                    unsetenv(name);
                } else {
                    setenv(name, value, 1);
                }
            }
            std::fputs(StartUpLocaleName(item.Version), stdout);
            return 0;
        });
        EXPECT_EQ(run.Output, item.Expected) << item.Version << run.Error;
    }
}

// The character-type locale and character set a fresh start-up adopts with exactly
// AEnvironment, optionally with the system's compiled locales hidden (see TSpawnOptions).
std::string AdoptedCharacterTypes(std::vector<std::string> AEnvironment,
                                  bool AHideSystemLocales = false) {
    test::TSpawnOptions options;
    options.ProgramPath = TARVEX_LOCALE_PROBE_PATH;
    options.Environment = std::move(AEnvironment);
    options.HideSystemLocales = AHideSystemLocales;
    const test::TRunResult run = test::RunToEnd(options);
    return run.Succeeded() ? run.Output : "probe failed: " + run.Error;
}

TEST(StartUpLocale, AdoptsTheLocaleOfTheEnvironment) {
    EXPECT_EQ(AdoptedCharacterTypes({"LANG=C.UTF-8"}), "C.UTF-8 UTF-8");
    EXPECT_EQ(AdoptedCharacterTypes({"LC_ALL=C.UTF-8", "LANG=C"}), "C.UTF-8 UTF-8");
}

// Whether en_US exists is up to the machine (locales-all brings it), so the system's locales
// are hidden and en_US is only what LOCPATH offers.
TEST(StartUpLocale, PlainAsciiSwitchesCharacterTypesToEnUsWhenInstalled) {
    const std::string plain = AdoptedCharacterTypes({}, true);
    TARVEX_REQUIRE(!plain.starts_with("probe failed"),
                   "cannot hide the system's locales (needs root or user namespaces): " + plain);
    test::TCompiledLocales locales;
    TARVEX_REQUIRE(locales.Add("en_US", "en_US", "ISO-8859-1"),
                   "cannot build en_US with localedef");
    const std::string locPath = "LOCPATH=" + locales.Directory();
    EXPECT_EQ(AdoptedCharacterTypes({locPath}, true), "en_US ISO-8859-1");
    // An unknown name leaves plain ASCII too.
    EXPECT_EQ(AdoptedCharacterTypes({locPath, "LANG=xx_YY.nothing"}, true), "en_US ISO-8859-1");
    // Without it nothing changes.
    EXPECT_EQ(plain, "C ANSI_X3.4-1968");
    EXPECT_EQ(AdoptedCharacterTypes({"LANG=xx_YY.nothing"}, true), "C ANSI_X3.4-1968");
}

int ProgramArgc = 1;
char ProgramName[] = "tarvex";
char* ProgramArgv[] = {ProgramName, nullptr};

std::vector<int> StartUpOrder;

TEST(RunProgram, RunsUnitStartUpsInOrderThenTheBodyAndGivesZero) {
    const test::TArgumentsGuard restore({"restored"});
    StartUpOrder.clear();
    const TUnitStartUp startUps[] = {[] { StartUpOrder.push_back(1); }, nullptr,
                                     [] { StartUpOrder.push_back(2); }};
    const int status = RunProgram(ProgramArgc, ProgramArgv, startUps,
                                  [] { StartUpOrder.push_back(ArgumentCount() + 10); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(StartUpOrder, (std::vector<int>{1, 2, 10}));
}

// Whatever escapes, from the body or a unit's start-up and of any type, is reported.
TEST(RunProgram, UncaughtExceptionIsReportedWithStatusOne) {
    struct TCase {
        int (*Run)();
        std::string Report;
    };
    const TCase cases[] = {
        {[] { return RunProgram(ProgramArgc, ProgramArgv, {}, [] { throw EQuit(); }); },
         "Exception EQuit in module " + TestModule + " at <address>.\nQuit key hit.\n"},
        {[] {
             const TUnitStartUp startUps[] = {[] { throw std::logic_error("no unit"); }};
             return RunProgram(ProgramArgc, ProgramArgv, startUps, [] {});
         },
         "Exception std::logic_error in module <unknown> at (nil).\nno unit.\n"},
        {[] { return RunProgram(ProgramArgc, ProgramArgv, {}, [] { throw 42; }); },
         "Exception int in module <unknown> at (nil).\n\n"},
    };
    for (const TCase& c : cases) {
        const test::TRunResult result = test::RunInChild(c.Run);
        EXPECT_EQ(result.ExitCode(), 1) << result.Error;
        EXPECT_EQ(test::MaskAddresses(result.Error), c.Report);
    }
}

TEST(FaultReport, HardwareFaultsAreReportedAndEndWithStatusOne) {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    const std::pair<std::function<int()>, std::string> cases[] = {
        {[page] { return static_cast<int>(*static_cast<const volatile char*>(page)) + 100; },
         "Exception EAccessViolation in module " + TestModule +
             " at <address>.\nAccess violation at address <address>, accessing address " +
             PrintfAddress(page) + ".\n"},
        {[]() -> int { __builtin_trap(); },
         "Exception EPrivilege in module " + TestModule + " at <address>.\nIllegal instruction.\n"},
        // Raised by the process itself, so the address lies in the C library.
        {[] { return raise(SIGFPE) + 100; },
         "Exception EMathError in module libc.so.6 at <address>.\nFloating point error.\n"},
    };
    for (const auto& [fault, report] : cases) {
        const test::TRunResult result = test::RunInChild(fault);
        EXPECT_EQ(result.ExitCode(), 1) << result.Error;
        EXPECT_EQ(test::MaskAddresses(result.Error), test::MaskAddresses(report));
        // The last word unmasked too: for the access violation it is the address accessed.
        EXPECT_NE(result.Error.find(report.substr(report.rfind(' '))), std::string::npos)
            << result.Error;
    }
    munmap(page, 4096);
}

TEST(FaultReport, StackOverflowIsReportedFromTheAlternateStack) {
    const test::TRunResult result = test::RunInChild([] {
        struct TRecurse {
            // Far deeper than any stack allows.
            static int Deeper(int ADepth) {
                volatile char pad[1024];
                pad[0] = static_cast<char>(ADepth);
                if (ADepth > 1000000000) {
                    return 0;
                }
                return Deeper(ADepth + 1) + pad[0];
            }
        };
        return TRecurse::Deeper(0);
    });
    EXPECT_EQ(result.ExitCode(), 1) << result.Error;
    EXPECT_EQ(result.Error.rfind("Exception EAccessViolation in module " + TestModule, 0), 0U)
        << result.Error;
}

}  // namespace
}  // namespace tarvex
