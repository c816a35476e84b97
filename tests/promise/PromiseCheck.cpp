// Runs the built program many times, each run in fresh namespaces with an environment and
// traffic drawn at random, and holds what it printed and sent against what the peer really did.
//   tarvex_promise_check [--seed N] [--draws K] [--seconds S] [--draw K] [--verbose]
// A failing draw prints its seed and the command that runs exactly that draw again.

#include <arpa/inet.h>
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "tests/promise/Agent.h"
#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view LocalIp = "10.77.0.1";
constexpr std::string_view PeerIp = "10.77.0.2";
constexpr std::string_view ThirdIp = "10.77.0.3";
constexpr std::string_view HostsText =
    "127.0.0.1 localhost\n127.0.0.1 own.hosts\n10.77.0.2 peer.hosts\n";
constexpr std::string_view DnsName = "peer.dns.tvx";

long Ms(Clock::duration ADuration) {
    return std::chrono::duration_cast<milliseconds>(ADuration).count();
}

enum class TResolver : std::uint8_t { rsNone, rsFast, rsSlow, rsSilent, rsFailing };
enum class TReading : std::uint8_t { rdPrompt, rdSlow, rdNever };

struct THostForm {
    const char* Text;
    const char* Shown;  // the address an answered line names
    bool Own;           // an address of the watching host itself: the kernel answers
    bool Dns;           // looked up through the name server
};

const THostForm HostForms[] = {
    {"10.77.0.2", "10.77.0.2", false, false},   {"0x0a.77.0.02", "10.77.0.2", false, false},
    {"$0A.077.0.2", "10.77.0.2", false, false}, {"x0A.77.00.2", "10.77.0.2", false, false},
    {"peer.hosts", "10.77.0.2", false, false},  {"Peer.DNS.tvx", "10.77.0.2", false, true},
    {"127.0.0.1", "127.0.0.1", true, false},    {"LocalHost", "127.0.0.1", true, false},
    {"0x7F.0.0.01", "127.0.0.1", true, false},  {"own.hosts", "127.0.0.1", true, false},
    {"10.77.0.1", "10.77.0.1", true, false},    {"", "", false, false},
};

// Everything one run is made of.
struct TDraw {
    std::uint64_t Seed = 0;
    THostForm Host{};
    TResolver Resolver = TResolver::rsNone;
    int ResolverDelayMs = 0;
    std::uint8_t ResolverCode = 0;
    bool OwnIgnores = false;
    int Timeout = 500;
    int Delay = 0;
    std::string Beep;
    TStreamKind Output = TStreamKind::skPipe;
    TStreamKind Error = TStreamKind::skPipe;
    TStreamKind Input = TStreamKind::skNull;
    TReading Reading = TReading::rdPrompt;
    int PipeBytes = 0;
    bool NonBlocking = false;
    int Inherited = 0;
    int FileLimit = 0;
    std::vector<int> Blocked;
    std::vector<int> Ignored;
    int Hogs = 0;
    std::vector<std::string> Environment;
    // What the peer does with each request.
    double Drop = 0, ErrorRate = 0, Duplicate = 0, Foreign = 0;
    int MaxReplyDelay = 0, Burst = 0, Flood = 0;
    int PressSignal = SIGINT;
    int FirstPressMs = 0, GapMs = 0;

    bool AlarmCause() const {
        return Host.Text[0] == '\0' || Inherited > 1000 || Resolver == TResolver::rsSilent ||
               Resolver == TResolver::rsFailing;
    }
    bool ExitCause() const {
        return Output == TStreamKind::skClosed || Output == TStreamKind::skFull;
    }
    bool Readable() const {
        return Output == TStreamKind::skPipe || Output == TStreamKind::skTerminal;
    }
    int Margin() const { return Hogs > 0 ? 80 : 25; }
    int PressLimit() const { return Hogs > 0 ? 600 : 400; }
};

template <typename T>
T Pick(std::mt19937_64& ARandom, std::initializer_list<T> AChoices) {
    return *(AChoices.begin() +
             std::uniform_int_distribution<std::size_t>(0, AChoices.size() - 1)(ARandom));
}

int Between(std::mt19937_64& ARandom, int ALow, int AHigh) {
    return std::uniform_int_distribution<int>(ALow, AHigh)(ARandom);
}

bool Chance(std::mt19937_64& ARandom, double AProbability) {
    return std::bernoulli_distribution(AProbability)(ARandom);
}

