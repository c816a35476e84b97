#include "util/CrashReport.h"

#include <cxxabi.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#include "util/SysUtils.h"

namespace tarvex {

namespace {

// The loaded modules, taken once at start-up so the lookup needs no allocation or lock.
constexpr std::size_t MaxModules = 128;
constexpr std::size_t ModuleNameSize = 128;

struct TModuleEntry {
    std::uintptr_t Start;
    std::uintptr_t End;
    char Name[ModuleNameSize];
};

constinit TModuleEntry Modules[MaxModules]{};
constinit std::size_t ModuleCount = 0;

constexpr const char* UnknownModule = "<unknown>";

void CopyFileNamePart(const char* APath, char* AName) noexcept {
    const char* slash = std::strrchr(APath, '/');
    const char* part = slash == nullptr ? APath : slash + 1;
    const std::size_t length = std::min(std::strlen(part), ModuleNameSize - 1);
    std::memcpy(AName, part, length);
    AName[length] = '\0';
}

extern "C" int RecordModule(dl_phdr_info* AInfo, std::size_t, void*) {
    if (ModuleCount >= MaxModules) {
        return 1;
    }
    std::uintptr_t start = UINTPTR_MAX;
    std::uintptr_t end = 0;
    for (ElfW(Half) i = 0; i < AInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = AInfo->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) {
            continue;
        }
        const std::uintptr_t first = AInfo->dlpi_addr + header.p_vaddr;
        const std::uintptr_t last = first + header.p_memsz;
        start = first < start ? first : start;
        end = last > end ? last : end;
    }
    if (start >= end) {
        return 0;
    }
    TModuleEntry& entry = Modules[ModuleCount];
    entry.Start = start;
    entry.End = end;
    const char* path = AInfo->dlpi_name;
    char executable[512];
    if (path == nullptr || path[0] == '\0') {
        // The program itself carries no name here; take the file it was loaded from.
        const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
        executable[std::max<ssize_t>(length, 0)] = '\0';
        path = executable;
    }
    CopyFileNamePart(path, entry.Name);
    ++ModuleCount;
    return 0;
}

void TakeModuleTable() noexcept {
    ModuleCount = 0;
    dl_iterate_phdr(&RecordModule, nullptr);
}

// How long one round of the report waits for room on a standard error that would block.
constexpr int ReportWaitMs = 1000;

// Writes to standard error, gathering small pieces; async-signal-safe.
class TReportWriter {
public:
    TReportWriter() = default;
    ~TReportWriter() { Flush(); }
    TReportWriter(const TReportWriter&) = delete;
    TReportWriter& operator=(const TReportWriter&) = delete;

    void Add(std::string_view AText) noexcept {
        for (const char c : AText) {
            if (FLength == sizeof FBytes) {
                Flush();
            }
            FBytes[FLength++] = c;
        }
    }

