// Name look-ups run in a child process with its own mount, host-name and network namespaces and
// private resolver files, so no query can reach the machine's resolver.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/IdException.h"
#include "net/IdStackLinux.h"
#include "tests/support/E2eSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using TFailures = std::vector<std::string>;
using TIsolatedBody = std::function<void(TFailures&)>;

// Runs ABody in a child with mount, host-name and network namespaces of its own, whose
// /etc/hosts is AHosts, consulted alone, and whose host name is AHostName; returns what went
// wrong there.
TFailures RunIsolated(const std::string& AHosts, const std::string& AHostName,
                      const TIsolatedBody& ABody) {
    const test::TResolverFiles files(AHosts, "127.0.0.1");
    std::ofstream(files.NsSwitchPath(), std::ios::trunc) << "hosts: files\n";
    const test::TRunResult run = test::RunInChild([&] {
        TFailures failures;
        const std::array<std::pair<std::string, const char*>, 3> covers{{
            {files.HostsPath(), "/etc/hosts"},
            {files.ResolvConfPath(), "/etc/resolv.conf"},
            {files.NsSwitchPath(), "/etc/nsswitch.conf"},
        }};
        bool isolated = unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWNET) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        sethostname(AHostName.data(), AHostName.size()) == 0;
        for (const auto& [source, target] : covers) {
            isolated = isolated && mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
        }
        if (!isolated) {
            failures.push_back("cannot isolate the child, errno " + std::to_string(errno));
        } else {
            ABody(failures);
        }
        for (const std::string& failure : failures) {
            std::printf("%s\n", failure.c_str());
        }
        return failures.empty() ? 0 : 1;
    });
    if (!run.Succeeded()) {
        return {"child failed: " + run.Output + run.Error};
    }
    return {};
}

void Expect(TFailures& AFailures, bool ACondition, const std::string& AWhat) {
    if (!ACondition) {
        AFailures.push_back(AWhat);
    }
}

template <typename TCall>
void ExpectSocketError(TFailures& AFailures, const std::string& AWhat, std::int32_t ANumber,
                       const std::string& AMessage, TCall ACall) {
    try {
        ACall();
        AFailures.push_back(AWhat + ": no exception");
    } catch (const EIdSocketError& e) {
        Expect(AFailures, e.ErrorNumber() == ANumber,
               AWhat + ": error number " + std::to_string(e.ErrorNumber()));
        Expect(AFailures, e.Message() == AMessage, AWhat + ": message " + e.Message());
    }
}

constexpr const char* Hosts =
    "127.0.0.1 localhost\n"
    "127.0.0.9 localhost.\n"
    "192.0.2.10 watched.tvx\n"
    "192.0.2.11 watched.tvx\n"
    "192.0.2.21 tvxhost\n"
    "192.0.2.22 tvxhost\n";

TEST(Resolver, HostsFileGivesTheFirstAddressAndTheOfficialNameAndUnknownOnesRaise) {
    TARVEX_REQUIRE_ROOT();
    const TFailures failures = RunIsolated(Hosts, "tvxhost", [](TFailures& AFailures) {
        TIdStackLinux stack;
        Expect(AFailures, stack.SysHostAddressByName("watched.tvx") == "192.0.2.10",
               "SysHostAddressByName(watched.tvx)");
        Expect(AFailures, stack.ResolveAddress("watched.tvx") == TIdIn4Address{192, 0, 2, 10},
               "ResolveAddress(watched.tvx)");
        // Only the bare word is special; with a dot it is an ordinary name.
        Expect(AFailures, stack.ResolveAddress("localhost.") == TIdIn4Address{127, 0, 0, 9},
               "ResolveAddress(localhost.)");
        Expect(AFailures, stack.ResolveAddress("LocalHost") == TIdIn4Address{127, 0, 0, 1},
               "ResolveAddress(LocalHost)");
        const std::string name = stack.SysHostNameByAddress("192.0.2.11");
        Expect(AFailures, name == "watched.tvx", "SysHostNameByAddress gave " + name);
        // What the hosts file does not list raises the resolver's code.
        ExpectSocketError(AFailures, "missing name", 1, "Host not found.",
                          [&] { stack.SysHostAddressByName("missing.tvx"); });
        ExpectSocketError(AFailures, "missing name resolved", 1, "Host not found.",
                          [&] { stack.ResolveAddress("missing.tvx"); });
        ExpectSocketError(AFailures, "unlisted address", 1, "Host not found.",
                          [&] { stack.SysHostNameByAddress("192.0.2.99"); });
        // inet_addr reads this as 255.255.255.255, which the hosts file does not list.
        ExpectSocketError(AFailures, "unreadable address", 1, "Host not found.",
                          [&] { stack.SysHostNameByAddress("not-an-address"); });
    });
    EXPECT_EQ(failures, TFailures{});
}

TEST(Resolver, LocalAddressesAreThoseOfTheHostNameInTheResolversOrder) {
    TARVEX_REQUIRE_ROOT();
    const TFailures failures = RunIsolated(Hosts, "tvxhost", [](TFailures& AFailures) {
        TIdStackLinux stack;
        Expect(AFailures, stack.SysHostName() == "tvxhost", "SysHostName " + stack.SysHostName());
        Expect(AFailures, stack.GetFirstLocalAddress() == "192.0.2.21",
               "GetFirstLocalAddress " + stack.GetFirstLocalAddress());
        const TStringList& list = stack.GetLocalAddressList();
        Expect(
            AFailures,
            list.Count() == 2 && list.Strings(0) == "192.0.2.21" && list.Strings(1) == "192.0.2.22",
            "GetLocalAddressList has " + std::to_string(list.Count()) + " entries");
    });
    EXPECT_EQ(failures, TFailures{});
    // An own name the resolver does not know raises.
    const TFailures nameless = RunIsolated(Hosts, "nameless", [](TFailures& AFailures) {
        TIdStackLinux stack;
        try {
            stack.GetFirstLocalAddress();
            AFailures.push_back("no exception");
        } catch (const EIdSocketError&) {
        }
    });
    EXPECT_EQ(nameless, TFailures{});
}

}  // namespace
}  // namespace tarvex
