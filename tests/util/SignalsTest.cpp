#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/E2eSupport.h"
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

// Where a signal of TSignalDuringWait goes.
enum class TSignalTarget : std::uint8_t {
    stMainThread = 0,   // pthread_kill of the main thread
    stProcess = 1,      // kill of the process
    stOtherThread = 2,  // raised on the sending thread, so only the pipe can wake the main one
};

// True once the thread ATid sits in a readiness wait, as /proc shows it.
bool WaitingForReadiness(pid_t ATid) {
    std::ifstream file("/proc/self/task/" + std::to_string(ATid) + "/syscall");
    long number = -1;
    file >> number;
    return file && (number == SYS_ppoll || number == SYS_poll || number == SYS_pselect6 ||
                    number == SYS_select);
}

// Sends ASignal from a helper thread once the main thread is waiting, so the signal comes
// during the wait and not before it.
class TSignalDuringWait {
public:
    explicit TSignalDuringWait(int ASignal, TSignalTarget ATarget = TSignalTarget::stMainThread)
        : FMain(pthread_self()), FMainTid(gettid()), FThread([this, ASignal, ATarget] {
              bool waiting = false;
              for (int i = 0; i < 5000 && !waiting; ++i) {
                  waiting = WaitingForReadiness(FMainTid);
                  if (!waiting) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }
              }
              if (!waiting) {
                  ADD_FAILURE() << "the main thread never waited";
              }
              if (ATarget == TSignalTarget::stMainThread) {
                  pthread_kill(FMain, ASignal);
              } else if (ATarget == TSignalTarget::stProcess) {
                  kill(getpid(), ASignal);
              } else {
                  raise(ASignal);
              }
          }) {}
    ~TSignalDuringWait() { FThread.join(); }
    TSignalDuringWait(const TSignalDuringWait&) = delete;
    TSignalDuringWait& operator=(const TSignalDuringWait&) = delete;

private:
    pthread_t FMain;
    pid_t FMainTid;
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

TEST_F(SignalsTest, KeyboardSignalDuringASleepRaisesItsException) {
    struct TCase {
        int Signal;
        TSignalTarget Target;
        std::string Class;
        std::string Message;
        std::int32_t SleepMs = LongSleepMs;
    };
    const TCase cases[] = {
        {SIGINT, TSignalTarget::stMainThread, "EControlC", "Control-C hit"},
        {SIGQUIT, TSignalTarget::stMainThread, "EQuit", "Quit key hit"},
        {SIGINT, TSignalTarget::stProcess, "EControlC", "Control-C hit"},
        // A negative sleep wraps to about seventy-one minutes, not to none at all.
        {SIGINT, TSignalTarget::stMainThread, "EControlC", "Control-C hit", -1},
    };
    for (const TCase& c : cases) {
        const auto start = TClock::now();
        try {
            const TSignalDuringWait signal(c.Signal, c.Target);
            SleepMs(c.SleepMs);
            ADD_FAILURE() << "no exception for " << c.Class;
        } catch (const Exception& error) {
            EXPECT_EQ(error.ClassName(), c.Class);
            EXPECT_EQ(error.Message(), c.Message);
        }
        EXPECT_LT(TClock::now() - start, EarlyEnd) << c.Class;
    }
}

