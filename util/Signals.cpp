#include "util/Signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "util/IdGlobal.h"
#include "util/SysUtils.h"

namespace tarvex {

namespace {

// The keyboard signal last recorded by the handler, 0 when none.
constinit volatile std::sig_atomic_t RecordedSignal = 0;

// The wake pipe: the handler writes a byte, every wait of the main thread watches the read end.
// Both ends are non-blocking, so neither the handler nor a drain can ever block.
constinit volatile std::sig_atomic_t WakeRead = -1;
constinit volatile std::sig_atomic_t WakeWrite = -1;

extern "C" void RecordKeyboardSignal(int ASignal) {
    if (RecordedSignal != 0) {
        return;
    }
    RecordedSignal = ASignal;
    const int savedErrno = errno;
    const char byte = 0;
    // A full pipe wakes every wait already, so a failed write loses nothing.
    const ssize_t ignored = write(WakeWrite, &byte, 1);
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

bool MakeWakePipe() noexcept {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return false;
    }
    WakeRead = fds[0];
    WakeWrite = fds[1];
    return true;
}

// A forked child gets a pipe of its own, or its signals would wake its parent's waits.
extern "C" void RenewWakePipe() {
    close(WakeRead);
    close(WakeWrite);
    WakeRead = -1;
    WakeWrite = -1;
    MakeWakePipe();
}

void DrainWakePipe() noexcept {
    char bytes[16];
    while (read(WakeRead, bytes, sizeof bytes) > 0) {
    }
}

bool Selectable(int ADescriptor) noexcept { return ADescriptor >= 0 && ADescriptor < FD_SETSIZE; }

// A pipe that the helper of RunInterruptibly writes to when its work is done.
class TDonePipe {
public:
    TDonePipe() noexcept {
        if (pipe2(FFds, O_CLOEXEC) != 0) {
            FFds[0] = -1;
            FFds[1] = -1;
        }
    }
    ~TDonePipe() {
        for (const int fd : FFds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    TDonePipe(const TDonePipe&) = delete;
    TDonePipe& operator=(const TDonePipe&) = delete;

    bool Ok() const noexcept { return Selectable(FFds[0]) && FFds[1] >= 0; }
    int Read() const noexcept { return FFds[0]; }
    void Signal() const noexcept {
        const char byte = 0;
        const ssize_t ignored = write(FFds[1], &byte, 1);
        static_cast<void>(ignored);
    }

private:
    int FFds[2]{-1, -1};
};

// Shared by the waiting thread and the helper, so an abandoned helper still has it.
struct THelperState {
    std::function<void()> Work;
    std::exception_ptr Failure;
    TDonePipe Done;
};

// Takes a recorded keyboard signal on the main thread and raises it; true when one was taken
// but dropped because an exception is already on its way.
bool TakeRecordedSignal() {
    const int signal = RecordedSignal;
    if (signal == 0 || !CalledFromMainThread()) {
        return false;
    }
    // Cleared before the drain: a signal in between leaves its record for the next wait.
    RecordedSignal = 0;
    DrainWakePipe();
    if (std::uncaught_exceptions() > 0) {
        return true;
    }
    if (signal == SIGQUIT) {
        throw EQuit();
    }
    throw EControlC();
}

}  // namespace

void InstallKeyboardSignals() {
    static bool forkHandlerInstalled = false;
    if (!forkHandlerInstalled) {
        forkHandlerInstalled = pthread_atfork(nullptr, nullptr, &RenewWakePipe) == 0;
    }
    if (WakeRead < 0 && !MakeWakePipe()) {
        throw Exception("Cannot create the signal pipe");
    }
    struct sigaction action {};
    action.sa_handler = &RecordKeyboardSignal;
    action.sa_mask = KeyboardSignals();
    action.sa_flags = 0;  // no SA_RESTART: a blocking call must end when one arrives
    if (!forkHandlerInstalled || sigaction(SIGINT, &action, nullptr) != 0 ||
        sigaction(SIGQUIT, &action, nullptr) != 0) {
        throw Exception("Cannot install the keyboard signal handlers");
    }
    // A mask inherited blocked would keep them from ending anything. This cannot fail: it
    // fails only for an unknown first argument.
    const sigset_t keyboard = KeyboardSignals();
    pthread_sigmask(SIG_UNBLOCK, &keyboard, nullptr);
}

int InterruptibleSelect(int ANfds, fd_set* ARead, fd_set* AWrite, fd_set* AError,
                        const timeval* ATimeout) {
    // select counts the time left down in the structure it is given.
    timeval limit{};
    timeval* limitPointer = nullptr;
    if (ATimeout != nullptr) {
        limit = *ATimeout;
        limitPointer = &limit;
    }
    const int wake = WakeRead;
    if (!CalledFromMainThread() || !Selectable(wake)) {
        return select(ANfds, ARead, AWrite, AError, limitPointer);
    }
    // A dropped signal still ends the wait, as one arriving during it would.
    if (TakeRecordedSignal()) {
        errno = EINTR;
        return -1;
    }
    fd_set ownRead;
    fd_set* read = ARead;
    if (read == nullptr) {
        FD_ZERO(&ownRead);
        read = &ownRead;
    }
    FD_SET(wake, read);
    int result = select(ANfds > wake ? ANfds : wake + 1, read, AWrite, AError, limitPointer);
    const int savedErrno = errno;
    if (result > 0 && FD_ISSET(wake, read)) {
        --result;
        DrainWakePipe();
    }
    FD_CLR(wake, read);
    if (TakeRecordedSignal() && result == 0) {
        errno = EINTR;
        return -1;
    }
    errno = savedErrno;
    return result;
}

void SleepMs(std::int32_t AMilliseconds) {
    const std::uint32_t microseconds = static_cast<std::uint32_t>(AMilliseconds) * 1000U;
    timeval pause{};
    pause.tv_sec = static_cast<time_t>(microseconds / 1000000U);
    pause.tv_usec = static_cast<suseconds_t>(microseconds % 1000000U);
    InterruptibleSelect(0, nullptr, nullptr, nullptr, &pause);
}

bool KeyboardSignalRecorded() noexcept { return RecordedSignal != 0 && CalledFromMainThread(); }

void RaisePendingSignal() { TakeRecordedSignal(); }

void RunInterruptibly(std::function<void()> AWork) {
    if (!CalledFromMainThread()) {
        AWork();
        return;
    }
    auto state = std::make_shared<THelperState>();
    state->Work = std::move(AWork);
    std::thread helper;
    if (state->Done.Ok()) {
        try {
            helper = std::thread([state] {
                // The signals are the main thread's: its blocking calls are the ones they end.
                const sigset_t keyboard = KeyboardSignals();
                pthread_sigmask(SIG_BLOCK, &keyboard, nullptr);
                try {
                    state->Work();
                } catch (...) {
                    state->Failure = std::current_exception();
                }
                state->Done.Signal();
            });
        } catch (const std::system_error&) {
            // No thread to be had: the work runs in place.
        }
    }
    if (!helper.joinable()) {
        state->Work();
        return;
    }
    try {
        for (;;) {
            fd_set done;
            FD_ZERO(&done);
            FD_SET(state->Done.Read(), &done);
            const int result =
                InterruptibleSelect(state->Done.Read() + 1, &done, nullptr, nullptr, nullptr);
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
