#include "util/Signals.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <exception>
#include <string_view>

#include "util/IdGlobal.h"
#include "util/Runtime.h"
#include "util/SysUtils.h"

namespace tarvex {

namespace {

// The keyboard signal last recorded by its handler, 0 when none. The handler only records;
// the interruptible wait turns the record into an exception on the main thread.
constinit volatile std::sig_atomic_t RecordedSignal = 0;

// The main thread's signal mask during a wait: the mask it had before start-up blocked the
// keyboard signals, without them. Taken once, so a wait costs no mask query.
constinit sigset_t WaitMask{};

// Room for the fault handlers, so a stack overflow can still be reported.
constexpr std::size_t FaultStackSize = 64 * 1024;
alignas(16) constinit char FaultStack[FaultStackSize]{};

extern "C" void RecordKeyboardSignal(int ASignal) {
    if (RecordedSignal == 0) {
        RecordedSignal = ASignal;
    }
}

sigset_t KeyboardSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

// Appends a C text to a fixed buffer; async-signal-safe.
class TFixedText {
public:
    void Add(std::string_view AText) noexcept {
        for (const char c : AText) {
            if (FLength + 1 < sizeof FBytes) {
                FBytes[FLength++] = c;
            }
        }
        FBytes[FLength] = '\0';
    }
    void AddAddress(const void* AAddress) noexcept {
        char text[AddressTextSize];
        const std::size_t length = AddressText(AAddress, text);
        Add(std::string_view(text, length));
    }
    std::string_view View() const noexcept { return std::string_view(FBytes, FLength); }

private:
    char FBytes[160]{};
    std::size_t FLength = 0;
};

const void* FaultingInstruction(const siginfo_t* AInfo, const void* AContext) noexcept {
    const auto* context = static_cast<const ucontext_t*>(AContext);
#if defined(__x86_64__)
    if (context != nullptr) {
        return reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_RIP]);
    }
#elif defined(__aarch64__)
    if (context != nullptr) {
        return reinterpret_cast<const void*>(context->uc_mcontext.pc);
    }
#else
    static_cast<void>(context);
#endif
    return AInfo->si_addr;
}

// Reports the fault as an unhandled exception and ends the process; only async-signal-safe
// calls from here on. The class names follow the runtime's: access violation for SIGSEGV,
// bus error for SIGBUS, privileged/illegal instruction for SIGILL, and for SIGFPE the integer
// division and overflow cases apart from every other arithmetic fault.
extern "C" void ReportFault(int ASignal, siginfo_t* AInfo, void* AContext) {
    const void* instruction = FaultingInstruction(AInfo, AContext);
    std::string_view className = "EExternal";
    TFixedText message;
    switch (ASignal) {
        case SIGSEGV:
            className = "EAccessViolation";
            message.Add("Access violation at address ");
            message.AddAddress(instruction);
            message.Add(", accessing address ");
            message.AddAddress(AInfo->si_addr);
            break;
        case SIGBUS:
            className = "EBusError";
            message.Add("Bus error");
            break;
        case SIGILL:
            className = "EPrivilege";
            message.Add("Illegal instruction");
            break;
        case SIGFPE:
            if (AInfo->si_code == FPE_INTDIV) {
                className = "EDivByZero";
                message.Add("Division by zero");
            } else if (AInfo->si_code == FPE_INTOVF) {
                className = "EIntOverflow";
                message.Add("Integer overflow");
            } else {
                className = "EMathError";
                message.Add("Floating point error");
            }
            break;
        default:
            message.Add("External exception");
            break;
    }
    WriteExceptionReport(className, instruction, message.View());
    _exit(1);
}

// Empties the queue of keyboard signals that arrived while blocked, so a burst counts once.
void DropPendingKeyboardSignals() noexcept {
    const sigset_t keyboard = KeyboardSignals();
    const timespec noWait{0, 0};
    for (int round = 0; round < 4; ++round) {
        if (sigtimedwait(&keyboard, nullptr, &noWait) == -1) {
            break;
        }
    }
}

// Turns a recorded keyboard signal into its exception, unless one is already on its way.
void RaiseRecordedSignal() {
    const int signal = RecordedSignal;
    if (signal == 0) {
        return;
    }
    RecordedSignal = 0;
    DropPendingKeyboardSignals();
    if (std::uncaught_exceptions() > 0) {
        return;
    }
    if (signal == SIGQUIT) {
        throw EQuit();
    }
    throw EControlC();
}

}  // namespace

void InstallSignalHandlers() {
    const sigset_t keyboard = KeyboardSignals();

    struct sigaction keyboardAction {};
    keyboardAction.sa_handler = &RecordKeyboardSignal;
    keyboardAction.sa_mask = keyboard;
    keyboardAction.sa_flags = 0;  // no SA_RESTART: the wait must end when one arrives
    sigaction(SIGINT, &keyboardAction, nullptr);
    sigaction(SIGQUIT, &keyboardAction, nullptr);

    stack_t faultStack{};
    faultStack.ss_sp = FaultStack;
    faultStack.ss_size = FaultStackSize;
    faultStack.ss_flags = 0;
    sigaltstack(&faultStack, nullptr);

    struct sigaction faultAction {};
    faultAction.sa_sigaction = &ReportFault;
    sigfillset(&faultAction.sa_mask);
    // A fault inside the report itself ends the process the default way.
    faultAction.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        sigaction(signal, &faultAction, nullptr);
    }

    sigset_t previous;
    sigemptyset(&previous);
    pthread_sigmask(SIG_BLOCK, &keyboard, &previous);
    sigdelset(&previous, SIGINT);
    sigdelset(&previous, SIGQUIT);
    WaitMask = previous;
}

int InterruptibleSelect(int ANfds, fd_set* ARead, fd_set* AWrite, fd_set* AError,
                        const timeval* ATimeout) {
    // The same normalisation the kernel applies to select's timeval; a negative time stays
    // negative so the kernel refuses it.
    timespec limit{};
    const timespec* limitPointer = nullptr;
    if (ATimeout != nullptr) {
        limit.tv_sec = ATimeout->tv_sec + ATimeout->tv_usec / 1000000;
        limit.tv_nsec = (ATimeout->tv_usec % 1000000) * 1000;
        limitPointer = &limit;
    }
    if (!CalledFromMainThread()) {
        return pselect(ANfds, ARead, AWrite, AError, limitPointer, nullptr);
    }
    // A signal recorded while this thread was not waiting (another thread took it).
    RaiseRecordedSignal();
    const int result = pselect(ANfds, ARead, AWrite, AError, limitPointer, &WaitMask);
    const int savedErrno = errno;
    RaiseRecordedSignal();
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

void RaisePendingSignal() {
    if (!CalledFromMainThread()) {
        return;
    }
    if (RecordedSignal == 0) {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        if (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGQUIT) == 1) {
            // Let the handler take it the usual way, then raise as a wait would.
            const timeval noWait{0, 0};
            InterruptibleSelect(0, nullptr, nullptr, nullptr, &noWait);
            return;
        }
    }
    RaiseRecordedSignal();
}

}  // namespace tarvex