TEST_F(SignalsTest, ReadinessWaitEndsWithPollsResultOrControlC) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pollfd read[2] = {{fds[0], POLLIN, 0}, {}};
    const auto start = TClock::now();
    {
        const TSignalDuringWait signal(SIGINT);
        const timespec limit{LongSleepMs / 1000, 0};
        EXPECT_THROW_MSG(InterruptiblePoll(read, 1, &limit), EControlC, "Control-C hit");
    }
    EXPECT_LT(TClock::now() - start, EarlyEnd);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    const timespec limit{5, 0};
    EXPECT_EQ(InterruptiblePoll(read, 1, &limit), 1);
    EXPECT_EQ(read[0].revents, POLLIN);
    read[0] = pollfd{fds[1], POLLIN, 0};
    const timespec poll{0, 0};
    EXPECT_EQ(InterruptiblePoll(read, 1, &poll), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SignalsTest, SignalThatArrivedBeforeTheWaitStillEndsIt) {
    // Handled at once; its record stays until the sleep takes it.
    raise(SIGINT);
    const auto start = TClock::now();
    EXPECT_THROW(SleepMs(LongSleepMs), EControlC);
    EXPECT_LT(TClock::now() - start, EarlyEnd);
    // Two quick presses are two presses: the second must still end the alarm the first starts.
    raise(SIGINT);
    raise(SIGQUIT);
    EXPECT_THROW(SleepMs(0), EControlC);
    EXPECT_THROW(SleepMs(0), EQuit);
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

// Renews the signal pipe for a scope with numbers past the select limit, as in a program that
// inherited a thousand descriptors, and renews it back at the end.
class THighSignalPipe {
public:
    THighSignalPipe() {
        if (getrlimit(RLIMIT_NOFILE, &FSaved) != 0) {
            return;
        }
        rlimit raised = FSaved;
        raised.rlim_cur = std::max<rlim_t>(raised.rlim_cur, 4096);
        if (raised.rlim_cur > raised.rlim_max || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            return;
        }
        FRaised = true;
        // Each open takes the lowest free number: once one gets FD_SETSIZE - 1, every number
        // below the limit is taken and the pipe's come after it.
        std::vector<int> fillers;
        for (int i = 0; i <= FD_SETSIZE; ++i) {
            const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                break;
            }
            fillers.push_back(fd);
            if (fd >= FD_SETSIZE - 1) {
                test::RenewSignalPipe();
                FOk = true;
                break;
            }
        }
        for (const int fd : fillers) {
            close(fd);
        }
    }
    ~THighSignalPipe() {
        if (FOk) {
            test::RenewSignalPipe();
        }
        if (FRaised) {
            setrlimit(RLIMIT_NOFILE, &FSaved);
        }
    }
    THighSignalPipe(const THighSignalPipe&) = delete;
    THighSignalPipe& operator=(const THighSignalPipe&) = delete;

    bool Ok() const noexcept { return FOk; }

private:
    rlimit FSaved{};
    bool FRaised = false;
    bool FOk = false;
};

TEST_F(SignalsTest, SignalPipePastTheSelectLimitStillEndsWaits) {
    const THighSignalPipe pipe;
    TARVEX_REQUIRE(pipe.Ok(), "cannot raise the descriptor limit past 1024");
    const auto start = TClock::now();
    {
        // Handled on another thread: the waiting main thread learns of it only by the pipe.
        const TSignalDuringWait signal(SIGINT, TSignalTarget::stOtherThread);
        EXPECT_THROW(SleepMs(LongSleepMs), EControlC);
    }
    {
        const TSignalDuringWait signal(SIGQUIT);
        EXPECT_THROW(SleepMs(LongSleepMs), EQuit);
    }
    EXPECT_LT(TClock::now() - start, EarlyEnd);
}

TEST_F(SignalsTest, LookupThreadNeverHandlesKeyboardSignals) {
    // Raised on the helper itself: with the signals blocked there it stays pending on the
    // helper and is lost with it, and nothing reaches the main thread.
    EXPECT_NO_THROW(RunInterruptibly([] { return raise(SIGINT) + raise(SIGQUIT); }));
}

// In a child, whose descriptor limit need not be restored.
TEST_F(SignalsTest, LookupThatCannotBeWaitedForFailsInsteadOfRunningDeaf) {
    const test::TRunResult run = test::RunInChild([] {
        // First with descriptors to spare and the same type of result, so that the sanitizers
        // check the types involved while they can still open the pipe they check with.
        try {
            RunInterruptibly([]() -> bool { throw Exception("warm-up"); });
        } catch (const Exception&) {
        }
        // The lowest free number becomes the limit: no new descriptor can be opened.
        rlimit lowered{};
        const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (lowestFree < 0 || close(lowestFree) != 0 || getrlimit(RLIMIT_NOFILE, &lowered) != 0) {
            return 2;
        }
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        bool ran = false;
        try {
            if (setrlimit(RLIMIT_NOFILE, &lowered) == 0) {
                RunInterruptibly([&ran] { return ran = true; });
            }
        } catch (const Exception& error) {
            std::fputs(error.Message().c_str(), stdout);
        }
        return ran ? 3 : 0;
    });
    EXPECT_EQ(run.ExitCode(), 0) << run.Error;
    EXPECT_EQ(run.Output, "Cannot create an event for the name lookup");
}

}  // namespace
}  // namespace tarvex
