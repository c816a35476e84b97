#include "util/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "util/Console.h"
#include "util/IdGlobal.h"
#include "util/SysUtils.h"

namespace tarvex {

namespace {

// Shared by the handler and the main thread; lock-free, so the handler may use it.
using TSignalWord = std::atomic<int>;
static_assert(TSignalWord::is_always_lock_free);

// The recorded keyboard signal (0: none) and one that came before it was taken: two quick
// presses are a press each, the second ending the alarm the first started.
constinit TSignalWord RecordedSignal{0};
constinit TSignalWord FollowingSignal{0};

// The wake pipe, non-blocking at both ends so neither the handler nor a drain can block.
constinit TSignalWord WakeRead{-1};
constinit TSignalWord WakeWrite{-1};

extern "C" void RecordKeyboardSignal(int ASignal) {
    int none = 0;
    if (!RecordedSignal.compare_exchange_strong(none, ASignal)) {
        // A second press wakes a write that waits for it to end a line (a third cannot matter).
        none = 0;
        if (!FollowingSignal.compare_exchange_strong(none, ASignal)) {
            return;
        }
    }
    const int savedErrno = errno;
    const char byte = 0;
    // A full pipe wakes every wait already, so a failed write loses nothing.
    const ssize_t ignored = write(WakeWrite.load(), &byte, 1);
    static_cast<void>(ignored);
    errno = savedErrno;
}

sigset_t KeyboardSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

constexpr int FirstOwnDescriptor = 3;

// A standard stream closed at start would let the pipe stand in for the output. The ends go
// above 2, and each free standard number gets a read-only placeholder, so a write there fails
// with EBADF as on a closed stream and nothing opened later takes the number.
bool MoveAboveStandardStreams(int (&AFds)[2]) noexcept {
    for (int& fd : AFds) {
        if (fd < FirstOwnDescriptor) {
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, FirstOwnDescriptor);
            if (moved < 0) {
                return false;
            }
            close(fd);
            fd = moved;
        }
    }
    for (int round = 0; round < FirstOwnDescriptor; ++round) {
        int placeholder = open("/dev/null", O_RDONLY);
        if (placeholder < 0) {
            // Without /dev/null the pipe's read end serves: writing to it fails the same way.
            placeholder = fcntl(AFds[0], F_DUPFD, 0);
        }
        if (placeholder < 0) {
            return false;
        }
        if (placeholder >= FirstOwnDescriptor) {
            close(placeholder);
            break;
        }
    }
    return true;
}

bool MakeWakePipe() noexcept {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return false;
    }
    // New descriptors take the lowest free numbers: ends above 2 prove the standard streams open.
    if ((fds[0] < FirstOwnDescriptor || fds[1] < FirstOwnDescriptor) &&
        !MoveAboveStandardStreams(fds)) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    WakeRead = fds[0];
    WakeWrite = fds[1];
    return true;
}

void DrainWakePipe() noexcept {
    char bytes[16];
    while (read(WakeRead.load(), bytes, sizeof bytes) > 0) {
    }
}

// Either record may hold the signal: a press can land while the other is being taken.
bool SignalRecorded() noexcept { return RecordedSignal.load() != 0 || FollowingSignal.load() != 0; }

// The keyboard signals blocked in the calling thread for a scope, then the mask as it was.
class TKeyboardSignalsBlocked {
public:
    TKeyboardSignalsBlocked() noexcept {
        const sigset_t keyboard = KeyboardSignals();
        pthread_sigmask(SIG_BLOCK, &keyboard, &FPrevious);
    }
    ~TKeyboardSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr); }
    TKeyboardSignalsBlocked(const TKeyboardSignalsBlocked&) = delete;
    TKeyboardSignalsBlocked& operator=(const TKeyboardSignalsBlocked&) = delete;

private:
    sigset_t FPrevious{};
};

// Shared by the waiting thread and the helper, so an abandoned helper still has it. The helper
// counts the event Done up when its work is over.
struct THelperState {
    THelperState() = default;
    ~THelperState() {
        if (Done >= 0) {
            close(Done);
        }
    }
    THelperState(const THelperState&) = delete;
    THelperState& operator=(const THelperState&) = delete;

