#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <cstdint>
#include <functional>

namespace tarvex {

// Keyboard signals (SIGINT, SIGQUIT) and the places where the main thread can block.
//
// The handler only records the signal and writes a byte to a pipe of this module. The signals
// are never blocked and restart no call, so a blocking system call of the main thread that one
// arrives in ends at once (EINTR or a short count). Every blocking place then takes the record
// the same way, through RaisePendingSignal, which raises EControlC or EQuit right there:
// - every wait and sleep goes through InterruptibleSelect, which also watches the pipe, so a
//   signal that arrives just before the wait still ends it; a wait the system refuses at once
//   (a negative time) still takes the record;
// - a console write is not started once a signal is recorded (KeyboardSignalRecorded), so
//   only the few instructions between that check and the system call can miss one, and the
//   next signal then ends the write;
// - a name lookup, which may wait on a resolver for many seconds, runs on a helper thread
//   while the main thread waits for it (RunInterruptibly);
// - a socket call that a signal cut short fails with EINTR, and CheckCallResult takes the
//   signal before it would report that failure.
// Only the main thread ever takes the record; helper threads keep the signals blocked.

// Start-up: installs the handler and makes the pipe. Raises Exception when the system refuses
// either, since Control-C would then be silently broken.
void InstallKeyboardSignals();

// The one interruptible wait: select(2) semantics (ATimeout null waits without limit; a
// negative time is refused by the system with EINVAL). On the main thread a keyboard signal
// recorded before or during the wait raises EControlC or EQuit (see RaisePendingSignal);
// otherwise returns select's result with errno as select left it.
int InterruptibleSelect(int ANfds, fd_set* ARead, fd_set* AWrite, fd_set* AError,
                        const timeval* ATimeout);

// Sleeps AMilliseconds x 1000 microseconds computed in 32 bits and taken as unsigned, so -1
// sleeps 4294966296 us (about 71.6 minutes). Interruptible like InterruptibleSelect.
void SleepMs(std::int32_t AMilliseconds);

// True on the main thread while a keyboard signal is recorded and not yet taken.
bool KeyboardSignalRecorded() noexcept;

// On the main thread, takes a recorded keyboard signal and raises EControlC or EQuit; when an
// exception is already on its way the signal is dropped instead. Elsewhere does nothing.
void RaisePendingSignal();

// Runs AWork on a helper thread while the main thread waits for it in InterruptibleSelect,
// and hands on what AWork raised. A keyboard signal abandons the work: the helper finishes on
// its own, so AWork must own everything it touches. On other threads, or when no helper can be
// started, AWork runs in place.
void RunInterruptibly(std::function<void()> AWork);

}  // namespace tarvex
