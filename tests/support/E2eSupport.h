#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::test {

// How a child ended.
struct TExitStatus {
    bool Exited = false;
    int Code = 0;    // exit status when Exited
    int Signal = 0;  // terminating signal otherwise
};

// Where one standard stream of a spawned program goes.
enum class TStreamKind : std::uint8_t {
    skPipe = 0,      // a pipe the test reads
    skTerminal = 1,  // the slave side of a pseudo-terminal of its own (raw mode), read by the test
    skNull = 2,      // /dev/null
    skFull = 3,      // /dev/full: every write fails with ENOSPC
    skClosed = 4,    // the descriptor is not open at all
    skOutput = 5,    // standard error only: the same open file as standard output
};

// Private copies of the files that decide a name lookup, bind-mounted over the system's in a
// mount namespace of the child only, so no lookup can reach the machine's resolver.
class TResolverFiles {
public:
    // AHostsText for /etc/hosts; the resolver, if consulted at all, is ANameServer, asked with
    // the resolv.conf options AOptions.
    TResolverFiles(std::string_view AHostsText, std::string_view ANameServer,
                   std::string_view AOptions = "timeout:1 attempts:1");
    ~TResolverFiles();
    TResolverFiles(const TResolverFiles&) = delete;
    TResolverFiles& operator=(const TResolverFiles&) = delete;

    const std::string& HostsPath() const noexcept { return FHostsPath; }
    const std::string& ResolvConfPath() const noexcept { return FResolvConfPath; }
    const std::string& NsSwitchPath() const noexcept { return FNsSwitchPath; }

private:
    std::string FDirectory;
    std::string FHostsPath;
    std::string FResolvConfPath;
    std::string FNsSwitchPath;
};

// The time zone of every spawned program unless a test says otherwise: fixed, far from UTC and
// without daylight saving, so a moment read back in any other zone is hours off. A POSIX rule,
// so it needs no time zone data.
inline constexpr std::string_view TestTimeZone = "<+14>-14";
inline constexpr std::time_t TestZoneOffsetSeconds = 14 * 60 * 60;

struct TSpawnOptions {
    // Set: the child runs this function of the test instead of a program, with the test
    // process's state (signal handlers, locale), and ends with its result, 125 if it raises.
    std::function<int()> Body;
    std::vector<std::string> Arguments;  // after the program name
    std::string ProgramPath;             // empty: the built tarvex binary
    std::string ArgumentZero;            // empty: the program path as given
    // The whole environment of the child; the POSIX locale and TestTimeZone unless a test says
    // otherwise, whatever the machine and the test process use.
    std::vector<std::string> Environment{"LC_ALL=POSIX", "TZ=" + std::string(TestTimeZone),
                                         "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    TStreamKind Output = TStreamKind::skPipe;
    TStreamKind Error = TStreamKind::skPipe;
    std::string NetNamespace;                  // named namespace to enter (setns) before exec
    const TResolverFiles* Resolver = nullptr;  // bind-mounted in a private mount namespace
    bool Unprivileged = false;                 // drop to uid/gid 65534 with no groups
    // The system's compiled locales (/usr/lib/locale) out of sight in a private mount namespace
    // (a user namespace of its own without root): only the built-in C and POSIX locales and
    // those under a LOCPATH remain.
    bool HideSystemLocales = false;
    // What a careless or unusual parent hands down: standard input (skNull or skClosed), a
    // standard output pipe of this many bytes (0: the default) that is non-blocking, and signals
    // blocked or ignored.
    TStreamKind Input = TStreamKind::skNull;
    int OutputPipeBytes = 0;
    bool NonBlockingOutput = false;
    std::vector<int> BlockedSignals;
    std::vector<int> IgnoredSignals;
};

// A spawned program with its output streams. The destructor kills it (SIGKILL) and reaps it,
// so a failing test never leaves a process behind.
class TProcess {
public:
    explicit TProcess(const TSpawnOptions& AOptions);
    ~TProcess();
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    bool Started() const noexcept { return FPid > 0; }
    const std::string& StartError() const noexcept { return FStartError; }
    pid_t Pid() const noexcept { return FPid; }

