#pragma once

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tarvex {

// Keyboard signals (SIGINT, SIGQUIT) and the places where the main thread can block.
//
// The handler only records the signal (a lock-free atomic) and writes a byte to a pipe of this
// module. The signals are never blocked on the main thread and restart no call, so a blocking
// system call that one arrives in ends at once. The record is taken, through
// RaisePendingSignal, only where the main thread would block, and raised there as EControlC or
// EQuit; everywhere else it waits, so an interrupt never cuts a line:
// - a readiness wait and a sleep poll the pipe with ppoll, whatever its descriptor's number,
//   so a signal that came just before the wait ends it as well as one that comes during it;
// - a refused wait (a negative time) takes the record before the system refuses it;
// - a name lookup runs on a helper thread, created with the signals blocked, while the main
//   thread waits for it like any other wait (RunInterruptibly);
// - a console write takes the record only when the signal cut it short: it ended with EINTR
//   or a short count, or it would block with a signal already recorded; otherwise it is
//   written whole and the next wait takes the record;
// - a socket call that a signal cut short fails with EINTR, and CheckCallResult takes the
//   record before it would report that failure.
// Only the main thread ever takes the record; helper threads keep the signals blocked.

// Start-up: installs the handler and makes the pipe. Raises Exception when the system refuses
// either, since Control-C would then be silently broken.
void InstallKeyboardSignals();

// The one interruptible readiness wait, with ppoll(2)'s interface and results for
// AFds[0, ACount) (ATimeout null waits without limit; a negative time is refused with EINVAL).
// AFds has room for one entry more: on the main thread the wait also watches the signal pipe
// there, and a keyboard signal recorded before or during the wait raises EControlC or EQuit
// (see RaisePendingSignal). Otherwise returns the number of ready entries, 0 on time-out, or -1
// with errno.
int InterruptiblePoll(pollfd* AFds, nfds_t ACount, const timespec* ATimeout);

// Sleeps AMilliseconds x 1000 microseconds computed in 32 bits and taken as unsigned, so -1
// sleeps 4294966296 us (about 71.6 minutes). Interruptible like InterruptiblePoll.
void SleepMs(std::int32_t AMilliseconds);

// write(2) of all ACount bytes of ABytes to ADescriptor that a keyboard signal can end. A
// descriptor that would block (a non-blocking file) is waited for as a blocking write waits.
// ACutShort tells whether a signal ended it: the write ended with EINTR or a short count, or a
// signal was recorded and the descriptor could not take the bytes without blocking (nothing is
// written then). The caller then takes the signal with RaisePendingSignal. Returns the bytes
// written, or -1 with errno when a write failed.
ssize_t InterruptibleWrite(int ADescriptor, const void* ABytes, std::size_t ACount,
                           bool& ACutShort) noexcept;

// On the main thread, takes a recorded keyboard signal and raises EControlC or EQuit; when an
// exception is already on its way the signal is dropped instead. Elsewhere does nothing.
void RaisePendingSignal();

// On the main thread, forgets one recorded keyboard signal without raising it: for a handler
// that has just caught a failure, so that a press made while it was on its way counts as the
// press that started the alarm.
void DropPendingSignal() noexcept;

// Runs AWork on a helper thread while the main thread waits for it interruptibly, and hands on
// what AWork raised. A keyboard signal abandons the work: the helper finishes on its own, so
// AWork must own everything it touches. Raises Exception when no helper thread or no pipe to
// wait on can be had. On other threads AWork runs in place.
void RunInterruptibly(std::function<void()> AWork);

// Replaces the signal pipe with a new one, for a process that forked without exec: the
// child's signals must wake its own waits, not its parent's.
void RenewSignalPipe() noexcept;

}  // namespace tarvex
