// Heap allocations of echo exchanges, counted by replacing the global operator new of this test
// executable: once warmed up, an answered exchange allocates nothing (its packet areas live in
// the client, its reply texts reuse their capacity or fit in place).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "icmp/IdIcmpClient.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace {

std::atomic<bool> Counting{false};
std::atomic<long> Allocations{0};

void* CountedAllocation(std::size_t ASize) {
    if (Counting.load(std::memory_order_relaxed)) {
        Allocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* block = std::malloc(ASize == 0 ? 1 : ASize);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

// Counts the allocations made while it lives.
class AllocationCount {
public:
    AllocationCount() {
        Allocations.store(0);
        Counting.store(true);
    }
    ~AllocationCount() { Counting.store(false); }
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;
    long Stop() {
        Counting.store(false);
        return Allocations.load();
    }
};

}  // namespace

void* operator new(std::size_t ASize) { return CountedAllocation(ASize); }
void* operator new[](std::size_t ASize) { return CountedAllocation(ASize); }
void operator delete(void* ABlock) noexcept { std::free(ABlock); }
void operator delete[](void* ABlock) noexcept { std::free(ABlock); }
void operator delete(void* ABlock, std::size_t) noexcept { std::free(ABlock); }
void operator delete[](void* ABlock, std::size_t) noexcept { std::free(ABlock); }

namespace tarvex::test {

namespace {

constexpr int WarmUpExchanges = 5;
constexpr int CountedExchanges = 500;

}  // namespace

TEST(AllocationBudget, AnsweredExchangesAllocateNothingOnceWarm) {
    TARVEX_REQUIRE_NETNS();
    TestNamespace space("alloc");
    ASSERT_TRUE(space.Ok());
    ScopedNetnsEntry inside(space);
    ASSERT_TRUE(inside.Ok());

    TIdIcmpClient client(nullptr);
    client.SetHost("127.0.0.1");
    client.SetReceiveTimeout(1000);
    for (int i = 0; i < WarmUpExchanges; ++i) {
        client.PingHost();
        ASSERT_EQ(client.LastReply().Outcome, TEchoOutcome::eoReplied);
    }
    int answered = 0;
    AllocationCount count;
    for (int i = 0; i < CountedExchanges; ++i) {
        client.PingHost();
        answered += client.LastReply().Outcome == TEchoOutcome::eoReplied ? 1 : 0;
    }
    const long allocations = count.Stop();
    EXPECT_EQ(answered, CountedExchanges);
    EXPECT_EQ(allocations, 0) << static_cast<double>(allocations) / CountedExchanges
                              << " allocations per exchange";
}

TEST(AllocationBudget, TimedOutExchangesAllocateNothingOnceWarm) {
    TARVEX_REQUIRE_NETNS();
    PeerNetwork network;
    ASSERT_TRUE(network.Ok());
    ASSERT_TRUE(network.Peer().IgnoreEchoRequests());
    ScopedNetnsEntry inside(network.Local());
    ASSERT_TRUE(inside.Ok());

    // The peer stays silent, so every exchange waits out its millisecond.
    TIdIcmpClient client(nullptr);
    client.SetHost(std::string(PeerNetwork::PeerAddress));
    client.SetReceiveTimeout(1);
    for (int i = 0; i < WarmUpExchanges; ++i) {
        client.PingHost();
        ASSERT_EQ(client.LastReply().Outcome, TEchoOutcome::eoTimedOut);
    }
    int timedOut = 0;
    AllocationCount count;
    for (int i = 0; i < CountedExchanges; ++i) {
        client.PingHost();
        timedOut += client.LastReply().Outcome == TEchoOutcome::eoTimedOut ? 1 : 0;
    }
    const long allocations = count.Stop();
    EXPECT_EQ(timedOut, CountedExchanges);
    EXPECT_EQ(allocations, 0) << static_cast<double>(allocations) / CountedExchanges
                              << " allocations per exchange";
}

}  // namespace tarvex::test
