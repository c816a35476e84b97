#pragma once

#include <string>
#include <string_view>

#include "tests/support/TestSupport.h"

// Network namespaces for tests that send real packets. Every address a test uses lives inside
// namespaces it made itself; they are removed when the objects go, also when the test fails.
// All of this needs root and the ip tool: start such a test with TARVEX_REQUIRE_NETNS().

namespace tarvex::test {

// Quotes a text for sh as one word.
std::string ShellQuote(std::string_view AText);

// A fresh network namespace with a unique name and its loopback interface up; deleted by the
// destructor. Check Ok() before use.
class TestNamespace {
public:
    explicit TestNamespace(std::string_view ATag = "ns");
    ~TestNamespace();
    TestNamespace(const TestNamespace&) = delete;
    TestNamespace& operator=(const TestNamespace&) = delete;

    // True when the namespace exists and its loopback interface is up.
    bool Ok() const noexcept { return FOk; }
    const std::string& Name() const noexcept { return FName; }
    // /run/netns/<name>, what setns() opens.
    std::string Path() const;

    // Runs the command with sh inside the namespace; its exit status, or -1.
    int Exec(std::string_view ACommand) const;

    // Writes one sysctl of this namespace (net.* keys are per namespace).
    bool SetSysctl(std::string_view AKey, std::string_view AValue) const;
    // The kernel stops answering echo requests: a silent host.
    bool IgnoreEchoRequests() const;
    bool EnableForwarding() const;
    // Kills every process inside, such as a traced program whose tracer was killed.
    void KillProcesses() const;

private:
    std::string FName;
    bool FOk = false;
    bool FCreated = false;
};

// A local namespace and a peer joined by a veth pair ("tl0a" in the local one, "tl0b" in the
// peer), removed with the object. Ok() is false once any step failed.
class PeerNetwork {
public:
    static constexpr std::string_view LocalAddress = "10.77.0.1";
    static constexpr std::string_view PeerAddress = "10.77.0.2";

    PeerNetwork();
    PeerNetwork(const PeerNetwork&) = delete;
    PeerNetwork& operator=(const PeerNetwork&) = delete;

    TestNamespace& Local() noexcept { return FLocal; }
    TestNamespace& Peer() noexcept { return FPeer; }
    // Adds a route inside a namespace: "ip route add <route>".
    bool AddRoute(const TestNamespace& ANamespace, std::string_view ARoute);
    bool Ok() const noexcept { return FOk; }

private:
    TestNamespace FLocal{"lo"};
    TestNamespace FPeer{"pe"};
    bool FOk = false;
};

// Moves the calling thread into a namespace (so sockets it makes belong there) and back to
// the namespace it came from on destruction. Other threads are not affected. Declare it after
// the namespace so it is left before the namespace is deleted.
class ScopedNetnsEntry {
public:
    explicit ScopedNetnsEntry(const TestNamespace& ANamespace);
    ~ScopedNetnsEntry();
    ScopedNetnsEntry(const ScopedNetnsEntry&) = delete;
    ScopedNetnsEntry& operator=(const ScopedNetnsEntry&) = delete;

    bool Ok() const noexcept { return FEntered; }

private:
    int FOriginal = -1;
    bool FEntered = false;
};

}  // namespace tarvex::test

// Skips (or fails, when every test is required) unless namespaces can be made.
#define TARVEX_REQUIRE_NETNS()                                                          \
    do {                                                                                \
        TARVEX_REQUIRE_ROOT();                                                          \
        TARVEX_REQUIRE(::tarvex::test::HaveTool("ip"), "needs the ip tool (iproute2)"); \
    } while (false)
