#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/Tarvex.h"
#include "tests/support/FakeStack.h"
#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

TEST(TarvexBody, PressWhileAFailureIsOnItsWayLeavesTheAlarmToTheNextPress) {
    test::FakeStackScope fake;
    // The reply wait fails with a Control-C recorded and not yet taken.
    fake.Script().OnSelect = [](std::int32_t) {
        raise(SIGINT);
        throw std::runtime_error("failed");
    };
    const test::TArgumentsGuard arguments({"tarvex", "-b", "192.0.2.1"});
    test::CaptureStdout capture;
    std::atomic<bool> ended{false};
    std::atomic<int> presses{0};
    const pthread_t main = pthread_self();
    // Presses again every 300 ms, the alarm having had time to run, until the body ends.
    std::thread presser([&] {
        for (int tick = 1; tick <= 600 && !ended; ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (tick % 30 == 0 && !ended) {
                ++presses;
                pthread_kill(main, SIGINT);
            }
        }
    });
    EXPECT_THROW(TarvexBody(), EControlC);
    ended = true;
    presser.join();
    EXPECT_GE(presses, 1) << "the first press ended the program";
    EXPECT_NE(capture.Text().find("\n\nError occured ["), std::string::npos);
}

}  // namespace
}  // namespace tarvex
