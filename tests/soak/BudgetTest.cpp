// What one exchange of the whole program costs once it runs: the system calls it makes (traced)
// and the heap blocks it takes (counted by a preloaded allocator). Measured on the plain build,
// inside private namespaces: answered against 127.0.0.1 (the socket's filter keeps the request
// itself out, so the one datagram read is the kernel's reply), and lost against a silent peer
// over a veth pair with a 1 ms reply timeout.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using TCalls = std::map<std::string, int>;

struct TBudgetCase {
    const char* Name;
    std::vector<std::string> Arguments;
    TCalls Calls;
};

// Answered: a new socket gets its filter, is read empty of what came before the filter (one
// recvfrom that finds nothing) and gets receive time stamps; the socket handle is taken four
// times (send, readiness wait, receive, close), each access writing the time-to-live; the
// readiness wait and the zero delay are one ppoll each, the receive one recvmsg, the line two
// writes. Lost: three accesses (no receive), one readiness wait that times out, no delay; the
// bell (on by default) asks whether standard error and then standard output is a terminal.
const std::vector<TBudgetCase> Cases = {
    {"answered",
     {"127.0.0.1", "500", "0"},
     {{"close", 1},
      {"ppoll", 2},
      {"recvfrom", 1},
      {"recvmsg", 1},
      {"sendto", 1},
      {"setsockopt", 6},
      {"shutdown", 1},
      {"socket", 1},
      {"write", 2}}},
    {"lost",
     {std::string(PeerNetwork::PeerAddress), "1", "0"},
     {{"close", 1},
      {"ioctl", 2},
      {"ppoll", 1},
      {"recvfrom", 1},
      {"sendto", 1},
      {"setsockopt", 5},
      {"shutdown", 1},
      {"socket", 1},
      {"write", 2}}},
};

// The first exchanges and loop turns do lazy start-up work; the last traced is unfinished.
constexpr std::size_t WarmUp = 3;
constexpr std::size_t TurnsWarmUp = 20;
constexpr std::size_t Exchanges = 200;
constexpr std::size_t Turns = 2000;

std::string TextOf(const TCalls& ACalls) {
    std::string text;
    for (const auto& [name, count] : ACalls) {
        text += name + " " + std::to_string(count) + ", ";
    }
    return text;
}

// The calls of each exchange in an strace log: from one socket() to the next.
std::vector<TCalls> ExchangesIn(const std::string& APath) {
    std::vector<TCalls> exchanges;
    std::ifstream trace(APath);
    for (std::string line; std::getline(trace, line);) {
        // After the process id, which strace writes once a second process is traced.
        const std::size_t start = line.find_first_not_of("0123456789 ");
        const std::size_t open = line.find('(', start);
        if (start == std::string::npos || open == std::string::npos || open == start ||
            line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_", start) != open) {
            continue;  // resumed calls, signals and exits
        }
        const std::string name = line.substr(start, open - start);
        if (name == "socket") {
            exchanges.emplace_back();
        }
        if (!exchanges.empty()) {
            ++exchanges.back()[name];
        }
    }
    return exchanges;
}

class Budget : public testing::Test {
protected:
    void SetUp() override {
        TARVEX_REQUIRE_NETNS();
        FNetwork = std::make_unique<PeerNetwork>();
        ASSERT_TRUE(FNetwork->Ok() && FNetwork->Peer().IgnoreEchoRequests());
    }

    std::unique_ptr<PeerNetwork> FNetwork;
};

TEST_F(Budget, EveryExchangeMakesExactlyItsSystemCalls) {
    TARVEX_REQUIRE(HaveTool("strace"), "needs strace");
    for (const TBudgetCase& budget : Cases) {
        SCOPED_TRACE(budget.Name);
        const std::string trace = "/tmp/" + UniqueName("trace");
        TSpawnOptions options;
        options.NetNamespace = FNetwork->Local().Name();
        options.ProgramPath = "/bin/sh";
        options.Arguments = {"-c", "exec strace -f -qq -o \"$@\"", "sh", trace, TARVEX_BINARY_PATH};
        options.Arguments.insert(options.Arguments.end(), budget.Arguments.begin(),
                                 budget.Arguments.end());
        std::vector<TCalls> exchanges;
        {
            TProcess tarvex(options);
            ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
            for (int wait = 0; wait < 300 && exchanges.size() < WarmUp + Exchanges + 1; ++wait) {
                tarvex.Collect(100);
                exchanges = ExchangesIn(trace);
            }
            // The traced program outlives a killed tracer.
            FNetwork->Local().KillProcesses();
        }
        std::filesystem::remove(trace);
        ASSERT_GT(exchanges.size(), WarmUp + Exchanges) << "too few exchanges traced in 30 s";
        std::size_t deviating = 0;
        for (std::size_t index = WarmUp; index < WarmUp + Exchanges; ++index) {
            if (exchanges[index] != budget.Calls && ++deviating <= 2) {
                ADD_FAILURE() << "exchange " << index << " made " << TextOf(exchanges[index])
                              << "the budget is " << TextOf(budget.Calls);
            }
        }
        EXPECT_EQ(deviating, 0U) << "of " << Exchanges << " exchanges";
    }
}

TEST_F(Budget, NoLoopTurnAllocatesOnceWarmedUp) {
    for (const TBudgetCase& budget : Cases) {
        SCOPED_TRACE(budget.Name);
        TSpawnOptions options;
        options.NetNamespace = FNetwork->Local().Name();
        options.Arguments = budget.Arguments;
        options.Environment.push_back("LD_PRELOAD=" TARVEX_ALLOC_COUNT_PATH);
        TProcess tarvex(options);
        ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
        // Standard input, output and error, the signal pipe's two ends, the exchange's socket.
        std::size_t descriptors = 0;
        const std::string fds = "/proc/" + std::to_string(tarvex.Pid()) + "/fd";
        for (int wait = 0; wait < 300 && CountOf(tarvex.Error(), "\n") <= TurnsWarmUp + Turns;
             ++wait) {
            tarvex.Collect(100);
            std::error_code gone;
            const auto entries = std::filesystem::directory_iterator(fds, gone);
            descriptors = std::max<std::size_t>(descriptors, std::distance(entries, {}));
        }
        // Line k holds the count when the k-th "Ping " was written: turn k runs up to line k+1.
        std::vector<long> counts;
        std::istringstream lines(tarvex.Error());
        for (long count = 0; lines >> count;) {
            counts.push_back(count);
        }
        ASSERT_GT(counts.size(), TurnsWarmUp + Turns) << "too few loop turns in 30 s";
        std::map<long, int> turnsByCount;
        for (std::size_t turn = TurnsWarmUp; turn < TurnsWarmUp + Turns; ++turn) {
            ++turnsByCount[counts[turn + 1] - counts[turn]];
        }
        EXPECT_EQ(turnsByCount, (std::map<long, int>{{0, Turns}}));
        EXPECT_LE(descriptors, 6U);
        EXPECT_EQ(CountOf(tarvex.Output(), "answered") > 0, std::string(budget.Name) == "answered");
    }
}

}  // namespace
}  // namespace tarvex::test
