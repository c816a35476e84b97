// Name look-ups run in a child process with its own mount, host-name and network namespaces,
// private hosts/resolv.conf/nsswitch.conf files bind-mounted over the system's, so no query
// can reach the machine's resolver.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "net/IdException.h"
#include "net/IdStackLinux.h"
#include "tests/support/E2eSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using TFailures = std::vector<std::string>;
using TIsolatedBody = std::function<void(TFailures&)>;

bool WriteFile(const std::string& APath, const std::string& AText) {
    const int fd = open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        return false;
    }
    const bool written =
        write(fd, AText.data(), AText.size()) == static_cast<ssize_t>(AText.size());
    close(fd);
    return written;
}

bool Exists(const char* APath) {
    struct stat info {};
    return stat(APath, &info) == 0;
}

// Bind-mounts ASource over ATarget; a missing target is left alone (glibc then uses its
// defaults, which the network namespace keeps local).
bool Cover(const std::string& ASource, const char* ATarget) {
    if (!Exists(ATarget)) {
        return true;
    }
    return mount(ASource.c_str(), ATarget, nullptr, MS_BIND, nullptr) == 0;
}

// Child side: isolate, then run the body; the failures go to standard output, one a line.
int RunIsolatedBody(const std::string& ADirectory, const std::string& AHostName,
                    const TIsolatedBody& ABody) {
    TFailures failures;
    if (unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWNET) != 0) {
        failures.push_back("unshare failed, errno " + std::to_string(errno));
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        failures.push_back("making mounts private failed");
    } else if (!Cover(ADirectory + "/hosts", "/etc/hosts") ||
               !Cover(ADirectory + "/resolv.conf", "/etc/resolv.conf") ||
               !Cover(ADirectory + "/nsswitch.conf", "/etc/nsswitch.conf") ||
               !Cover(ADirectory + "/host.conf", "/etc/host.conf")) {
        failures.push_back("bind mount failed, errno " + std::to_string(errno));
    } else if (sethostname(AHostName.data(), AHostName.size()) != 0) {
        failures.push_back("sethostname failed");
    } else {
        try {
            ABody(failures);
        } catch (const Exception& e) {
            failures.push_back(std::string("unexpected ") + e.ClassName() + ": " + e.Message());
        } catch (...) {
            failures.push_back("unexpected exception");
        }
    }
    for (const std::string& failure : failures) {
        std::printf("%s\n", failure.c_str());
    }
    return failures.empty() ? 0 : 1;
}

// Runs ABody in an isolated child whose /etc/hosts is AHosts and whose host name is
// AHostName; returns what went wrong there.
TFailures RunIsolated(const std::string& AHosts, const std::string& AHostName,
                      const TIsolatedBody& ABody) {
    const std::string directory = "/tmp/" + test::UniqueName("resolver");
    if (mkdir(directory.c_str(), 0755) != 0) {
        return {"cannot create " + directory};
    }
    TFailures failures;
    if (!WriteFile(directory + "/hosts", AHosts) || !WriteFile(directory + "/resolv.conf", "") ||
        !WriteFile(directory + "/nsswitch.conf", "hosts: files\n") ||
        !WriteFile(directory + "/host.conf", "multi on\n")) {
        failures.push_back("cannot write the private resolver files");
    } else {
        const test::TRunResult run =
            test::RunInChild([&] { return RunIsolatedBody(directory, AHostName, ABody); });
        if (!run.Succeeded()) {
            failures.push_back("child failed: " + run.Output + run.Error);
        }
    }
    for (const char* name : {"hosts", "resolv.conf", "nsswitch.conf", "host.conf"}) {
        unlink((directory + "/" + name).c_str());
    }
    rmdir(directory.c_str());
    return failures;
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

std::string Joined(const TFailures& AFailures) {
    std::string text;
    for (const std::string& failure : AFailures) {
        text += failure + "\n";
    }
    return text;
}

constexpr const char* Hosts =
    "127.0.0.1 localhost\n"
    "127.0.0.9 localhost.\n"
    "192.0.2.10 watched.tvx\n"
    "192.0.2.11 watched.tvx\n"
    "192.0.2.21 tvxhost\n"
    "192.0.2.22 tvxhost\n";

TEST(Resolver, NamesResolveToTheFirstAddressListedAndAddressesToTheirOfficialName) {
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
    });
    EXPECT_TRUE(failures.empty()) << Joined(failures);
}

TEST(Resolver, UnknownNamesAndAddressesRaiseTheResolverCode) {
    TARVEX_REQUIRE_ROOT();
    const TFailures failures = RunIsolated(Hosts, "tvxhost", [](TFailures& AFailures) {
        TIdStackLinux stack;
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
    EXPECT_TRUE(failures.empty()) << Joined(failures);
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
    EXPECT_TRUE(failures.empty()) << Joined(failures);
    // An own name the resolver does not know raises.
    const TFailures nameless = RunIsolated(Hosts, "nameless", [](TFailures& AFailures) {
        TIdStackLinux stack;
        try {
            stack.GetFirstLocalAddress();
            AFailures.push_back("no exception");
        } catch (const EIdSocketError&) {
        }
    });
    EXPECT_TRUE(nameless.empty()) << Joined(nameless);
}

}  // namespace
}  // namespace tarvex