    std::function<void()> Work;
    std::exception_ptr Failure;
    int Done = eventfd(0, EFD_CLOEXEC);
};

// The recorded signal (0: none); the following one moves up. The handler can run only between
// these steps and keeps the order.
int TakeOneRecord() noexcept {
    const int signal = RecordedSignal.exchange(FollowingSignal.exchange(0));
    // None recorded, yet a following one just moved up (it came while an earlier one was taken).
    return signal != 0 ? signal : RecordedSignal.exchange(0);
}

// Raises the recorded signal; true when dropped for an exception on its way, false if none.
[[gnu::cold]] bool RaiseRecordedSignal() {
    const int signal = TakeOneRecord();
    if (signal == 0) {
        return false;
    }
    // Cleared before the drain: a signal in between leaves its record for the next wait.
    DrainWakePipe();
    if (std::uncaught_exceptions() > 0) {
        return true;
    }
    if (signal == SIGQUIT) {
        throw EQuit();
    }
    throw EControlC();
}

// RaiseRecordedSignal on the main thread; cheap when none is recorded, as at every wait.
inline bool TakeRecordedSignal() {
    return SignalRecorded() && CalledFromMainThread() && RaiseRecordedSignal();
}

}  // namespace

void InstallKeyboardSignals() {
    const int oldRead = WakeRead.load();
    const int oldWrite = WakeWrite.load();
    // Made before the old one is closed, so it never takes the old one's numbers.
    if (!MakeWakePipe()) {
        throw Exception("Cannot create the signal pipe");
    }
    for (const int fd : {oldRead, oldWrite}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    struct sigaction action {};
    action.sa_handler = &RecordKeyboardSignal;
    action.sa_mask = KeyboardSignals();
    action.sa_flags = 0;  // no SA_RESTART: a blocking call must end when one arrives
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGQUIT, &action, nullptr) != 0) {
        throw Exception("Cannot install the keyboard signal handlers");
    }
    // An inherited blocked mask would keep them from ending anything; this call cannot fail.
    const sigset_t keyboard = KeyboardSignals();
    pthread_sigmask(SIG_UNBLOCK, &keyboard, nullptr);
}

int InterruptiblePoll(pollfd* AFds, nfds_t ACount, const timespec* ATimeout) {
    const int wake = WakeRead.load();
    if (!CalledFromMainThread() || wake < 0) {
        return ppoll(AFds, ACount, ATimeout, nullptr);
    }
    // A dropped signal still ends the wait, as one arriving during it would.
    if (TakeRecordedSignal()) {
        errno = EINTR;
        return -1;
    }
    AFds[ACount] = pollfd{wake, POLLIN, 0};
    int result = ppoll(AFds, ACount + 1, ATimeout, nullptr);
    const int savedErrno = errno;
    if (result > 0 && AFds[ACount].revents != 0) {
        --result;
        DrainWakePipe();
    }
    if (TakeRecordedSignal() && result == 0) {
        errno = EINTR;
        return -1;
    }
    errno = savedErrno;
    return result;
}

void SleepMs(std::int32_t AMilliseconds) {
    const std::uint32_t microseconds = static_cast<std::uint32_t>(AMilliseconds) * 1000U;
    timespec pause{};
    pause.tv_sec = static_cast<time_t>(microseconds / 1000000U);
    pause.tv_nsec = static_cast<long>(microseconds % 1000000U) * 1000L;
    pollfd wake[1];
    InterruptiblePoll(wake, 0, &pause);
}

// Waits as a blocking write would: true when ADescriptor takes bytes (or has an error); false
// with EINTR when a keyboard signal is recorded on the main thread first, or with errno.
// True when a recorded press ends a write on the main thread: once part of a line is out, only
// a second press does, so that one press never cuts a line.
bool PressEndsWrite(bool ALineOpen) noexcept {
    return (ALineOpen ? RecordedSignal.load() != 0 && FollowingSignal.load() != 0
                      : SignalRecorded()) &&
           CalledFromMainThread();
}