TDraw DrawRun(std::uint64_t ASeed) {
    std::mt19937_64 random(ASeed);
    TDraw draw;
    draw.Seed = ASeed;
    draw.Host = HostForms[Between(random, 0, std::size(HostForms) - 1)];
    if (draw.Host.Dns) {
        draw.Resolver = Pick(random, {TResolver::rsFast, TResolver::rsSlow, TResolver::rsSlow,
                                      TResolver::rsSilent, TResolver::rsFailing});
        draw.ResolverDelayMs = draw.Resolver == TResolver::rsSlow ? Between(random, 250, 700) : 0;
        draw.ResolverCode = Pick<std::uint8_t>(random, {2, 3, 5});
    }
    draw.OwnIgnores = Chance(random, 0.5);
    draw.Timeout = Pick(random, {100, 200, 300, 500, 800, 0, -5, -2});
    draw.Delay = Pick(random, {0, 0, 50, 200, 700, 2000});
    draw.Beep = Pick<std::string>(random, {"", "+b", "-b", "-BEEP", "+Beep"});
    draw.Output = Pick(random, {TStreamKind::skPipe, TStreamKind::skPipe, TStreamKind::skPipe,
                                TStreamKind::skTerminal, TStreamKind::skNull, TStreamKind::skFull,
                                TStreamKind::skClosed});
    draw.Error = Pick(random, {TStreamKind::skPipe, TStreamKind::skTerminal, TStreamKind::skNull,
                               TStreamKind::skClosed, TStreamKind::skOutput});
    if (draw.Error == TStreamKind::skOutput && draw.Output != TStreamKind::skTerminal) {
        draw.Error = TStreamKind::skPipe;
    }
    draw.Input = Pick(random, {TStreamKind::skNull, TStreamKind::skClosed});
    if (draw.Output == TStreamKind::skPipe) {
        draw.Reading = Pick(random, {TReading::rdPrompt, TReading::rdSlow, TReading::rdNever});
        draw.PipeBytes = Pick(random, {0, 4096});
        draw.NonBlocking = Chance(random, 0.4);
    }
    draw.Inherited = Pick(random, {0, 0, 0, 40, 1100});
    draw.FileLimit = draw.Inherited == 0 ? Pick(random, {0, 16, 32}) : 0;
    for (const int signalNumber : {SIGINT, SIGQUIT, SIGALRM, SIGCHLD, SIGPIPE, SIGUSR1}) {
        if (Chance(random, 0.2)) {
            draw.Blocked.push_back(signalNumber);
        }
    }
    for (const int signalNumber : {SIGINT, SIGQUIT, SIGALRM, SIGCHLD, SIGHUP}) {
        if (Chance(random, 0.2)) {
            draw.Ignored.push_back(signalNumber);
        }
    }
    draw.Hogs = Chance(random, 0.25) ? Between(random, 1, 3) : 0;
    draw.Environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                        "ASAN_OPTIONS=quarantine_size_mb=0:thread_local_quarantine_size_kb=0"};
    draw.Environment.push_back(
        Pick<std::string>(random, {"LC_ALL=POSIX", "LC_ALL=C.UTF-8", "LC_ALL=de_DE.UTF-8",
                                   "LANG=de_DE.UTF-8", "LC_ALL=xx_YY.nowhere", "LC_TIME=C"}));
    draw.Environment.push_back(
        Pick<std::string>(random, {"TZ=UTC0", "TZ=America/New_York", "TZ=Asia/Kathmandu",
                                   "TZ=NZST-12NZDT,M9.5.0,M4.1.0/3", "TZ=:/nowhere", "HOME=/"}));
    draw.Drop = Pick(random, {0.0, 0.1, 0.4});
    draw.ErrorRate = Pick(random, {0.0, 0.0, 0.15});
    draw.Duplicate = Pick(random, {0.0, 0.3});
    draw.Foreign = Pick(random, {0.0, 0.5, 1.0});
    draw.MaxReplyDelay = Between(random, 0, std::max(draw.Timeout, 300) * 3 / 2);
    draw.Burst = Between(random, 1, 30);
    draw.Flood = Chance(random, 0.2) ? Between(random, 200, 1500) : 0;
    draw.PressSignal = Pick(random, {SIGINT, SIGINT, SIGQUIT});
    draw.FirstPressMs = Between(random, draw.Hogs > 0 ? 700 : 400, 3500);
    draw.GapMs = Between(random, 250, 800);
    return draw;
}

std::string Describe(const TDraw& ADraw) {
    static const char* const Streams[] = {"pipe", "terminal", "null", "full", "closed", "output"};
    static const char* const Resolvers[] = {"-", "fast", "slow", "silent", "failing"};
    static const char* const Readings[] = {"prompt", "slow", "never"};
    std::ostringstream text;
    text << "host '" << ADraw.Host.Text << "' resolver " << Resolvers[int(ADraw.Resolver)]
         << (ADraw.ResolverDelayMs > 0 ? "/" + std::to_string(ADraw.ResolverDelayMs) : "")
         << (ADraw.Host.Own ? (ADraw.OwnIgnores ? " ignoring" : " answering") : "") << " timeout "
         << ADraw.Timeout << " delay " << ADraw.Delay << " beep '" << ADraw.Beep << "' in/out/err "
         << Streams[int(ADraw.Input)] << "/" << Streams[int(ADraw.Output)] << "/"
         << Streams[int(ADraw.Error)] << " read " << Readings[int(ADraw.Reading)]
         << (ADraw.NonBlocking ? " non-blocking" : "") << " pipe " << ADraw.PipeBytes
         << " inherited " << ADraw.Inherited << " nofile " << ADraw.FileLimit << " hogs "
         << ADraw.Hogs << " blocked " << ADraw.Blocked.size() << " ignored " << ADraw.Ignored.size()
         << " " << ADraw.Environment[2] << " " << ADraw.Environment[3] << " drop " << ADraw.Drop
         << " error " << ADraw.ErrorRate << " dup " << ADraw.Duplicate << " foreign "
         << ADraw.Foreign << "x" << ADraw.Burst << " flood " << ADraw.Flood
         << " reply<=" << ADraw.MaxReplyDelay << "ms press " << strsignal(ADraw.PressSignal)
         << " at " << ADraw.FirstPressMs << "+" << ADraw.GapMs << "ms";
    return text.str();
}