    // Everything read so far from standard output and standard error.
    const std::string& Output() const noexcept { return FOutput.Bytes; }
    const std::string& Error() const noexcept { return FError.Bytes; }
    // When the byte at AOffset of standard output arrived at the test (nullopt if not yet).
    std::optional<std::chrono::steady_clock::time_point> OutputTime(std::size_t AOffset) const;

    // Reads for up to ATimeoutMs until standard output holds ACount occurrences of AText.
    bool WaitForOutput(std::string_view AText, int ATimeoutMs, std::size_t ACount = 1);
    // Reads whatever arrives during the next AMilliseconds.
    void Collect(int AMilliseconds);

    void Signal(int ASignal) const noexcept;
    // True once the child has ended; reaps it without reading its streams.
    bool Ended();
    // The test stops reading standard output: the program's reader is gone.
    void CloseOutput() noexcept { CloseStream(FOutput); }
    // Waits up to ATimeoutMs for the child to end, reading its streams to their end meanwhile.
    std::optional<TExitStatus> WaitExit(int ATimeoutMs);

private:
    struct TStream {
        int Fd = -1;
        std::string Bytes;
        std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> Arrivals;
    };

    // One poll over the open streams, bounded by the deadline; false when nothing is open.
    bool ReadSome(std::chrono::steady_clock::time_point ADeadline);
    static void CloseStream(TStream& AStream) noexcept;

    pid_t FPid = -1;
    std::optional<TExitStatus> FStatus;
    std::string FStartError;
    TStream FOutput;
    TStream FError;
};

// The standard-output lines of a run, split at line feeds (a last unfinished line included).
std::vector<std::string> Lines(std::string_view AText);
std::size_t CountOf(std::string_view AText, std::string_view APart);

// Runs the binary to its end (bounded), for cases that end by themselves; one that does not is
// killed.
struct TRunResult {
    std::string Output;
    std::string Error;  // with why the run failed when it did not start or end
    std::optional<TExitStatus> Status;

    // The exit status, or -1 when the child did not exit by itself.
    int ExitCode() const noexcept { return Status && Status->Exited ? Status->Code : -1; }
    bool Succeeded() const noexcept { return ExitCode() == 0; }
};
TRunResult RunToEnd(const TSpawnOptions& AOptions, int ATimeoutMs = 10000);

// Runs a command line with /bin/sh -c (bounded), for the tools around the program.
TRunResult RunShell(const std::string& ACommand, int ATimeoutMs = 60000);

// Runs ABody in a forked child (see TSpawnOptions::Body), so what it does to the process
// (locale, environment, namespaces, signal state) stays there.
TRunResult RunInChild(std::function<int()> ABody, int ATimeoutMs = 30000);

// Gives the process a signal pipe of its own, for a child that forked without exec: its
// signals must wake its own waits, not its parent's. Keeps the old pipe when no new one can
// be had.
void RenewSignalPipe() noexcept;

// "Ping answered! <AAddress> [<digits>ms]"
bool IsAnsweredLine(std::string_view ALine, std::string_view AAddress);

// Options for a run inside a network namespace (by name) with private resolver files.
TSpawnOptions OptionsIn(std::string_view ANamespace, const TResolverFiles& AResolver,
                        std::vector<std::string> AArguments);

// True when AError is exactly the report of an exception that nothing caught: the class, the
// module "tarvex", some code address, then AMessageLine (the message with its full stop).
bool IsExceptionReport(std::string_view AError, std::string_view AClassName,
                       std::string_view AMessageLine);

// The moment in the failure line "Error occured [MM/dd/yy hh:nn:ss AM]" (the POSIX locale's
// format, local time in TestTimeZone), or nullopt when the line is not of that form.
std::optional<std::time_t> FailureLineTime(std::string_view ALine);

// The banner and its empty line, as every run starts.
inline constexpr std::string_view BannerText = "Tarvex 0.1b\n(Marrowfen)\n\n";

}  // namespace tarvex::test
