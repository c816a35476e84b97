#include "tests/support/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tarvex::test {

std::string ShellQuote(std::string_view AText) {
    std::string quoted = "'";
    for (const char c : AText) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

TestNamespace::TestNamespace(std::string_view ATag) : FName(UniqueName(ATag)) {
    FCreated = Shell("ip netns add " + FName) == 0;
    FOk = FCreated && Shell("ip -n " + FName + " link set lo up") == 0;
}

TestNamespace::~TestNamespace() {
    if (FCreated) {
        KillProcesses();
        Shell("ip netns delete " + FName + " >/dev/null 2>&1");
    }
}

std::string TestNamespace::Path() const { return "/run/netns/" + FName; }

int TestNamespace::Exec(std::string_view ACommand) const {
    return Shell("ip netns exec " + FName + " sh -c " + ShellQuote(ACommand));
}

bool TestNamespace::SetSysctl(std::string_view AKey, std::string_view AValue) const {
    return Exec("sysctl -q -w " + std::string(AKey) + "=" + std::string(AValue)) == 0;
}

bool TestNamespace::IgnoreEchoRequests() const {
    return SetSysctl("net.ipv4.icmp_echo_ignore_all", "1");
}

void TestNamespace::KillProcesses() const {
    Shell("ip netns pids " + FName + " | xargs -r kill -KILL");
}

bool TestNamespace::EnableForwarding() const { return SetSysctl("net.ipv4.ip_forward", "1"); }

TestNamespace& TestNetwork::AddNamespace(std::string_view ATag) {
    FNamespaces.push_back(std::make_unique<TestNamespace>(ATag));
    FOk = FOk && FNamespaces.back()->Ok();
    return *FNamespaces.back();
}

bool TestNetwork::Link(const TestNamespace& A, std::string_view AAddress, const TestNamespace& B,
                       std::string_view BAddress) {
    const std::string number = std::to_string(FLinks++);
    const std::string endA = "tl" + number + "a";
    const std::string endB = "tl" + number + "b";
    // Made inside A with the other end moved straight to B, so no name shows outside.
    const bool ok =
        A.Ok() && B.Ok() &&
        Shell("ip -n " + A.Name() + " link add " + endA + " type veth peer name " + endB +
              " netns " + B.Name()) == 0 &&
        Shell("ip -n " + A.Name() + " addr add " + std::string(AAddress) + " dev " + endA) == 0 &&
        Shell("ip -n " + B.Name() + " addr add " + std::string(BAddress) + " dev " + endB) == 0 &&
        Shell("ip -n " + A.Name() + " link set " + endA + " up") == 0 &&
        Shell("ip -n " + B.Name() + " link set " + endB + " up") == 0;
    FOk = FOk && ok;
    return ok;
}

bool TestNetwork::AddRoute(const TestNamespace& ANamespace, std::string_view ARoute) {
    const bool ok = Shell("ip -n " + ANamespace.Name() + " route add " + std::string(ARoute)) == 0;
    FOk = FOk && ok;
    return ok;
}

PeerNetwork::PeerNetwork() : FLocal(&AddNamespace("lo")), FPeer(&AddNamespace("pe")) {
    Link(*FLocal, std::string(LocalAddress) + "/24", *FPeer, std::string(PeerAddress) + "/24");
}

ScopedNetnsEntry::ScopedNetnsEntry(const TestNamespace& ANamespace) {
    FOriginal = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (FOriginal < 0 || !ANamespace.Ok()) {
        return;
    }
    const int target = open(ANamespace.Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0) {
        return;
    }
    FEntered = setns(target, CLONE_NEWNET) == 0;
    close(target);
}

ScopedNetnsEntry::~ScopedNetnsEntry() {
    if (FEntered && setns(FOriginal, CLONE_NEWNET) != 0) {
        // Every later test would run in the wrong namespace; stop here instead.
        std::fputs("cannot return to the original network namespace\n", stderr);
        std::abort();
    }
    if (FOriginal >= 0) {
        close(FOriginal);
    }
}

}  // namespace tarvex::test
