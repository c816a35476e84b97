#pragma once

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

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

// Start-up: installs the handler and makes the pipe, a fresh one at every call (a process that
// forked without exec calls it again, so that its signals wake its own waits). Raises Exception
// when the system refuses either, since Control-C would then be silently broken.
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

// Writes one line of output.
using TLineWriter = std::function<void(std::string_view ALine)>;

// A monitoring run under the keyboard's rules, on the main thread. AOpening writes the first
// lines through the writer it is given: once a press cut one short, the rest are not written
// and AMonitor is skipped for the alarm, as a press a moment later would have it, so one press
// never ends the program; anything else AOpening raises is handed on. AMonitor runs until
// something ends it. Then AAlarm runs, once the handlers are done, so that a further press
// raises again and ends the program: a press that came while a failure was on its way asked
// for the alarm it gets and is dropped; after a failure that was itself a press, it is the
// next press that ends the alarm.
void RunWithAlarm(const std::function<void(const TLineWriter&)>& AOpening,
                  const std::function<void()>& AMonitor, const std::function<void()>& AAlarm);

// RunInterruptibly for work without a value.
void RunOnHelperThread(std::function<void()> AWork);

// Runs AWork on a helper thread while the main thread waits for it interruptibly, and returns
// its value or hands on what it raised. A keyboard signal abandons the work: the helper
// finishes on its own, so AWork must own everything it touches. Raises Exception when no helper
// thread or no pipe to wait on can be had. On other threads AWork runs in place.
template <typename TWork>
auto RunInterruptibly(TWork AWork) {
    // Shared with the helper, so that an abandoned one still has somewhere to put its value.
    auto result = std::make_shared<std::optional<std::invoke_result_t<TWork&>>>();
    RunOnHelperThread([result, work = std::move(AWork)]() mutable { result->emplace(work()); });
    return std::move(**result);
}

}  // namespace tarvex
