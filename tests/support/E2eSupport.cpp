#include "tests/support/E2eSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <locale.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <utility>

#include "util/Signals.h"

namespace tarvex::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uid_t NobodyId = 65534;

// A descriptor that is closed when the owner goes.
struct TFd {
    int Fd = -1;

    TFd() = default;
    explicit TFd(int AFd) noexcept : Fd(AFd) {}
    ~TFd() { Reset(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    void Reset(int AFd = -1) noexcept {
        if (Fd >= 0) {
            close(Fd);
        }
        Fd = AFd;
    }
    int Release() noexcept { return std::exchange(Fd, -1); }
};

// The two ends of one child stream: the child's descriptor (none for skClosed and skOutput) and
// the end the test reads (none when it reads nothing).
struct TStreamEnds {
    TStreamEnds(TStreamKind AKind, int APipeBytes = 0, bool ANonBlocking = false);

    TStreamKind Kind;
    TFd Child;
    TFd Reading;
    std::string Failure;
};

TStreamEnds::TStreamEnds(TStreamKind AKind, int APipeBytes, bool ANonBlocking) : Kind(AKind) {
    if (AKind == TStreamKind::skPipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            Failure = "pipe2 failed";
            return;
        }
        Reading.Reset(fds[0]);
        Child.Reset(fds[1]);
        // O_NONBLOCK lives in the open file the program shares with the test.
        if ((APipeBytes > 0 && fcntl(Child.Fd, F_SETPIPE_SZ, APipeBytes) < 0) ||
            (ANonBlocking && fcntl(Child.Fd, F_SETFL, O_WRONLY | O_NONBLOCK) != 0)) {
            Failure = "cannot size the pipe or make it non-blocking";
        }
    } else if (AKind == TStreamKind::skTerminal) {
        Reading.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        const char* slaveName =
            Reading.Fd < 0 || grantpt(Reading.Fd) != 0 || unlockpt(Reading.Fd) != 0
                ? nullptr
                : ptsname(Reading.Fd);
        Child.Reset(slaveName == nullptr ? -1 : open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios mode{};
        if (Child.Fd < 0 || tcgetattr(Child.Fd, &mode) != 0) {
            Failure = "no pseudo-terminal";
            return;
        }
        // Raw mode: the bytes arrive as written, without a carriage return added.
        cfmakeraw(&mode);
        tcsetattr(Child.Fd, TCSANOW, &mode);
    } else if (AKind == TStreamKind::skNull || AKind == TStreamKind::skFull) {
        Child.Reset(
            open(AKind == TStreamKind::skNull ? "/dev/null" : "/dev/full", O_WRONLY | O_CLOEXEC));
        if (Child.Fd < 0) {
            Failure = "cannot open a device";
        }
    }
}

// A failed step of the child's set-up, reported to the parent by its source line and errno.
[[noreturn]] void ChildFailed(int AReport, int ALine) noexcept {
    const std::array<int, 2> failure{ALine, errno};
    [[maybe_unused]] const ssize_t written = write(AReport, failure.data(), sizeof(failure));
    _exit(127);
}

// Only async-signal-safe calls from here to exec.
void PlaceStream(int AReport, const TStreamEnds& AEnds, int ATarget) noexcept {
    if (AEnds.Kind == TStreamKind::skClosed) {
        close(ATarget);
        return;
    }
    if (dup2(AEnds.Kind == TStreamKind::skOutput ? 1 : AEnds.Child.Fd, ATarget) < 0) {
        ChildFailed(AReport, __LINE__);
    }
}

// What the child needs from the parent, prepared before the fork.
struct TChildPlan {
    const TSpawnOptions& Options;
    const char* Path;
    char* const* Argv;
    char* const* Envp;
    int NetNamespace;
    const char* UserMap;   // "<uid> <uid> 1", for a user namespace of its own
    const char* GroupMap;  // "<gid> <gid> 1"
};

bool WriteText(const char* APath, const char* AText) noexcept {
    const int fd = open(APath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const std::size_t length = std::strlen(AText);
    const bool written = write(fd, AText, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && written;
}

// A user namespace and a mount namespace of the child's own, with its ids unchanged: what lets
// an unprivileged child mount. Only the single-threaded child of a fork may do this.
bool EnterOwnUserNamespace(const TChildPlan& APlan) noexcept {
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && WriteText("/proc/self/setgroups", "deny") &&
           WriteText("/proc/self/uid_map", APlan.UserMap) &&
           WriteText("/proc/self/gid_map", APlan.GroupMap);
}

// Runs the test's function in place of a program: flushes what it wrote through stdio, then
// ends without the test process's exit handlers (GoogleTest's among them).
[[noreturn]] void RunBody(const std::function<int()>& ABody) noexcept {
    int status = 125;
    try {
        status = ABody();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "the child's body raised: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "the child's body raised an exception\n");
    }
    std::fflush(nullptr);
    _exit(status);
}

[[noreturn]] void RunChild(const TChildPlan& APlan, const TStreamEnds& AOutput,
                           const TStreamEnds& AError, int AInput, int AReport) noexcept {
    const TSpawnOptions& options = APlan.Options;
    if (options.Body) {
        PlaceStream(AReport, AOutput, 1);
        PlaceStream(AReport, AError, 2);
        close(AReport);
        RunBody(options.Body);
    }
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (const int signalNumber : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGALRM}) {
        if (sigaction(signalNumber, &standard, nullptr) != 0) {
            ChildFailed(AReport, __LINE__);
        }
    }
    for (const int signalNumber : options.IgnoredSignals) {
        struct sigaction ignored = standard;
        ignored.sa_handler = SIG_IGN;
        sigaction(signalNumber, &ignored, nullptr);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signalNumber : options.BlockedSignals) {
        sigaddset(&blocked, signalNumber);
    }
    sigprocmask(SIG_SETMASK, &blocked, nullptr);

    if (options.Input == TStreamKind::skClosed ? close(0) != 0 && errno != EBADF
                                               : dup2(AInput, 0) < 0) {
        ChildFailed(AReport, __LINE__);
    }
    PlaceStream(AReport, AOutput, 1);
    PlaceStream(AReport, AError, 2);

    if (APlan.NetNamespace >= 0 && setns(APlan.NetNamespace, CLONE_NEWNET) != 0) {
        ChildFailed(AReport, __LINE__);
    }
    if (options.Resolver != nullptr || options.HideSystemLocales) {
        const bool own = unshare(CLONE_NEWNS) == 0 ||
                         (options.Resolver == nullptr && EnterOwnUserNamespace(APlan));
        if (!own || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ChildFailed(AReport, __LINE__);
        }
    }
    constexpr const char* SystemLocales = "/usr/lib/locale";
    if (options.HideSystemLocales && access(SystemLocales, F_OK) == 0 &&
        mount("tarvex-no-locales", SystemLocales, "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV,
              "size=4k") != 0) {
        ChildFailed(AReport, __LINE__);
    }
    if (options.Resolver != nullptr) {
        const std::array<std::pair<const char*, const char*>, 3> binds{{
            {options.Resolver->HostsPath().c_str(), "/etc/hosts"},
            {options.Resolver->ResolvConfPath().c_str(), "/etc/resolv.conf"},
            {options.Resolver->NsSwitchPath().c_str(), "/etc/nsswitch.conf"},
        }};
        for (const auto& [source, target] : binds) {
            if (mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
                ChildFailed(AReport, __LINE__);
            }
        }
    }
    if (options.Unprivileged) {
        const gid_t group = NobodyId;
        if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
            setresuid(NobodyId, NobodyId, NobodyId) != 0) {
            ChildFailed(AReport, __LINE__);
        }
    }
    // Everything the test process had open stays out of the program.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(APlan.Path, APlan.Argv, APlan.Envp);
    ChildFailed(AReport, __LINE__);
}

std::vector<char*> PointersTo(std::vector<std::string>& ATexts) {
    std::vector<char*> pointers;
    pointers.reserve(ATexts.size() + 1);
    for (std::string& text : ATexts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

bool WriteFile(const std::string& APath, std::string_view AText) {
    std::ofstream file(APath, std::ios::binary | std::ios::trunc);
    file << AText;
    file.close();
    return static_cast<bool>(file) && chmod(APath.c_str(), 0644) == 0;
}

}  // namespace

TResolverFiles::TResolverFiles(std::string_view AHostsText, std::string_view ANameServer,
                               std::string_view AOptions) {
    std::string pattern = "/tmp/tarvex-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        return;
    }
    FDirectory = pattern;
    chmod(FDirectory.c_str(), 0755);
    FHostsPath = FDirectory + "/hosts";
    FResolvConfPath = FDirectory + "/resolv.conf";
    FNsSwitchPath = FDirectory + "/nsswitch.conf";
    WriteFile(FHostsPath, AHostsText);
    // By default one quick try: a lookup that reaches the resolver fails within about a second.
    WriteFile(FResolvConfPath, "nameserver " + std::string(ANameServer) + "\noptions " +
                                   std::string(AOptions) + "\n");
    WriteFile(FNsSwitchPath, "hosts: files dns\n");
}

TResolverFiles::~TResolverFiles() {
    if (FDirectory.empty()) {
        return;
    }
    for (const std::string& path : {FHostsPath, FResolvConfPath, FNsSwitchPath}) {
        unlink(path.c_str());
    }
    rmdir(FDirectory.c_str());
}

TProcess::TProcess(const TSpawnOptions& AOptions) {
    std::string path = AOptions.ProgramPath.empty() ? TARVEX_BINARY_PATH : AOptions.ProgramPath;
    std::vector<std::string> arguments{AOptions.ArgumentZero.empty() ? path
                                                                     : AOptions.ArgumentZero};
    arguments.insert(arguments.end(), AOptions.Arguments.begin(), AOptions.Arguments.end());
    std::vector<std::string> environment = AOptions.Environment;
    std::vector<char*> argv = PointersTo(arguments);
    std::vector<char*> envp = PointersTo(environment);

    TStreamEnds output(AOptions.Output, AOptions.OutputPipeBytes, AOptions.NonBlockingOutput);
    TStreamEnds error(AOptions.Error);
    TFd input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    TFd netNamespace;
    if (!AOptions.NetNamespace.empty()) {
        netNamespace.Reset(
            open(("/run/netns/" + AOptions.NetNamespace).c_str(), O_RDONLY | O_CLOEXEC));
        if (netNamespace.Fd < 0) {
            FStartError = "no network namespace " + AOptions.NetNamespace;
            return;
        }
    }
    if (!output.Failure.empty() || !error.Failure.empty() || input.Fd < 0) {
        FStartError = output.Failure + error.Failure + " (cannot set up the streams)";
        return;
    }
    int reportFds[2];
    if (pipe2(reportFds, O_CLOEXEC) != 0) {
        FStartError = "pipe2 failed";
        return;
    }
    TFd reportRead(reportFds[0]);
    TFd reportWrite(reportFds[1]);

    const std::string userMap = std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1";
    const std::string groupMap = std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1";
    const TChildPlan plan{AOptions,        path.c_str(),    argv.data(),     envp.data(),
                          netNamespace.Fd, userMap.c_str(), groupMap.c_str()};
    // What the test process has buffered would otherwise be written by a child body too.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        FStartError = "fork failed";
        return;
    }
    if (pid == 0) {
        RunChild(plan, output, error, input.Fd, reportWrite.Fd);
    }
    FPid = pid;
    reportWrite.Reset();
    std::array<int, 2> failure{};
    ssize_t got = 0;
    do {
        got = read(reportRead.Fd, failure.data(), sizeof(failure));
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        FStartError = "the child's set-up failed at line " + std::to_string(failure[0]) + " of " +
                      __FILE__ + ": " + std::strerror(failure[1]);
        int status = 0;
        waitpid(FPid, &status, 0);
        FPid = -1;
        return;
    }
    FOutput.Fd = output.Reading.Release();
    FError.Fd = error.Reading.Release();
}

TProcess::~TProcess() {
    if (FPid > 0 && !FStatus) {
        kill(FPid, SIGKILL);
        int status = 0;
        while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    CloseStream(FOutput);
    CloseStream(FError);
}

void TProcess::CloseStream(TStream& AStream) noexcept {
    if (AStream.Fd >= 0) {
        close(AStream.Fd);
        AStream.Fd = -1;
    }
}

std::optional<Clock::time_point> TProcess::OutputTime(std::size_t AOffset) const {
    if (AOffset >= FOutput.Bytes.size()) {
        return std::nullopt;
    }
    // The last chunk that starts at or before the offset holds the byte.
    const auto after = std::upper_bound(
        FOutput.Arrivals.begin(), FOutput.Arrivals.end(), AOffset,
        [](std::size_t AValue, const auto& AArrival) { return AValue < AArrival.first; });
    return std::prev(after)->second;
}

bool TProcess::ReadSome(Clock::time_point ADeadline) {
    std::array<pollfd, 2> watched{};
    std::array<TStream*, 2> streams{};
    nfds_t count = 0;
    for (TStream* stream : {&FOutput, &FError}) {
        if (stream->Fd >= 0) {
            watched[count] = pollfd{stream->Fd, POLLIN, 0};
            streams[count] = stream;
            ++count;
        }
    }
    if (count == 0) {
        return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now()).count();
    const int ready = poll(watched.data(), count, static_cast<int>(std::max<long>(left, 0)));
    if (ready <= 0) {
        return true;
    }
    for (nfds_t index = 0; index < count; ++index) {
        if (watched[index].revents == 0) {
            continue;
        }
        TStream& stream = *streams[index];
        std::array<char, 4096> chunk{};
        const ssize_t got = read(stream.Fd, chunk.data(), chunk.size());
        if (got > 0) {
            stream.Arrivals.emplace_back(stream.Bytes.size(), Clock::now());
            stream.Bytes.append(chunk.data(), static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            // End of a pipe, or EIO from a terminal whose last writer has gone.
            CloseStream(stream);
        }
    }
    return true;
}

bool TProcess::WaitForOutput(std::string_view AText, int ATimeoutMs, std::size_t ACount) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (CountOf(FOutput.Bytes, AText) < ACount) {
        if (Clock::now() >= deadline || FOutput.Fd < 0) {
            return false;
        }
        ReadSome(deadline);
    }
    return true;
}

void TProcess::Collect(int AMilliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(AMilliseconds);
    while (Clock::now() < deadline) {
        if (!ReadSome(deadline)) {
            usleep(10000);
        }
    }
}

void TProcess::Signal(int ASignal) const noexcept {
    if (FPid > 0 && !FStatus) {
        kill(FPid, ASignal);
    }
}

bool TProcess::Ended() {
    int status = 0;
    if (!FStatus && FPid > 0 && waitpid(FPid, &status, WNOHANG) == FPid) {
        const bool exited = WIFEXITED(status);
        FStatus = TExitStatus{exited, exited ? WEXITSTATUS(status) : 0,
                              WIFSIGNALED(status) ? WTERMSIG(status) : 0};
    }
    return FStatus.has_value();
}

std::optional<TExitStatus> TProcess::WaitExit(int ATimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (FPid > 0 && !Ended()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(20));
        if (!ReadSome(slice)) {
            usleep(10000);
        }
    }
    // The streams end with the child; read what is left, bounded.
    const auto drainDeadline = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < drainDeadline && ReadSome(drainDeadline)) {
    }
    return FStatus;
}

