#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"
#include "util/IdGlobal.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

using TClock = std::chrono::steady_clock;

// Far longer than any test waits, so an early end can only be the signal.
constexpr std::int32_t LongSleepMs = 20000;
// Bound for "ended early": generous for sanitizer builds on a busy machine.
constexpr auto EarlyEnd = std::chrono::milliseconds(5000);

// Sends ASignal to the main thread from a helper thread after a short delay.
class TDelayedSignal {
public:
    explicit TDelayedSignal(int ASignal,
                            std::chrono::milliseconds ADelay = std::chrono::milliseconds(50))
        : FMain(pthread_self()), FThread([this, ASignal, ADelay] {
              std::this_thread::sleep_for(ADelay);
              pthread_kill(FMain, ASignal);
          }) {}
    ~TDelayedSignal() { FThread.join(); }
    TDelayedSignal(const TDelayedSignal&) = delete;
    TDelayedSignal& operator=(const TDelayedSignal&) = delete;

private:
    pthread_t FMain;
    std::thread FThread;
};

// No keyboard signal may be left over for the next test.
class SignalsTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CalledFromMainThread()); }
    void TearDown() override {
        try {
            SleepMs(0);
        } catch (const Exception& error) {
            ADD_FAILURE() << "left-over " << error.ClassName();
        }
    }
};

TEST_F(SignalsTest, ControlCDuringASleepRaisesControlC) {
    const auto start = TClock::now();
    {
        const TDelayedSignal signal(SIGINT);
        EXPECT_THROW_MSG(SleepMs(LongSleepMs), EControlC, "Control-C hit");
    }
    EXPECT_LT(TClock::now() - start, EarlyEnd);
}

TEST_F(SignalsTest, QuitDuringASleepRaisesQuit) {
    const TDelayedSignal signal(SIGQUIT);
    EXPECT_THROW_MSG(SleepMs(LongSleepMs), EQuit, "Quit key hit");
}

TEST_F(SignalsTest, ControlCDuringAReadinessWaitRaisesControlC) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const auto start = TClock::now();
    {
        const TDelayedSignal signal(SIGINT);
        fd_set read;
        FD_ZERO(&read);
        FD_SET(fds[0], &read);
        const timeval limit{LongSleepMs / 1000, 0};
        EXPECT_THROW_MSG(InterruptibleSelect(fds[0] + 1, &read, nullptr, nullptr, &limit),
                         EControlC, "Control-C hit");
    }
    EXPECT_LT(TClock::now() - start, EarlyEnd);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SignalsTest, ControlCEndsAWaitWithoutLimit) {
    const TDelayedSignal signal(SIGINT);
    EXPECT_THROW(InterruptibleSelect(0, nullptr, nullptr, nullptr, nullptr), EControlC);
}

TEST_F(SignalsTest, ProcessDirectedSignalReachesTheWaitingMainThread) {
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGINT);
    });
    EXPECT_THROW(SleepMs(LongSleepMs), EControlC);
    sender.join();
}

TEST_F(SignalsTest, SignalThatArrivedBeforeTheWaitStillEndsIt) {
    // Blocked outside waits, so it stays pending until the sleep starts.
    raise(SIGINT);
    const auto start = TClock::now();
    EXPECT_THROW(SleepMs(LongSleepMs), EControlC);
    EXPECT_LT(TClock::now() - start, EarlyEnd);
    raise(SIGQUIT);
    EXPECT_THROW(SleepMs(0), EQuit);
}

TEST_F(SignalsTest, BothKeyboardSignalsBeforeOneWaitRaiseOnce) {
    raise(SIGINT);
    raise(SIGQUIT);
    EXPECT_THROW(SleepMs(LongSleepMs), Exception);
    EXPECT_NO_THROW(SleepMs(0));
}

TEST_F(SignalsTest, AfterAHandlerCaughtItTheNextSignalRaisesAgain) {
    int caught = 0;
    for (int round = 0; round < 3; ++round) {
        try {
            raise(SIGINT);
            SleepMs(LongSleepMs);
        } catch (const EControlC&) {
            ++caught;
            // Inside the handler the exception is no longer on its way.
            raise(SIGINT);
            EXPECT_THROW(SleepMs(LongSleepMs), EControlC);
        }
    }
    EXPECT_EQ(caught, 3);
}

// Waits while the stack unwinds, with a keyboard signal pending.
struct TWaitDuringUnwind {
    ~TWaitDuringUnwind() {
        raise(SIGINT);
        SleepMs(LongSleepMs);
    }
};

TEST_F(SignalsTest, SignalWhileAnExceptionIsOnItsWayIsIgnored) {
    bool caughtOriginal = false;
    try {
        const TWaitDuringUnwind waiter;
        throw std::runtime_error("on its way");
    } catch (const std::runtime_error&) {
        caughtOriginal = true;
    }
    EXPECT_TRUE(caughtOriginal);
    EXPECT_NO_THROW(SleepMs(0));
}

TEST_F(SignalsTest, SleepMsZeroReturnsAtOnce) {
    const auto start = TClock::now();
    SleepMs(0);
    EXPECT_LT(TClock::now() - start, EarlyEnd);
}

TEST_F(SignalsTest, SleepMsSleepsAtLeastTheTimeAsked) {
    const auto start = TClock::now();
    SleepMs(30);
    EXPECT_GE(TClock::now() - start, std::chrono::milliseconds(29));
}

TEST_F(SignalsTest, NegativeSleepWrapsToAboutSeventyOneMinutes) {
    // Interrupted at once; a wrap to zero would instead return before the signal.
    const TDelayedSignal signal(SIGINT, std::chrono::milliseconds(300));
    const auto start = TClock::now();
    EXPECT_THROW(SleepMs(-1), EControlC);
    EXPECT_GE(TClock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(SignalsTest, ReadyDescriptorEndsTheWaitWithSelectsResult) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    fd_set read;
    FD_ZERO(&read);
    FD_SET(fds[0], &read);
    const timeval limit{5, 0};
    EXPECT_EQ(InterruptibleSelect(fds[0] + 1, &read, nullptr, nullptr, &limit), 1);
    EXPECT_TRUE(FD_ISSET(fds[0], &read));
    FD_ZERO(&read);
    FD_SET(fds[1], &read);
    const timeval poll{0, 0};
    EXPECT_EQ(InterruptibleSelect(fds[1] + 1, &read, nullptr, nullptr, &poll), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SignalsTest, NegativeTimeIsRefusedByTheSystem) {
    for (const timeval limit : {timeval{-1, 0}, timeval{0, -1}}) {
        errno = 0;
        EXPECT_EQ(InterruptibleSelect(0, nullptr, nullptr, nullptr, &limit), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST_F(SignalsTest, OtherThreadsWaitWithoutTakingKeyboardSignals) {
    raise(SIGINT);
    std::thread other([] {
        EXPECT_FALSE(CalledFromMainThread());
        EXPECT_NO_THROW(SleepMs(20));
        EXPECT_NO_THROW(RaisePendingSignal());
    });
    other.join();
    EXPECT_THROW(RaisePendingSignal(), EControlC);
}

TEST_F(SignalsTest, RaisePendingSignalIsQuietWithoutOne) { EXPECT_NO_THROW(RaisePendingSignal()); }

}  // namespace
}  // namespace tarvex
