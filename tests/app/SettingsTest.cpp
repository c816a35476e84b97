#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Pinger.h"
#include "tests/support/RuntimeSupport.h"

namespace tarvex {
namespace {

struct TSettingsCase {
    std::vector<std::string> Arguments;
    std::string Line;
};

TEST(TarvexSettings, SettingsLineShowsEachCommandLineAsTaken) {
    const std::vector<TSettingsCase> cases = {
        {{"10.0.0.1"}, "Pinging [Host: 10.0.0.1] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-b"}, "Pinging [Host: ] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-beep", "h"}, "Pinging [Host: h] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"+b", "h", "7", "8"}, "Pinging [Host: h] [Beep: true] [Timeout: 7ms] [Delay: 8ms]"},
        {{"+beep", "h"}, "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"+BEEP", "h"}, "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-Beep", "h"}, "Pinging [Host: h] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-B", "h"}, "Pinging [Host: h] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-x"}, "Pinging [Host: -x] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-x", "1", "2"}, "Pinging [Host: -x] [Beep: true] [Timeout: 1ms] [Delay: 2ms]"},
        {{""}, "Pinging [Host: ] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"h", "abc", "abc"}, "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"h", "20x", "20x"}, "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"h", "500ms", "9ms"}, "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"h", "$1F", "x10"}, "Pinging [Host: h] [Beep: true] [Timeout: 31ms] [Delay: 16ms]"},
        {{"h", "0", "0"}, "Pinging [Host: h] [Beep: true] [Timeout: 0ms] [Delay: 0ms]"},
        {{"h", "-5", "-5"}, "Pinging [Host: h] [Beep: true] [Timeout: -5ms] [Delay: -5ms]"},
        {{"h", " 42", "+42"}, "Pinging [Host: h] [Beep: true] [Timeout: 42ms] [Delay: 42ms]"},
        {{"h", "2147483648", "$FFFFFFFF"},
         "Pinging [Host: h] [Beep: true] [Timeout: 500ms] [Delay: -1ms]"},
        {{"h", "1", "2", "3", "extra"},
         "Pinging [Host: h] [Beep: true] [Timeout: 1ms] [Delay: 2ms]"},
        {{"-b", "h", "1", "2", "3"}, "Pinging [Host: h] [Beep: false] [Timeout: 1ms] [Delay: 2ms]"},
        {{"MyHost.Example"},
         "Pinging [Host: MyHost.Example] [Beep: true] [Timeout: 500ms] [Delay: 1000ms]"},
        {{"-b", "LocalHost"},
         "Pinging [Host: LocalHost] [Beep: false] [Timeout: 500ms] [Delay: 1000ms]"},
    };
    for (const TSettingsCase& settings : cases) {
        std::vector<std::string> commandLine{"tarvex"};
        std::string shown;
        for (const std::string& argument : settings.Arguments) {
            commandLine.push_back(argument);
            shown += "[" + argument + "]";
        }
        SCOPED_TRACE(shown);
        const test::TArgumentsGuard arguments(commandLine);
        TPinger pinger;
        TakeSettings(pinger);
        EXPECT_EQ(SettingsLine(pinger), settings.Line);
    }
}

}  // namespace
}  // namespace tarvex