// Busy processes on one CPU, the one the program is bound to.
class THogs {
public:
    THogs(int ACount, int ACpu) {
        for (int index = 0; index < ACount; ++index) {
            const pid_t pid = fork();
            if (pid == 0) {
                cpu_set_t only;
                CPU_ZERO(&only);
                CPU_SET(ACpu, &only);
                sched_setaffinity(0, sizeof only, &only);
                for (;;) {
                    asm volatile("" ::: "memory");
                }
            }
            FPids.push_back(pid);
        }
    }
    ~THogs() {
        for (const pid_t pid : FPids) {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
    THogs(const THogs&) = delete;
    THogs& operator=(const THogs&) = delete;

private:
    std::vector<pid_t> FPids;
};

// One request as the peer (or, for an own address, the host's loopback) saw it.
struct TRequest {
    Clock::time_point Arrived;
    bool Answered = false;   // a genuine echo reply was (or, from the kernel, is) sent
    bool ErrorSent = false;  // a genuine error quoting it was sent instead
};

std::vector<std::uint8_t> Icmp(std::uint8_t AType, std::uint8_t ACode,
                               std::span<const std::uint8_t> ARest) {
    std::vector<std::uint8_t> bytes(4 + ARest.size());
    bytes[0] = AType;
    bytes[1] = ACode;
    std::copy(ARest.begin(), ARest.end(), bytes.begin() + 4);
    StoreLe16(bytes, IcmpChecksumOffset, InternetChecksum(bytes));
    return bytes;
}

// The peer's side of a run: answers, errors and foreign traffic for every request, decided
// from the draw's seed and the request's number only, so a draw runs the same way again.
class TPeer {
public:
    TPeer(const TDraw& ADraw, const TestNamespace& ANamespace)
        : FDraw(ADraw), FAgent(ANamespace, 0, [this](auto ABytes, const auto&, auto AArrived) {
              OnDatagram(ABytes, AArrived);
          }) {}
    bool Ok() const noexcept { return FAgent.Ok(); }
    bool SawAll() const noexcept { return FAgent.Dropped() == 0; }
    std::vector<TRequest> Requests() {
        const std::lock_guard<std::mutex> hold(FAgent.Lock());
        return FRequests;
    }
    // When the genuine answer to request AIndex left (own address: when the request came).
    std::optional<Clock::time_point> AnswerSent(std::size_t AIndex) {
        const std::vector<TRequest> requests = Requests();
        if (AIndex >= requests.size() || !requests[AIndex].Answered) {
            return std::nullopt;
        }
        if (FDraw.Host.Own) {
            return requests[AIndex].Arrived;
        }
        const Clock::time_point sent = FAgent.AnswerSent(static_cast<int>(AIndex));
        return sent == Clock::time_point{} ? std::nullopt : std::optional(sent);
    }

private:
    void OnDatagram(std::span<const std::uint8_t> ABytes, Clock::time_point AArrived) {
        const std::size_t header = (ABytes[0] & 0x0FU) * 4U;
        if (ABytes.size() < header + 8 || ABytes[header] != 8) {
            return;
        }
        char target[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &ABytes[16], target, sizeof target);
        if (target != std::string_view(FDraw.Host.Shown)) {
            return;
        }
        TRequest request{AArrived, FDraw.Host.Own && !FDraw.OwnIgnores, false};
        const int index = static_cast<int>(FRequests.size());
        if (!FDraw.Host.Own && FDraw.Timeout != 0 && FDraw.Timeout != -5) {
            Plan(ABytes, header, index, request);
        }
        FRequests.push_back(request);
    }

    void Plan(std::span<const std::uint8_t> ABytes, std::size_t AHeader, int AIndex,
              TRequest& ARequest) {
        std::mt19937_64 random(FDraw.Seed ^ (0x9E3779B97F4A7C15ULL * (AIndex + 1U)));
        const std::vector<std::uint8_t> echo(ABytes.begin() + AHeader, ABytes.end());
        // The request's IPv4 header and first eight bytes, as an error quotes them.
        std::vector<std::uint8_t> quote(ABytes.begin(), ABytes.begin() + AHeader + 8);
        const Clock::time_point now = Clock::now();
        const int delay = Between(random, 0, FDraw.MaxReplyDelay);
        const double roll = std::uniform_real_distribution<double>(0, 1)(random);
        const auto queue = [this, now](int AMs, std::string_view AFrom,
                                       const std::vector<std::uint8_t>& AIcmp, int AExchange) {
            FAgent.Send({now + milliseconds(AMs), IpDatagram(1, AFrom, LocalIp, AIcmp),
                         AddressOf(LocalIp), true, AExchange});
        };
        const auto echoed = [&echo](std::uint8_t AType, int AId, int ASeq) {
            std::vector<std::uint8_t> rest(echo.begin() + 4, echo.end());
            if (AId >= 0) {
                rest[0] = static_cast<std::uint8_t>(AId);
                rest[1] = static_cast<std::uint8_t>(AId >> 8);
            }
            rest[2] = static_cast<std::uint8_t>(ASeq);
            rest[3] = static_cast<std::uint8_t>(ASeq >> 8);
            return Icmp(AType, 0, rest);
        };
        const int id = echo[4] | echo[5] << 8;
        const int sequence = echo[6] | echo[7] << 8;
        if (roll < FDraw.Drop) {
        } else if (roll < FDraw.Drop + FDraw.ErrorRate) {
            std::vector<std::uint8_t> rest{0, 0, 0, 0};
            rest.insert(rest.end(), quote.begin(), quote.end());
            queue(delay, PeerIp, Icmp(3, 1, rest), -1);
            ARequest.ErrorSent = true;
        } else {
            const int copies = Chance(random, FDraw.Duplicate) ? Between(random, 2, 3) : 1;
            for (int copy = 0; copy < copies; ++copy) {
                queue(delay + copy * Between(random, 0, 15), PeerIp, echoed(0, -1, sequence),
                      AIndex);
            }
            ARequest.Answered = true;
        }
        // Traffic about anything but this request, some of it before the answer.
        const int foreign = Chance(random, FDraw.Foreign) ? Between(random, 1, FDraw.Burst) : 0;
        for (int count = 0; count < foreign; ++count) {
            const int at = Between(random, 0, delay + 30);
            std::vector<std::uint8_t> quoted = quote;
            std::vector<std::uint8_t> rest{0, 0, 0, 0};
            const int kind = Between(random, 0, 8);
            switch (kind) {
                case 0:  // a reply to another program
                    queue(at, PeerIp, echoed(0, id ^ 0x5A5A, sequence), -1);
                    continue;
                case 1:  // a late reply to an earlier request
                    queue(at, PeerIp, echoed(0, -1, sequence - Between(random, 1, 3)), -1);
                    continue;
                case 2:  // the right numbers from the wrong address
                    queue(at, ThirdIp, echoed(0, -1, sequence), -1);
                    continue;
                case 3:  // a request, not a reply, with the right numbers
                    queue(at, PeerIp, echoed(8, -1, sequence), -1);
                    continue;
                case 4:  // an error about a datagram to another destination
                    quoted[19] = 9;
                    break;
                case 5:  // an error about a UDP datagram whose bytes look like the request
                    quoted[9] = 17;
                    break;
                case 6:  // an error about another program's request
                    quoted[AHeader + 4] ^= 0x5A;
                    break;
                case 7:  // an error about an echo reply with the right numbers
                    quoted[AHeader] = 0;
                    break;
                default:  // a redirect about this very request, which changes nothing
                    rest = {10, 77, 0, 3};
                    break;
            }
            rest.insert(rest.end(), quoted.begin(), quoted.end());
            queue(at, PeerIp, Icmp(kind == 8 ? 5 : Pick<std::uint8_t>(random, {3, 11}), 1, rest),
                  -1);
        }
        // A flood of what no filter lets through: other programs' replies and requests.
        for (int count = 0; count < FDraw.Flood; ++count) {
            queue(Between(random, 0, delay), PeerIp,
                  echoed(count % 2 == 0 ? 0 : 8, id ^ 0x5A5A, sequence), -1);
        }
    }

    const TDraw& FDraw;
    std::vector<TRequest> FRequests;
    TAgent FAgent;
};

// A name server on 127.0.0.1:53 that knows one name, answering as the draw says.
class TNameServer {
public:
    TNameServer(const TDraw& ADraw, const TestNamespace& ANamespace)
        : FDraw(ADraw), FAgent(ANamespace, 53, [this](auto ABytes, const auto& AFrom, auto) {
              Answer(ABytes, AFrom);
          }) {}
    bool Ok() const noexcept { return FAgent.Ok(); }

private:
    void Answer(std::span<const std::uint8_t> AQuery, const sockaddr_in& AFrom) {
        std::size_t end = 12;
        std::string name;
        while (end < AQuery.size() && AQuery[end] != 0) {
            name.append(name.empty() ? "" : ".")
                .append(reinterpret_cast<const char*>(&AQuery[end + 1]), AQuery[end]);
            end += AQuery[end] + 1U;
        }
        end += 5;  // the root label, type and class
        if (FDraw.Resolver == TResolver::rsSilent || end > AQuery.size()) {
            return;
        }
        for (char& letter : name) {
            letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
        }
        const bool known = name == DnsName;
        const bool addressWanted = AQuery[end - 4] == 0 && AQuery[end - 3] == 1;
        std::vector<std::uint8_t> reply(AQuery.begin(), AQuery.begin() + end);
        reply[2] = 0x81;
        reply[3] = static_cast<std::uint8_t>(0x80U | (FDraw.Resolver == TResolver::rsFailing
                                                          ? FDraw.ResolverCode
                                                      : known ? 0
                                                              : 3));
        reply[7] = known && addressWanted && FDraw.Resolver != TResolver::rsFailing ? 1 : 0;
        reply[9] = reply[11] = 0;
        if (reply[7] == 1) {
            reply.insert(reply.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 2});
        }
        FAgent.Send({Clock::now() + milliseconds(FDraw.ResolverDelayMs), reply, AFrom, false});
    }

    const TDraw& FDraw;
    TAgent FAgent;
};

struct TSample {
    int Descriptors = 0;
    int Threads = 0;
    long RssKib = 0;
};

std::optional<TSample> SampleOf(pid_t APid) {
    TSample sample;
    DIR* directory = opendir(("/proc/" + std::to_string(APid) + "/fd").c_str());
    if (directory == nullptr) {
        return std::nullopt;
    }
    while (const dirent* entry = readdir(directory)) {
        sample.Descriptors += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(directory);
    std::ifstream status("/proc/" + std::to_string(APid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Threads:")) {
            sample.Threads = std::stoi(line.substr(8));
        } else if (line.starts_with("VmRSS:")) {
            sample.RssKib = std::stol(line.substr(6));
        }
    }
    return sample;
}

// True once the process has ended (a zombie not yet reaped), without reading its output.
bool Ended(pid_t APid) {
    std::ifstream stat("/proc/" + std::to_string(APid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

bool WaitEnded(pid_t APid, Clock::time_point ADeadline, TProcess* AReading = nullptr) {
    while (!Ended(APid)) {
        if (Clock::now() >= ADeadline) {
            return false;
        }
        if (AReading != nullptr) {
            AReading->Collect(5);
        } else {
            usleep(5000);
        }
    }
    return true;
}

long SoftnetDrops() {
    std::ifstream stat("/proc/net/softnet_stat");
    long drops = 0;
    for (std::string line; std::getline(stat, line);) {
        drops += std::stol(line.substr(9, 8), nullptr, 16);
    }
    return drops;
}

bool IsAnswered(std::string_view ALine, std::string_view AAddress, long& ARoundTrip) {
    if (!IsAnsweredLine(ALine, AAddress)) {
        return false;
    }
    ARoundTrip = std::stol(std::string(ALine.substr(ALine.rfind('[') + 1)));
    return true;
}

bool IsExchangePrefix(std::string_view ALine) {
    return ALine.starts_with("Ping ") &&
           (std::string_view("Ping lost?").starts_with(ALine) ||
            std::string_view("Ping answered! ").starts_with(ALine.substr(0, 15)));
}

class TRun {
public:
    explicit TRun(const TDraw& ADraw) : FDraw(ADraw) {}
    std::vector<std::string> Execute();

private:
    void Fail(const std::string& AWhat) { FFailures.push_back(AWhat); }
    void CheckOutput(const TProcess& ATarvex, TPeer& APeer);
    void CheckExchange(std::size_t AIndex, std::string_view ALine, TPeer& APeer,
                       const std::vector<TRequest>& ARequests);
    void CheckReport(std::string AError, std::string_view AClass, std::string_view AMessage);

    const TDraw& FDraw;
    std::vector<std::string> FFailures;
    Clock::time_point FStart, FFirstPress, FSecondPress;
    bool FPressed = false;
    bool FNetworkDropped = false;
};

std::vector<std::string> TRun::Execute() {
    TestNetwork network;
    TestNamespace& local = network.AddNamespace("pl");
    TestNamespace& peer = network.AddNamespace("pp");
    if (!network.Link(local, std::string(LocalIp) + "/24", peer, std::string(PeerIp) + "/24") ||
        peer.Exec("ip addr add " + std::string(ThirdIp) + "/24 dev tl0b") != 0 ||
        !peer.IgnoreEchoRequests() ||
        !local.SetSysctl("net.ipv4.icmp_echo_ignore_all", FDraw.OwnIgnores ? "1" : "0")) {
        return {"cannot set up the namespaces"};
    }
    TPeer responder(FDraw, FDraw.Host.Own ? local : peer);
    std::optional<TNameServer> nameServer;
    if (FDraw.Host.Dns) {
        nameServer.emplace(FDraw, local);
    }
    if (!responder.Ok() || (nameServer && !nameServer->Ok())) {
        return {"cannot start the peer or the name server"};
    }
    const TResolverFiles resolver(HostsText, "127.0.0.1", "timeout:5 attempts:1");
    std::vector<std::string> arguments;
    if (!FDraw.Beep.empty()) {
        arguments.push_back(FDraw.Beep);
    }
    arguments.insert(arguments.end(),
                     {FDraw.Host.Text, std::to_string(FDraw.Timeout), std::to_string(FDraw.Delay)});
    TSpawnOptions options = OptionsIn(local.Name(), resolver, arguments);
    options.Environment = FDraw.Environment;
    options.Output = FDraw.Output;
    options.Error = FDraw.Error;
    options.Input = FDraw.Input;
    options.OutputPipeBytes = FDraw.PipeBytes;
    options.NonBlockingOutput = FDraw.NonBlocking;
    options.InheritedDescriptors = FDraw.Inherited;
    options.BlockedSignals = FDraw.Blocked;
    options.IgnoredSignals = FDraw.Ignored;
    if (FDraw.FileLimit > 0) {
        options.Limits.emplace_back(RLIMIT_NOFILE, FDraw.FileLimit);
    }
    const int cpu = static_cast<int>(FDraw.Seed % 2U) %
                    static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    options.Cpu = FDraw.Hogs > 0 ? cpu : -1;
    const THogs hogs(FDraw.Hogs, cpu);
    const long dropsBefore = SoftnetDrops();

    FStart = Clock::now();
    TProcess tarvex(options);
    if (!tarvex.Started()) {
        return {"cannot start the program: " + tarvex.StartError()};
    }
    const pid_t pid = tarvex.Pid();
    const int openAtStart = FDraw.Inherited + (FDraw.Input != TStreamKind::skClosed) +
                            (FDraw.Output != TStreamKind::skClosed) +
                            (FDraw.Error != TStreamKind::skClosed);
    std::vector<TSample> samples;
    const auto runFor = [&](Clock::time_point AUntil) {
        while (Clock::now() < AUntil && !Ended(pid)) {
            if (const std::optional<TSample> sample = SampleOf(pid)) {
                samples.push_back(*sample);
            }
            const Clock::time_point next = std::min(AUntil, Clock::now() + milliseconds(100));
            if (FDraw.Reading == TReading::rdPrompt) {
                tarvex.Collect(static_cast<int>(Ms(next - Clock::now())));
            } else if (FDraw.Reading == TReading::rdSlow && samples.size() % 4 == 0) {
                tarvex.Collect(2);
            }
            std::this_thread::sleep_until(next);
        }
    };

    if (FDraw.ExitCause()) {
        runFor(FStart + milliseconds(3000));
        if (!Ended(pid)) {
            Fail("still running 3 s after start, though its standard output is unusable");
        }
    } else {
        runFor(FStart + milliseconds(FDraw.FirstPressMs));
        if (Ended(pid)) {
            Fail("ended by itself before any press, after " +
                 std::to_string(Ms(Clock::now() - FStart)) + " ms");
        } else {
            const bool alarmBefore = CountOf(tarvex.Output(), "Error occured [") > 0;
            FPressed = true;
            FFirstPress = Clock::now();
            tarvex.Signal(FDraw.PressSignal);
            const Clock::time_point limit = FFirstPress + milliseconds(FDraw.PressLimit());
            const bool prompt = FDraw.Reading == TReading::rdPrompt && FDraw.Readable();
            if (prompt && !alarmBefore) {
                while (Clock::now() < limit && CountOf(tarvex.Output(), "Error occured [") == 0 &&
                       !Ended(pid)) {
                    tarvex.Collect(5);
                }
                if (CountOf(tarvex.Output(), "Error occured [") == 0) {
                    Fail("no alarm line within " + std::to_string(FDraw.PressLimit()) +
                         " ms of the first press");
                }
            }
            const bool endedByOne =
                WaitEnded(pid, FFirstPress + milliseconds(FDraw.GapMs), prompt ? &tarvex : nullptr);
            if (endedByOne && !alarmBefore && !FDraw.AlarmCause()) {
                Fail("one press ended the program");
            } else if (endedByOne && Clock::now() > limit) {
                Fail("the press that ended the alarm took over " +
                     std::to_string(FDraw.PressLimit()) + " ms");
            } else if (!endedByOne) {
                if (alarmBefore) {
                    Fail("a press during the alarm did not end the program");
                }
                FSecondPress = Clock::now();
                tarvex.Signal(FDraw.PressSignal);
                if (!WaitEnded(pid, FSecondPress + milliseconds(FDraw.PressLimit()))) {
                    Fail("the second press did not end the program within " +
                         std::to_string(FDraw.PressLimit()) + " ms");
                }
            }
        }
    }
    const std::optional<TExitStatus> status = tarvex.WaitExit(3000);
    if (!status || !status->Exited || status->Code != 1) {
        Fail(!status ? "did not end"
                     : "ended with status " + std::to_string(status->Code) + " signal " +
                           std::to_string(status->Signal) + " (want status 1)");
    }
    FNetworkDropped = SoftnetDrops() != dropsBefore;
    // Descriptors, threads and memory stay flat whatever the run met.
    for (const TSample& sample : samples) {
        if (sample.Descriptors > openAtStart + 8 || sample.Threads > 3) {
            Fail("had " + std::to_string(sample.Descriptors) + " descriptors (" +
                 std::to_string(openAtStart) + " at start) and " + std::to_string(sample.Threads) +
                 " threads at once");
            break;
        }
    }
    if (samples.size() >= 9 && samples.back().RssKib - samples[samples.size() / 3].RssKib > 1024) {
        Fail("resident set grew from " + std::to_string(samples[samples.size() / 3].RssKib) +
             " to " + std::to_string(samples.back().RssKib) + " KiB");
    }
    CheckOutput(tarvex, responder);
    return FFailures;
}

void TRun::CheckReport(std::string AError, std::string_view AClass, std::string_view AMessage) {
    std::erase(AError, '\a');
    if (!IsExceptionReport(AError, AClass, AMessage)) {
        Fail("standard error is not the " + std::string(AClass) + " report: '" +
             AError.substr(0, 200) + "'");
    }
}

void TRun::CheckOutput(const TProcess& ATarvex, TPeer& APeer) {
    std::string text = ATarvex.Output();
    std::string report = ATarvex.Error();
    std::erase(text, '\a');
    if (FDraw.Error == TStreamKind::skOutput) {
        const std::size_t at = text.rfind("Exception ");
        report = at == std::string::npos ? "" : text.substr(at);
        text.erase(std::min(at, text.size()));
    }
    const bool reportSeen =
        FDraw.Error != TStreamKind::skNull && FDraw.Error != TStreamKind::skClosed;
    if (FDraw.Output == TStreamKind::skClosed && reportSeen) {
        CheckReport(report, "EInOutError", "I/O error 9.");
    } else if (FDraw.Output == TStreamKind::skFull && reportSeen) {
        CheckReport(report, "EInOutError", "I/O error 28.");
    } else if (reportSeen && FPressed) {
        CheckReport(report, FDraw.PressSignal == SIGINT ? "EControlC" : "EQuit",
                    FDraw.PressSignal == SIGINT ? "Control-C hit." : "Quit key hit.");
    }
    const std::vector<TRequest> requests = APeer.Requests();
    for (std::size_t index = 0; index < requests.size(); ++index) {
        if (FPressed && requests[index].Arrived > FFirstPress + milliseconds(FDraw.PressLimit())) {
            Fail("request " + std::to_string(index) + " went out " +
                 std::to_string(Ms(requests[index].Arrived - FFirstPress)) +
                 " ms after the first press");
            break;
        }
    }
    if (!FDraw.Readable() || FDraw.ExitCause()) {
        return;
    }
    if (!APeer.SawAll()) {
        std::cout << "  (the peer dropped requests: lines not held against them)\n";
        return;
    }
    const std::string head = std::string(BannerText) + "Pinging [Host: " + FDraw.Host.Text +
                             "] [Beep: " + (FDraw.Beep.starts_with('-') ? "false" : "true") +
                             "] [Timeout: " + std::to_string(FDraw.Timeout) +
                             "ms] [Delay: " + std::to_string(FDraw.Delay) + "ms]\n\n";
    if (!text.starts_with(head)) {
        Fail("the output does not start with the banner and settings: '" + text.substr(0, 200) +
             "'");
        return;
    }
    std::vector<std::string> lines = Lines(text.substr(head.size()));
    const std::string partial = text.ends_with('\n') || lines.empty() ? "" : lines.back();
    if (!partial.empty()) {
        lines.pop_back();
    }
    long roundTrip = 0;
    std::size_t exchanges = 0;
    while (exchanges < lines.size() &&
           (lines[exchanges] == "Ping lost?" ||
            IsAnswered(lines[exchanges], FDraw.Host.Shown, roundTrip))) {
        ++exchanges;
    }
    // Then the alarm: its empty line (or a line a press cut short in a blocked write) and its
    // failure line, which a press may cut short in turn when the output is not read at once.
    const std::vector<std::string> rest(lines.begin() + static_cast<std::ptrdiff_t>(exchanges),
                                        lines.end());
    const bool cutsAllowed = FPressed && FDraw.Reading != TReading::rdPrompt;
    const bool cut = !rest.empty() && cutsAllowed && IsExchangePrefix(rest[0]);
    const bool alarmWhole = rest.size() == 2 && rest[1].starts_with("Error occured [") &&
                            rest[1].ends_with("]") && rest[1].size() > 16 && partial.empty();
    const bool alarmCut = rest.size() == 1 && cutsAllowed &&
                          std::string("Error occured [").starts_with(partial.substr(0, 15));
    if (!rest.empty() && (!(rest[0].empty() || cut) || !(alarmWhole || alarmCut))) {
        Fail("line " + std::to_string(exchanges) + " '" + rest[0] +
             "' starts neither an exchange nor the alarm, or the alarm is not whole and last (" +
             std::to_string(rest.size()) + " lines, then '" + partial + "')");
    } else if (rest.empty() && !partial.empty() && !IsExchangePrefix(partial)) {
        Fail("the output ends in a broken line: '" + partial + "'");
    }
    if (!rest.empty() && !FDraw.AlarmCause()) {
        const std::size_t offset = ATarvex.Output().find("Error occured [");
        if (!FPressed || (FDraw.Reading == TReading::rdPrompt &&
                          ATarvex.OutputTime(offset).value_or(FFirstPress) < FFirstPress)) {
            Fail("the alarm started with no press and no failure");
        }
    }
    const std::size_t complete = exchanges;
    exchanges += cut ? 1 : 0;
    if (requests.size() > exchanges + 1 + (partial.empty() ? 0 : 1)) {
        Fail(std::to_string(requests.size()) + " requests for " + std::to_string(exchanges) +
             " exchange lines");
    }
    for (std::size_t index = 0; index < complete; ++index) {
        CheckExchange(index, lines[index], APeer, requests);
    }
}

void TRun::CheckExchange(std::size_t AIndex, std::string_view ALine, TPeer& APeer,
                         const std::vector<TRequest>& ARequests) {
    const std::string where = "line " + std::to_string(AIndex) + " '" + std::string(ALine) + "': ";
    if (AIndex >= ARequests.size()) {
        if (ALine.starts_with("Ping ")) {
            Fail(where + "no request reached the peer for it");
        }
        return;
    }
    const TRequest& request = ARequests[AIndex];
    const std::optional<Clock::time_point> answer = APeer.AnswerSent(AIndex);
    const long answerMs = answer ? Ms(*answer - request.Arrived) : -1;
    long roundTrip = 0;
    if (IsAnswered(ALine, FDraw.Host.Shown, roundTrip)) {
        if (!answer) {
            Fail(where + "answered, but the peer never answered that request");
            return;
        }
        if (roundTrip + 2 < answerMs || roundTrip > answerMs + FDraw.Margin() + 15) {
            Fail(where + "the answer left the peer " + std::to_string(answerMs) +
                 " ms after the request came");
        } else if (AIndex + 1 < ARequests.size() &&
                   ARequests[AIndex + 1].Arrived + milliseconds(2) <
                       *answer + milliseconds(FDraw.Delay)) {
            Fail(where + "the next request came " +
                 std::to_string(Ms(ARequests[AIndex + 1].Arrived - *answer)) +
                 " ms after the answer, before the delay of " + std::to_string(FDraw.Delay));
        }
    } else if (ALine == "Ping lost?") {
        // Waiting without limit, only an error about the request ends the exchange.
        const bool due = FDraw.Timeout == -2 ? !request.ErrorSent
                                             : answer && !FNetworkDropped && FDraw.Timeout > 0 &&
                                                   answerMs <= FDraw.Timeout - FDraw.Margin();
        if (due && FDraw.Timeout == -2) {
            Fail(where + "lost while waiting without limit, with no error about the request");
        } else if (due) {
            Fail(where + "the answer left the peer " + std::to_string(answerMs) +
                 " ms after the request, timeout " + std::to_string(FDraw.Timeout));
        }
        if (FDraw.Timeout > FDraw.Margin() && !request.ErrorSent && AIndex + 1 < ARequests.size() &&
            Ms(ARequests[AIndex + 1].Arrived - request.Arrived) < FDraw.Timeout - FDraw.Margin()) {
            Fail(where + "the next request came " +
                 std::to_string(Ms(ARequests[AIndex + 1].Arrived - request.Arrived)) +
                 " ms after, before the timeout");
        }
    } else {
        Fail(where + "not an exchange line");
    }
}

}  // namespace
}  // namespace tarvex::test

int main(int argc, char** argv) {
    using namespace tarvex::test;
    std::uint64_t seed = std::random_device{}() ^ static_cast<std::uint64_t>(std::time(nullptr));
    long draws = 1000000;
    long seconds = 150;
    long only = -1;
    bool verbose = false;
    for (int index = 1; index < argc; ++index) {
        const std::string_view option = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : "0";
        if (option == "--verbose") {
            verbose = true;
            continue;
        }
        ++index;
        if (option == "--seed") {
            seed = std::strtoull(value, nullptr, 10);
        } else if (option == "--draws") {
            draws = std::strtol(value, nullptr, 10);
        } else if (option == "--seconds") {
            seconds = std::strtol(value, nullptr, 10);
        } else if (option == "--draw") {
            only = std::strtol(value, nullptr, 10);
        } else {
            std::cerr << "usage: " << argv[0]
                      << " [--seed N] [--draws K] [--seconds S] [--draw K] [--verbose]\n";
            return 2;
        }
    }
    if (!RunningAsRoot() || !HaveTool("ip")) {
        std::cout << (AllTestsRequired() ? "required but unavailable: " : "skipped: ")
                  << "needs root and the ip tool (raw sockets, namespaces)\n";
        return AllTestsRequired() ? 1 : 77;
    }
    // The program's death of a broken pipe is its own; here a write to a gone reader fails.
    signal(SIGPIPE, SIG_IGN);
    std::cout << "promise check: seed " << seed << std::endl;
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    long failed = 0;
    long run = 0;
    for (long draw = only >= 0 ? only : 0; draw < (only >= 0 ? only + 1 : draws); ++draw) {
        // A run takes up to about 7 s: none starts that could not end in time.
        if (only < 0 && Clock::now() + std::chrono::seconds(7) > end) {
            break;
        }
        std::seed_seq sequence{static_cast<std::uint32_t>(seed),
                               static_cast<std::uint32_t>(seed >> 32U),
                               static_cast<std::uint32_t>(draw)};
        std::array<std::uint32_t, 2> words{};
        sequence.generate(words.begin(), words.end());
        const TDraw drawn = DrawRun(std::uint64_t{words[0]} << 32U | words[1]);
        const std::vector<std::string> failures = TRun(drawn).Execute();
        ++run;
        if (verbose || !failures.empty()) {
            std::cout << (failures.empty() ? "ok" : "FAIL") << " seed=" << seed << " draw=" << draw
                      << ": " << Describe(drawn) << "\n";
        }
        for (std::size_t index = 0; index < failures.size() && index < 6; ++index) {
            std::cout << "  - " << failures[index] << "\n";
        }
        if (failures.size() > 6) {
            std::cout << "  - and " << failures.size() - 6 << " more\n";
        }
        if (!failures.empty()) {
            ++failed;
            std::cout << "  reproduce: " << argv[0] << " --seed " << seed << " --draw " << draw
                      << std::endl;
        }
    }
    std::cout << "promise check: " << run << " draws, " << failed << " failed (seed " << seed << ")"
              << std::endl;
    return failed == 0 && run > 0 ? 0 : 1;
}