    void Flush() noexcept {
        std::size_t done = 0;
        // Bounded: a descriptor that takes nothing ends the attempt.
        for (int round = 0; done < FLength && round < 64; ++round) {
            const ssize_t written = write(2, FBytes + done, FLength - done);
            if (written > 0) {
                done += static_cast<std::size_t>(written);
            } else if (written == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A file another program left non-blocking: wait a while for room, as a
                // blocking write would, so the report is not lost.
                pollfd room{2, POLLOUT, 0};
                poll(&room, 1, ReportWaitMs);
            } else if (written == 0 || errno != EINTR) {
                break;
            }
        }
        FLength = 0;
    }

private:
    char FBytes[512]{};
    std::size_t FLength = 0;
};

// The demangled name of AType; AFallback when there is no type or no room for its name.
std::string ClassNameOf(const std::type_info* AType, const char* AFallback) noexcept {
    try {
        if (AType == nullptr) {
            return AFallback;
        }
        int status = 0;
        const std::unique_ptr<char, decltype(&std::free)> name(
            abi::__cxa_demangle(AType->name(), nullptr, nullptr, &status), &std::free);
        return status == 0 && name != nullptr ? name.get() : AType->name();
    } catch (...) {
        return AFallback;
    }
}

// Room for the fault handlers, so a stack overflow can still be reported.
constexpr std::size_t FaultStackSize = 64 * 1024;
alignas(16) constinit char FaultStack[FaultStackSize]{};

const void* FaultingInstruction(const siginfo_t* AInfo, const void* AContext) noexcept {
    const auto* context = static_cast<const ucontext_t*>(AContext);
    if (context == nullptr) {
        return AInfo->si_addr;
    }
#if defined(__x86_64__)
    return reinterpret_cast<const void*>(context->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<const void*>(context->uc_mcontext.pc);
#else
    return AInfo->si_addr;
#endif
}

// The class names follow the runtime's; for SIGFPE the integer division and overflow cases
// stand apart from every other arithmetic fault. Code 0 matches any code.
struct TFaultKind {
    int Signal;
    int Code;
    std::string_view ClassName;
    std::string_view Message;
};

constexpr TFaultKind FaultKinds[] = {
    {SIGSEGV, 0, "EAccessViolation", "Access violation at address "},
    {SIGBUS, 0, "EBusError", "Bus error"},
    {SIGILL, 0, "EPrivilege", "Illegal instruction"},
    {SIGFPE, FPE_INTDIV, "EDivByZero", "Division by zero"},
    {SIGFPE, FPE_INTOVF, "EIntOverflow", "Integer overflow"},
    {SIGFPE, 0, "EMathError", "Floating point error"},
    {0, 0, "EExternal", "External exception"},
};

// Reports the fault as an unhandled exception and ends the process; only async-signal-safe
// calls from here on.
extern "C" void ReportFault(int ASignal, siginfo_t* AInfo, void* AContext) {
    const void* instruction = FaultingInstruction(AInfo, AContext);
    const TFaultKind* kind = FaultKinds;
    while (kind->Signal != 0 &&
           (kind->Signal != ASignal || (kind->Code != 0 && kind->Code != AInfo->si_code))) {
        ++kind;
    }
    if (ASignal == SIGSEGV) {
        char at[AddressTextSize];
        char accessed[AddressTextSize];
        WriteExceptionReport(kind->ClassName, instruction,
                             {kind->Message, std::string_view(at, AddressText(instruction, at)),
                              ", accessing address ",
                              std::string_view(accessed, AddressText(AInfo->si_addr, accessed))});
    } else {
        WriteExceptionReport(kind->ClassName, instruction, {kind->Message});
    }
    _exit(1);
}

// Reports a program fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) as an unhandled exception, on a
// stack of its own so that a stack overflow can be reported too.
void InstallFaultHandlers() {
    stack_t faultStack{};
    faultStack.ss_sp = FaultStack;
    faultStack.ss_size = FaultStackSize;
    faultStack.ss_flags = 0;
    struct sigaction action {};
    action.sa_sigaction = &ReportFault;
    sigfillset(&action.sa_mask);
    // A fault inside the report itself ends the process the default way.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    bool installed = sigaltstack(&faultStack, nullptr) == 0;
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        installed = installed && sigaction(signal, &action, nullptr) == 0;
    }
    if (!installed) {
        throw Exception("Cannot install the fault handlers");
    }
}

}  // namespace

void InstallCrashReports() {
    TakeModuleTable();
    InstallFaultHandlers();
}

std::size_t AddressText(const void* AAddress, char* AText) noexcept {
    const auto value = reinterpret_cast<std::uintptr_t>(AAddress);
    if (value == 0) {
        std::memcpy(AText, "(nil)", 6);
        return 5;
    }
    char digits[2 * sizeof value];
    std::size_t count = 0;
    for (std::uintptr_t rest = value; rest != 0; rest >>= 4) {
        digits[count++] = "0123456789abcdef"[rest & 0xFU];
    }
    std::size_t length = 0;
    AText[length++] = '0';
    AText[length++] = 'x';
    while (count > 0) {
        AText[length++] = digits[--count];
    }
    AText[length] = '\0';
    return length;
}

const char* ModuleNameOf(const void* AAddress) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(AAddress);
    for (std::size_t i = 0; i < ModuleCount; ++i) {
        if (address >= Modules[i].Start && address < Modules[i].End) {
            return Modules[i].Name[0] != '\0' ? Modules[i].Name : UnknownModule;
        }
    }
    return UnknownModule;
}

void WriteExceptionReport(std::string_view AClassName, const void* AAddress,
                          std::initializer_list<std::string_view> AMessage) noexcept {
    char address[AddressTextSize];
    const std::size_t addressLength = AddressText(AAddress, address);
    TReportWriter report;
    report.Add("Exception ");
    report.Add(AClassName);
    report.Add(" in module ");
    report.Add(ModuleNameOf(AAddress));
    report.Add(" at ");
    report.Add(std::string_view(address, addressLength));
    report.Add(".\n");
    std::string_view last;
    for (const std::string_view piece : AMessage) {
        report.Add(piece);
        last = piece.empty() ? last : piece;
    }
    if (!last.empty() && last.back() != '.') {
        report.Add(".");
    }
    report.Add("\n");
}

void ReportCurrentException() noexcept {
    std::fflush(stderr);
    try {
        throw;
    } catch (const Exception& own) {
        WriteExceptionReport(own.ClassName(), own.RaiseAddress(), {own.Message()});
    } catch (const std::exception& other) {
        WriteExceptionReport(ClassNameOf(&typeid(other), "std::exception"), nullptr,
                             {other.what()});
    } catch (...) {
        WriteExceptionReport(
            ClassNameOf(abi::__cxa_current_exception_type(), "<unknown exception>"), nullptr, {});
    }
}

}  // namespace tarvex