std::vector<std::string> Lines(std::string_view AText) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < AText.size()) {
        const std::size_t end = AText.find('\n', start);
        if (end == std::string_view::npos) {
            lines.emplace_back(AText.substr(start));
            break;
        }
        lines.emplace_back(AText.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::size_t CountOf(std::string_view AText, std::string_view APart) {
    if (APart.empty()) {
        return 0;
    }
    std::size_t count = 0;
    for (std::size_t at = AText.find(APart); at != std::string_view::npos;
         at = AText.find(APart, at + APart.size())) {
        ++count;
    }
    return count;
}

bool IsAnsweredLine(std::string_view ALine, std::string_view AAddress) {
    const std::string head = "Ping answered! " + std::string(AAddress) + " [";
    constexpr std::string_view Tail = "ms]";
    if (ALine.size() <= head.size() + Tail.size() || ALine.substr(0, head.size()) != head ||
        ALine.substr(ALine.size() - Tail.size()) != Tail) {
        return false;
    }
    const std::string_view digits =
        ALine.substr(head.size(), ALine.size() - head.size() - Tail.size());
    return std::all_of(digits.begin(), digits.end(),
                       [](char AChar) { return std::isdigit(static_cast<unsigned char>(AChar)); });
}

TSpawnOptions OptionsIn(std::string_view ANamespace, const TResolverFiles& AResolver,
                        std::vector<std::string> AArguments) {
    TSpawnOptions options;
    options.NetNamespace = std::string(ANamespace);
    options.Resolver = &AResolver;
    options.Arguments = std::move(AArguments);
    return options;
}

bool IsExceptionReport(std::string_view AError, std::string_view AClassName,
                       std::string_view AMessageLine) {
    const std::string head = "Exception " + std::string(AClassName) + " in module tarvex at 0x";
    if (AError.substr(0, head.size()) != head) {
        return false;
    }
    std::size_t at = head.size();
    const std::size_t digits = at;
    while (at < AError.size() && std::isxdigit(static_cast<unsigned char>(AError[at])) != 0) {
        ++at;
    }
    return at > digits && AError.substr(at) == ".\n" + std::string(AMessageLine) + "\n";
}

std::optional<std::time_t> FailureLineTime(std::string_view ALine) {
    constexpr std::string_view Head = "Error occured [";
    constexpr std::size_t MomentSize = std::string_view("MM/dd/yy hh:nn:ss AM").size();
    if (ALine.size() != Head.size() + MomentSize + 1 || !ALine.starts_with(Head) ||
        !ALine.ends_with(']')) {
        return std::nullopt;
    }
    const std::string moment(ALine.substr(Head.size(), MomentSize));
    std::tm parts{};
    // The program writes it in the C locale: read it so, whatever the test's own locale.
    const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    const locale_t previous = uselocale(c);
    const char* end = strptime(moment.c_str(), "%m/%d/%y %I:%M:%S %p", &parts);
    uselocale(previous);
    freelocale(c);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return timegm(&parts) - TestZoneOffsetSeconds;
}

TRunResult RunToEnd(const TSpawnOptions& AOptions, int ATimeoutMs) {
    TProcess process(AOptions);
    TRunResult result;
    if (!process.Started()) {
        result.Error = process.StartError();
        return result;
    }
    result.Status = process.WaitExit(ATimeoutMs);
    result.Output = process.Output();
    result.Error = process.Error();
    if (!result.Status) {
        result.Error += "(did not end within " + std::to_string(ATimeoutMs) + " ms)";
    }
    return result;
}

void RenewSignalPipe() noexcept {
    try {
        InstallKeyboardSignals();
    } catch (const std::exception&) {
        // The inherited pipe still ends this process's waits, and maybe its parent's too.
    }
}

TRunResult RunShell(const std::string& ACommand, int ATimeoutMs) {
    TSpawnOptions options;
    options.ProgramPath = "/bin/sh";
    options.Arguments = {"-c", ACommand};
    return RunToEnd(options, ATimeoutMs);
}

TRunResult RunInChild(std::function<int()> ABody, int ATimeoutMs) {
    TSpawnOptions options;
    options.Body = std::move(ABody);
    return RunToEnd(options, ATimeoutMs);
}

}  // namespace tarvex::test
