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

PeerNetwork::PeerNetwork() {
    const std::string local = "ip -n " + FLocal.Name() + " ";
    const std::string peer = "ip -n " + FPeer.Name() + " ";
    // Made inside the local namespace with the other end moved straight to the peer, so no name
    // shows outside.
    FOk = FLocal.Ok() && FPeer.Ok() &&
          Shell(local + "link add tl0a type veth peer name tl0b netns " + FPeer.Name()) == 0 &&
          Shell(local + "addr add " + std::string(LocalAddress) + "/24 dev tl0a") == 0 &&
          Shell(peer + "addr add " + std::string(PeerAddress) + "/24 dev tl0b") == 0 &&
          Shell(local + "link set tl0a up") == 0 && Shell(peer + "link set tl0b up") == 0;
}

bool PeerNetwork::AddRoute(const TestNamespace& ANamespace, std::string_view ARoute) {
    const bool ok = Shell("ip -n " + ANamespace.Name() + " route add " + std::string(ARoute)) == 0;
    FOk = FOk && ok;
    return ok;
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