bool WaitForRoom(int ADescriptor, bool ALineOpen) noexcept {
    const int wake = WakeRead.load();
    const bool watchWake = wake >= 0 && CalledFromMainThread();
    for (;;) {
        if (watchWake && PressEndsWrite(ALineOpen)) {
            errno = EINTR;
            return false;
        }
        pollfd entries[2] = {{ADescriptor, POLLOUT, 0}, {wake, POLLIN, 0}};
        const int result = poll(entries, watchWake ? 2 : 1, -1);
        if (result < 0 && errno != EINTR) {
            return false;
        }
        if (result > 0 && entries[0].revents != 0) {
            return true;
        }
        if (result > 0) {
            // A byte left from a record already taken; the record is checked after the drain.
            DrainWakePipe();
        }
    }
}

ssize_t InterruptibleWrite(int ADescriptor, const void* ABytes, std::size_t ACount, bool ALineOpen,
                           bool& ACutShort) noexcept {
    ACutShort = false;
    if (PressEndsWrite(ALineOpen)) {
        // The signal came before the write: it ends the write only if the write would block.
        pollfd room{ADescriptor, POLLOUT, 0};
        if (poll(&room, 1, 0) == 0) {
            ACutShort = true;
            errno = EINTR;
            return -1;
        }
    }
    // A file left non-blocking may take only part: the rest follows, so lines stay whole.
    const auto* bytes = static_cast<const char*>(ABytes);
    std::size_t done = 0;
    for (;;) {
        const ssize_t written = write(ADescriptor, bytes + done, ACount - done);
        const bool lineOpen = ALineOpen || done > 0;
        if (written == -1) {
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitForRoom(ADescriptor, lineOpen)) {
                continue;
            }
            if (errno == EINTR && !PressEndsWrite(lineOpen)) {
                continue;
            }
            ACutShort = errno == EINTR;
            return done > 0 && ACutShort ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<std::size_t>(written);
        if (done >= ACount) {
            return static_cast<ssize_t>(done);
        }
        if (PressEndsWrite(true)) {
            ACutShort = true;
            return static_cast<ssize_t>(done);
        }
    }
}

void RaisePendingSignal() { TakeRecordedSignal(); }

void RunWithAlarm(const std::function<void(const TLineWriter&)>& AOpening,
                  const std::function<void()>& AMonitor, const std::function<void()>& AAlarm) {
    bool pressed = false;
    AOpening([&pressed](std::string_view ALine) {
        if (pressed) {
            return;
        }
        try {
            ConsoleWriteLine(ALine);
        } catch (const EControlC&) {
            pressed = true;
        } catch (const EQuit&) {
            pressed = true;
        }
    });
    try {
        if (!pressed) {
            AMonitor();
        }
    } catch (const EControlC&) {
    } catch (const EQuit&) {
    } catch (...) {
        // Forgets one recorded press, without raising it.
        if (CalledFromMainThread() && TakeOneRecord() != 0) {
            DrainWakePipe();
        }
    }
    AAlarm();
}

void RunOnHelperThread(std::function<void()> AWork) {
    if (!CalledFromMainThread()) {
        AWork();
        return;
    }
    auto state = std::make_shared<THelperState>();
    state->Work = std::move(AWork);
    if (state->Done < 0) {
        throw Exception("Cannot create an event for the name lookup");
    }
    std::thread helper;
    try {
        // The helper inherits the blocked mask, so the handler only runs on the main thread.
        const TKeyboardSignalsBlocked blocked;
        helper = std::thread([state] {
            try {
                state->Work();
            } catch (...) {
                state->Failure = std::current_exception();
            }
            const std::uint64_t one = 1;
            const ssize_t ignored = write(state->Done, &one, sizeof one);
            static_cast<void>(ignored);
        });
    } catch (const std::system_error&) {
        throw Exception("Cannot start a thread for the name lookup");
    }
    try {
        for (;;) {
            pollfd done[2] = {{state->Done, POLLIN, 0}, {}};
            const int result = InterruptiblePoll(done, 1, nullptr);
            if (result == 1 || (result == -1 && errno != EINTR)) {
                break;
            }
        }
    } catch (...) {
        // Abandoned: the helper ends by itself and drops its result with the state.
        helper.detach();
        throw;
    }
    helper.join();
    if (state->Failure) {
        std::rethrow_exception(state->Failure);
    }
}

}  // namespace tarvex
