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

// Keyboard signals (SIGINT, SIGQUIT). The handler only records the signal and writes a byte to
// a wake pipe; the signals restart no call, so a blocking call ends at once. Only the main
// thread takes the record (raising EControlC or EQuit), and only where it would block, so an
// interrupt never cuts a line: a wait or sleep (which also watches the pipe, so a signal just
// before it counts), a name lookup (on a helper thread with the signals blocked), a console
// write that the signal cut short, and a socket call that failed with EINTR (CheckCallResult).

// Start-up: installs the handler and makes a fresh pipe (a child forked without exec calls it
// again, so its signals wake its own waits). Raises Exception when either is refused, since
// Control-C would then be silently broken.
void InstallKeyboardSignals();

// ppoll(2) of AFds[0, ACount) (null ATimeout: no limit). AFds has room for one entry more: on
// the main thread the wait watches the signal pipe there, and a keyboard signal recorded
// before or during the wait raises (see RaisePendingSignal).
int InterruptiblePoll(pollfd* AFds, nfds_t ACount, const timespec* ATimeout);

// Sleeps AMilliseconds x 1000 us computed in 32 bits and taken as unsigned (-1 sleeps about
// 71.6 minutes). Interruptible like InterruptiblePoll.
void SleepMs(std::int32_t AMilliseconds);

// write(2) of all ACount bytes, waiting for room on a non-blocking descriptor as a blocking one
// would. ACutShort: a keyboard signal ended it (EINTR, a short count, or a signal already
// recorded while the descriptor had no room: nothing written); the caller then calls
// RaisePendingSignal. With ALineOpen (part of the line is out already) only a second signal
// ends it. The bytes written, or -1 with errno.
ssize_t InterruptibleWrite(int ADescriptor, const void* ABytes, std::size_t ACount, bool ALineOpen,
                           bool& ACutShort) noexcept;

// On the main thread, raises a recorded keyboard signal as EControlC or EQuit, or drops it when
// an exception is already on its way. Elsewhere does nothing.
void RaisePendingSignal();

// Writes one line of output.
using TLineWriter = std::function<void(std::string_view ALine)>;

// A monitoring run under the keyboard's rules. AOpening writes the first lines through the
// writer it gets; a press that cuts one short skips the rest and AMonitor, so one press never
// ends the program (anything else AOpening raises is handed on). AMonitor runs until something
// ends it, then AAlarm, outside the handlers so a further press ends the program. A press that
// came while a failure was on its way asked for this alarm and is dropped.
void RunWithAlarm(const std::function<void(const TLineWriter&)>& AOpening,
                  const std::function<void()>& AMonitor, const std::function<void()>& AAlarm);

// RunInterruptibly for work without a value.
void RunOnHelperThread(std::function<void()> AWork);

// Runs AWork on a helper thread while the main thread waits interruptibly; its value, or what
// it raised. A keyboard signal abandons the helper, so AWork must own all it touches. Raises
// Exception without a thread or pipe. On other threads AWork runs in place.
template <typename TWork>
auto RunInterruptibly(TWork AWork) {
    // Shared with the helper, so that an abandoned one still has somewhere to put its value.
    auto result = std::make_shared<std::optional<std::invoke_result_t<TWork&>>>();
    RunOnHelperThread([result, work = std::move(AWork)]() mutable { result->emplace(work()); });
    return std::move(**result);
}

}  // namespace tarvex
