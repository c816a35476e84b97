#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "util/SyncObjs.h"

namespace tarvex {
namespace {

using namespace std::chrono_literals;

TEST(CriticalSection, OtherThreadWaitsUntilEveryLockIsUndone) {
    TCriticalSection section;
    std::atomic<bool> entered{false};
    section.Lock();
    section.Lock();
    std::thread other([&] {
        section.Lock();
        entered = true;
        section.Unlock();
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(entered);
    section.Unlock();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(entered);
    section.Unlock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST(CriticalSection, GuardReleasesTheSectionWhenCodeRaises) {
    TCriticalSection section;
    EXPECT_THROW(
        {
            const TLockGuard guard(section);
            throw std::runtime_error("inside");
        },
        std::runtime_error);
    auto other = std::async(std::launch::async, [&section] {
        const TLockGuard guard(section);
        return true;
    });
    ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(other.get());
}

}  // namespace
}  // namespace tarvex
