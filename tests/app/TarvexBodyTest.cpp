#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
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

struct TBodyEnd {
    std::string Raised;
    int Presses = 0;
    std::string Output;
};

// Runs the body against 192.0.2.1 with its reply wait failing through AFailure, and presses
// Control-C every 300 ms (the alarm having had time to run) until the body ends. With
// AOutputFull every write blocks.
TBodyEnd RunBodyFailingWith(std::function<void()> AFailure, bool AOutputFull = false) {
    test::FakeStackScope fake;
    fake.Script().OnSelect = [&AFailure](std::int32_t) { AFailure(); };
    const test::TArgumentsGuard arguments({"tarvex", "-b", "192.0.2.1"});
    test::CaptureStdout capture;
    if (AOutputFull) {
        const int flags = fcntl(1, F_GETFL);
        fcntl(1, F_SETFL, flags | O_NONBLOCK);
        const std::string filler(4096, 'x');
        for (int chunk = 0; chunk < 1024 && write(1, filler.data(), filler.size()) > 0; ++chunk) {
        }
        fcntl(1, F_SETFL, flags);
    }
    std::atomic<bool> ended{false};
    std::atomic<int> presses{0};
    const pthread_t main = pthread_self();
    std::thread presser([&] {
        for (int tick = 1; tick <= 600 && !ended; ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (tick % 30 == 0 && !ended) {
                ++presses;
                pthread_kill(main, SIGINT);
            }
        }
    });
    TBodyEnd end;
    try {
        TarvexBody();
    } catch (const Exception& error) {
        end.Raised = error.ClassName();
    }
    ended = true;
    presser.join();
    end.Presses = presses;
    end.Output = capture.Text();
    return end;
}

TEST(TarvexBody, PressWhileAFailureIsOnItsWayLeavesTheAlarmToTheNextPress) {
    const TBodyEnd end = RunBodyFailingWith([] {
        raise(SIGINT);
        throw std::runtime_error("failed");
    });
    EXPECT_EQ(end.Raised, "EControlC");
    EXPECT_GE(end.Presses, 1) << "the first press ended the program";
    EXPECT_NE(end.Output.find("\n\nError occured ["), std::string::npos);
}

TEST(TarvexBody, PressWhileTheBannerIsBlockedStartsTheAlarm) {
    const TBodyEnd end = RunBodyFailingWith([] {}, true);
    EXPECT_EQ(end.Raised, "EControlC");
    EXPECT_GE(end.Presses, 2) << "the first press ended the program";
}

TEST(TarvexBody, PressWhileAPressIsOnItsWayEndsTheAlarm) {
    // The first press was taken in the wait; a quit came before the alarm started.
    const TBodyEnd end = RunBodyFailingWith([] {
        raise(SIGQUIT);
        throw EControlC();
    });
    EXPECT_EQ(end.Raised, "EQuit");
    EXPECT_EQ(end.Presses, 0);
    EXPECT_NE(end.Output.find("\n\nError occured ["), std::string::npos);
}

}  // namespace
}  // namespace tarvex
