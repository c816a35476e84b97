#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

struct TSettingsCase {
    std::vector<std::string> Arguments;
    std::string Line;
};

// The settings line and its empty line come before the first exchange, so they are read and the
// program is killed; the exchange it starts stays inside the empty namespace.
std::string SettingsOutputOf(const TestNamespace& ANamespace, const TResolverFiles& AResolver,
                             const std::vector<std::string>& AArguments) {
    TProcess tarvex(OptionsIn(ANamespace.Name(), AResolver, AArguments));
    if (!tarvex.Started()) {
        return "not started: " + tarvex.StartError();
    }
    tarvex.WaitForOutput("]\n\n", 5000);
    const std::string& output = tarvex.Output();
    const std::size_t end = output.find("]\n\n");
    return end == std::string::npos ? output : output.substr(0, end + 3);
}

TEST(TarvexSettings, SettingsLineShowsEachCommandLineAsTaken) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("set");
    ASSERT_TRUE(empty.Ok());
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
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
        std::string shown;
        for (const std::string& argument : settings.Arguments) {
            shown += "[" + argument + "]";
        }
        SCOPED_TRACE(shown);
        EXPECT_EQ(SettingsOutputOf(empty, resolver, settings.Arguments),
                  std::string(BannerText) + settings.Line + "\n\n");
    }
}

TEST(TarvexSettings, SettingsLineIsTheSameWithLoopbackDown) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace empty("sdn");
    ASSERT_TRUE(empty.Ok());
    ASSERT_EQ(Shell("ip -n " + empty.Name() + " link set lo down"), 0);
    const TResolverFiles resolver("127.0.0.1 localhost\n", "127.0.0.1");
    EXPECT_EQ(SettingsOutputOf(empty, resolver, {"-b", "Some.Host", "250", "$10"}),
              std::string(BannerText) +
                  "Pinging [Host: Some.Host] [Beep: false] [Timeout: 250ms] [Delay: 16ms]\n\n");
}

}  // namespace
}  // namespace tarvex::test
