#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <cstdint>

namespace tarvex {

// Installs the handlers for SIGINT, SIGQUIT and the fault signals, and blocks SIGINT and
// SIGQUIT on the calling (main) thread. They are unblocked only inside InterruptibleSelect, so
// a signal that arrives just before a wait still ends that wait.
void InstallSignalHandlers();

// The one interruptible wait of the program: select(2) semantics (ATimeout null waits without
// limit; a negative time is refused by the system with EINVAL), with SIGINT and SIGQUIT
// unblocked atomically for the wait only. When one of them arrived, raises EControlC or
// EQuit on the caller's thread (unless an exception is already on its way, in which case the
// signal is dropped). Otherwise returns select's result with errno as select left it.
int InterruptibleSelect(int ANfds, fd_set* ARead, fd_set* AWrite, fd_set* AError,
                        const timeval* ATimeout);

// Sleeps AMilliseconds x 1000 microseconds computed in 32 bits and taken as unsigned, so -1
// sleeps 4294966296 us (about 71.6 minutes). Interruptible like InterruptibleSelect.
void SleepMs(std::int32_t AMilliseconds);

// Raises EControlC/EQuit now if such a signal is pending (delivered or queued).
void RaisePendingSignal();

}  // namespace tarvex
