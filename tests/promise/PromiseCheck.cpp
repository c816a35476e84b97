// Runs the built program many times, each run in fresh namespaces with an environment and
// traffic drawn at random, and holds what it printed and sent against what the peer really did.
//   tarvex_promise_check [--seed N] [--seconds S] [--draw K] [--verbose]
// A failing draw prints its seed and the command that runs exactly that draw again.

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <thread>

#include "icmp/IdRawHeaders.h"
#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view LocalIp = PeerNetwork::LocalAddress;
constexpr std::string_view PeerIp = PeerNetwork::PeerAddress;
constexpr std::string_view ThirdIp = "10.77.0.3";
constexpr std::string_view HostsText =
    "127.0.0.1 localhost\n127.0.0.1 own.hosts\n10.77.0.2 peer.hosts\n";
constexpr std::string_view DnsName = "peer.dns.tvx";
// The slack of the checks of time, and how soon a press must have acted.
constexpr int Margin = 25;
constexpr int PressLimit = 400;

long Ms(Clock::duration ADuration) {
    return std::chrono::duration_cast<milliseconds>(ADuration).count();
}

enum class TResolver : std::uint8_t { rsNone, rsAnswering, rsSilent, rsFailing };
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
    std::vector<int> Blocked;
    std::vector<int> Ignored;
    std::vector<std::string> Environment;
    // What the peer does with each request.
    double Drop = 0, ErrorRate = 0, Foreign = 0;
    int MaxReplyDelay = 0, Burst = 0;
    int PressSignal = SIGINT;
    int FirstPressMs = 0, GapMs = 0;

    bool AlarmCause() const {
        return Host.Text[0] == '\0' || Resolver == TResolver::rsSilent ||
               Resolver == TResolver::rsFailing;
    }
    bool ExitCause() const {
        return Output == TStreamKind::skClosed || Output == TStreamKind::skFull;
    }
    bool Readable() const {
        return Output == TStreamKind::skPipe || Output == TStreamKind::skTerminal;
    }
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
        draw.Resolver = Pick(random, {TResolver::rsAnswering, TResolver::rsAnswering,
                                      TResolver::rsSilent, TResolver::rsFailing});
        draw.ResolverDelayMs =
            draw.Resolver == TResolver::rsAnswering ? Between(random, 0, 700) : 0;
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
    // Only the keyboard's signals matter to the program; the rest it leaves as it finds them.
    for (const int signalNumber : {SIGINT, SIGQUIT}) {
        if (Chance(random, 0.3)) {
            draw.Blocked.push_back(signalNumber);
        }
        if (Chance(random, 0.3)) {
            draw.Ignored.push_back(signalNumber);
        }
    }
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
    draw.Foreign = Pick(random, {0.0, 0.5, 1.0});
    draw.MaxReplyDelay = Between(random, 0, std::max(draw.Timeout, 300) * 3 / 2);
    draw.Burst = Between(random, 1, 30);
    draw.PressSignal = Pick(random, {SIGINT, SIGINT, SIGQUIT});
    draw.FirstPressMs = Between(random, 400, 3500);
    draw.GapMs = Between(random, 250, 800);
    return draw;
}

std::string Describe(const TDraw& ADraw) {
    static const char* const Streams[] = {"pipe", "terminal", "null", "full", "closed", "output"};
    std::ostringstream text;
    text << "host '" << ADraw.Host.Text << "' resolver " << int(ADraw.Resolver) << "/"
         << ADraw.ResolverDelayMs << " own ignores " << ADraw.OwnIgnores << " arguments '"
         << ADraw.Beep << "' " << ADraw.Timeout << " " << ADraw.Delay << " in/out/err "
         << Streams[int(ADraw.Input)] << "/" << Streams[int(ADraw.Output)] << "/"
         << Streams[int(ADraw.Error)] << " reading " << int(ADraw.Reading) << " pipe "
         << ADraw.PipeBytes << (ADraw.NonBlocking ? " non-blocking" : "") << " blocked/ignored "
         << ADraw.Blocked.size() << "/" << ADraw.Ignored.size() << " " << ADraw.Environment[2]
         << " " << ADraw.Environment[3] << " drop " << ADraw.Drop << " error " << ADraw.ErrorRate
         << " foreign " << ADraw.Foreign << "x" << ADraw.Burst << " reply<=" << ADraw.MaxReplyDelay
         << "ms press " << strsignal(ADraw.PressSignal) << " at " << ADraw.FirstPressMs << "+"
         << ADraw.GapMs;
    return text.str();
}

sockaddr_in AddressOf(std::string_view AAddress, std::uint16_t APort = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(APort);
    inet_pton(AF_INET, std::string(AAddress).c_str(), &address.sin_addr);
    return address;
}

// An ICMP message from AFrom to the watching host, in its IPv4 header.
std::vector<std::uint8_t> IcmpDatagram(std::string_view AFrom, std::uint8_t AType,
                                       std::uint8_t ACode, std::span<const std::uint8_t> ARest) {
    std::vector<std::uint8_t> icmp(4 + ARest.size());
    icmp[0] = AType;
    icmp[1] = ACode;
    std::copy(ARest.begin(), ARest.end(), icmp.begin() + 4);
    StoreLe16(icmp, IcmpChecksumOffset, InternetChecksum(icmp));
    std::vector<std::uint8_t> bytes(20);
    const std::size_t total = bytes.size() + icmp.size();
    bytes[0] = 0x45;
    bytes[2] = static_cast<std::uint8_t>(total >> 8U);
    bytes[3] = static_cast<std::uint8_t>(total);
    bytes[8] = 64;
    bytes[9] = 1;
    const sockaddr_in source = AddressOf(AFrom);
    const sockaddr_in destination = AddressOf(LocalIp);
    std::memcpy(&bytes[12], &source.sin_addr, 4);
    std::memcpy(&bytes[16], &destination.sin_addr, 4);
    StoreLe16(bytes, 10, InternetChecksum(bytes));
    bytes.insert(bytes.end(), icmp.begin(), icmp.end());
    return bytes;
}

// One request as the peer (or, for an own address, the host's loopback) saw it.
struct TRequest {
    Clock::time_point Arrived;
    bool Answered = false;   // a genuine echo reply was (or, from the kernel, is) sent
    bool ErrorSent = false;  // a genuine error quoting it was sent instead
    Clock::time_point Sent;  // when the first genuine reply left the peer
};

struct TOutgoing {
    std::vector<std::uint8_t> Bytes;
    sockaddr_in To{};
    bool Raw = true;   // through the IP_HDRINCL socket, else back through the receiving one
    int Request = -1;  // >= 0: the genuine answer to this request
};

// A thread inside a namespace that answers what one socket receives by datagrams it sends at
// chosen moments: the echo peer (a raw ICMP socket) and the name server (a UDP port of
// 127.0.0.1). The handler gets each datagram with the kernel's arrival time, under the lock, and
// fills Requests and Queue.
class TAgent {
public:
    using THandler =
        std::function<void(std::span<const std::uint8_t>, const sockaddr_in&, Clock::time_point)>;

    TAgent(const TestNamespace& ANamespace, int AUdpPort, THandler AOnReceive)
        : FOnReceive(std::move(AOnReceive)),
          FThread([this, &ANamespace, AUdpPort] { Run(ANamespace, AUdpPort); }) {
        while (FState.load() == 0) {
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    ~TAgent() {
        FStop = true;
        FThread.join();
    }
    TAgent(const TAgent&) = delete;
    TAgent& operator=(const TAgent&) = delete;

    bool Ok() const noexcept { return FState.load() == 1; }
    // False when the receiving socket had to drop datagrams: then not every request was seen.
    bool SawAll() const noexcept { return FDropped.load() == 0; }
    std::vector<TRequest> RequestsSeen() {
        const std::lock_guard<std::mutex> hold(FLock);
        return Requests;
    }

    std::vector<TRequest> Requests;
    std::multimap<Clock::time_point, TOutgoing> Queue;

private:
    void Run(const TestNamespace& ANamespace, int AUdpPort) {
        const ScopedNetnsEntry inside(ANamespace);
        const int one = 1;
        // Room for a whole burst, so that the peer itself never drops a request.
        const int room = 8 << 20;
        const sockaddr_in address = AddressOf("127.0.0.1", static_cast<std::uint16_t>(AUdpPort));
        FReceiving = AUdpPort > 0 ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)
                                  : socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        FSending = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
        const bool ready =
            inside.Ok() && FReceiving >= 0 && FSending >= 0 &&
            (AUdpPort == 0 ||
             bind(FReceiving, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) &&
            setsockopt(FReceiving, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0 &&
            setsockopt(FReceiving, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0 &&
            setsockopt(FReceiving, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0 &&
            setsockopt(FSending, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) == 0;
        FState = ready ? 1 : -1;
        while (ready && !FStop) {
            long wait = 20;
            {
                const std::lock_guard<std::mutex> hold(FLock);
                SendDue();
                if (!Queue.empty()) {
                    wait = std::clamp<long>(Ms(Queue.begin()->first - Clock::now()), 0, 20);
                }
            }
            pollfd watched{FReceiving, POLLIN, 0};
            if (poll(&watched, 1, static_cast<int>(wait)) > 0) {
                ReceiveAll();
            }
        }
        close(FReceiving);
        close(FSending);
    }

    void SendDue() {
        while (!Queue.empty() && Queue.begin()->first <= Clock::now()) {
            const TOutgoing& out = Queue.begin()->second;
            if (out.Request >= 0 && Requests[out.Request].Sent == Clock::time_point{}) {
                Requests[out.Request].Sent = Clock::now();
            }
            sendto(out.Raw ? FSending : FReceiving, out.Bytes.data(), out.Bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&out.To), sizeof out.To);
            Queue.erase(Queue.begin());
        }
    }

    void ReceiveAll() {
        // Everything waiting, so that a fast sender is never left behind.
        for (int count = 0; count < 256; ++count) {
            std::array<std::uint8_t, 2048> bytes{};
            std::array<char, 256> control{};
            sockaddr_in from{};
            iovec part{bytes.data(), bytes.size()};
            msghdr message{&from, sizeof from, &part, 1, control.data(), control.size(), 0};
            const ssize_t got = recvmsg(FReceiving, &message, MSG_DONTWAIT);
            if (got <= 0) {
                return;
            }
            // The kernel's arrival time, on the wall clock, moved to the steady one.
            Clock::time_point arrived = Clock::now();
            for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
                 item = CMSG_NXTHDR(&message, item)) {
                if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp{};
                    std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
                    // Read again when this thread lost the processor between the two clocks:
                    // the gap would move the arrival by as much.
                    timespec wall{};
                    Clock::time_point steady;
                    for (int round = 0; round < 5; ++round) {
                        steady = Clock::now();
                        clock_gettime(CLOCK_REALTIME, &wall);
                        if (Clock::now() - steady < std::chrono::microseconds(200)) {
                            break;
                        }
                    }
                    const auto age = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) +
                                     std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
                    arrived = steady - std::chrono::duration_cast<Clock::duration>(age);
                } else if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL) {
                    std::uint32_t dropped = 0;
                    std::memcpy(&dropped, CMSG_DATA(item), sizeof dropped);
                    FDropped = dropped;
                }
            }
            const std::lock_guard<std::mutex> hold(FLock);
            FOnReceive(std::span<const std::uint8_t>(bytes.data(), static_cast<std::size_t>(got)),
                       from, arrived);
        }
    }

    THandler FOnReceive;
    std::mutex FLock;
    std::atomic<std::uint32_t> FDropped{0};
    std::atomic<bool> FStop{false};
    std::atomic<int> FState{0};  // 1 running, -1 failed
    int FReceiving = -1;
    int FSending = -1;
    std::thread FThread;
};

// The peer's side of a run: answers, errors and foreign traffic for every request, decided
// from the draw's seed and the request's number only, so a draw runs the same way again.
class TPeer {
public:
    TPeer(const TDraw& ADraw, const TestNamespace& ANamespace)
        : FDraw(ADraw), FAgent(ANamespace, 0, [this](auto ABytes, const auto&, auto AArrived) {
              OnDatagram(ABytes, AArrived);
          }) {}
    bool Ok() const noexcept { return FAgent.Ok(); }
    bool SawAll() const noexcept { return FAgent.SawAll(); }
    std::vector<TRequest> Requests() { return FAgent.RequestsSeen(); }

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
        const bool ownAnswers = FDraw.Host.Own && !FDraw.OwnIgnores;
        FAgent.Requests.push_back(
            {AArrived, ownAnswers, false, ownAnswers ? AArrived : Clock::time_point{}});
        if (!FDraw.Host.Own && FDraw.Timeout != 0 && FDraw.Timeout != -5) {
            Plan(ABytes, header, static_cast<int>(FAgent.Requests.size()) - 1);
        }
    }

    void Plan(std::span<const std::uint8_t> ABytes, std::size_t AHeader, int AIndex) {
        std::mt19937_64 random(FDraw.Seed ^ (0x9E3779B97F4A7C15ULL * (AIndex + 1U)));
        const std::vector<std::uint8_t> echo(ABytes.begin() + AHeader, ABytes.end());
        // The request's IPv4 header and first eight bytes, as an error quotes them.
        const std::vector<std::uint8_t> quote(ABytes.begin(), ABytes.begin() + AHeader + 8);
        const Clock::time_point now = Clock::now();
        const int delay = Between(random, 0, FDraw.MaxReplyDelay);
        const double roll = std::uniform_real_distribution<double>(0, 1)(random);
        const auto queue = [this, now](int AMs, std::string_view AFrom, std::uint8_t AType,
                                       std::uint8_t ACode, std::span<const std::uint8_t> ARest,
                                       int ARequest = -1) {
            FAgent.Queue.emplace(now + milliseconds(AMs),
                                 TOutgoing{IcmpDatagram(AFrom, AType, ACode, ARest),
                                           AddressOf(LocalIp), true, ARequest});
        };
        // The request's identifier (AId >= 0: another one), sequence number and data.
        const auto echoed = [&echo](int AId, int ASeq) {
            std::vector<std::uint8_t> rest(echo.begin() + 4, echo.end());
            if (AId >= 0) {
                rest[0] = static_cast<std::uint8_t>(AId);
                rest[1] = static_cast<std::uint8_t>(AId >> 8);
            }
            rest[2] = static_cast<std::uint8_t>(ASeq);
            rest[3] = static_cast<std::uint8_t>(ASeq >> 8);
            return rest;
        };
        const int id = echo[4] | echo[5] << 8;
        const int sequence = echo[6] | echo[7] << 8;
        if (roll < FDraw.Drop) {
        } else if (roll < FDraw.Drop + FDraw.ErrorRate) {
            std::vector<std::uint8_t> rest{0, 0, 0, 0};
            rest.insert(rest.end(), quote.begin(), quote.end());
            queue(delay, PeerIp, 3, 1, rest);
            FAgent.Requests[AIndex].ErrorSent = true;
        } else {
            queue(delay, PeerIp, 0, 0, echoed(-1, sequence), AIndex);
            FAgent.Requests[AIndex].Answered = true;
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
                    queue(at, PeerIp, 0, 0, echoed(id ^ 0x5A5A, sequence));
                    continue;
                case 1:  // a late reply to an earlier request, as a duplicate would be
                    queue(at, PeerIp, 0, 0, echoed(-1, sequence - Between(random, 1, 3)));
                    continue;
                case 2:  // the right numbers from the wrong address
                    queue(at, ThirdIp, 0, 0, echoed(-1, sequence));
                    continue;
                case 3:  // a request, not a reply, with the right numbers
                    queue(at, PeerIp, 8, 0, echoed(-1, sequence));
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
            queue(at, PeerIp, kind == 8 ? 5 : Pick<std::uint8_t>(random, {3, 11}), 1, rest);
        }
    }

    const TDraw& FDraw;
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
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char ALetter) { return std::tolower(ALetter); });
        const bool known = name == DnsName;
        const bool addressWanted = AQuery[end - 4] == 0 && AQuery[end - 3] == 1;
        const bool failing = FDraw.Resolver == TResolver::rsFailing;
        std::vector<std::uint8_t> reply(AQuery.begin(), AQuery.begin() + end);
        reply[2] = 0x81;
        reply[3] = failing ? 0x82 : known ? 0x80 : 0x83;  // server failure, no error, no such name
        reply[7] = known && addressWanted && !failing ? 1 : 0;
        reply[9] = reply[11] = 0;
        if (reply[7] == 1) {
            reply.insert(reply.end(), {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 2});
        }
        FAgent.Queue.emplace(Clock::now() + milliseconds(FDraw.ResolverDelayMs),
                             TOutgoing{reply, AFrom, false});
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
    const std::string directory = "/proc/" + std::to_string(APid);
    std::error_code gone;
    const auto descriptors = std::filesystem::directory_iterator(directory + "/fd", gone);
    if (gone) {
        return std::nullopt;
    }
    TSample sample;
    sample.Descriptors = static_cast<int>(std::distance(descriptors, {}));
    std::ifstream status(directory + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Threads:")) {
            sample.Threads = std::stoi(line.substr(8));
        } else if (line.starts_with("VmRSS:")) {
            sample.RssKib = std::stol(line.substr(6));
        }
    }
    return sample;
}

long SoftnetDrops() {
    std::ifstream stat("/proc/net/softnet_stat");
    long drops = 0;
    for (std::string line; std::getline(stat, line);) {
        drops += std::stol(line.substr(9, 8), nullptr, 16);
    }
    return drops;
}

// The round trip of an answered line to AAddress, or nullopt.
std::optional<long> RoundTripOf(std::string_view ALine, std::string_view AAddress) {
    if (!IsAnsweredLine(ALine, AAddress)) {
        return std::nullopt;
    }
    return std::stol(std::string(ALine.substr(ALine.rfind('[') + 1)));
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
    void Press(TProcess& ATarvex);
    void CheckOutput(const TProcess& ATarvex, TPeer& APeer);
    void CheckExchange(std::size_t AIndex, std::string_view ALine, const TRequest* ARequest,
                       const TRequest* ANext);
    void CheckReport(std::string AError, std::string_view AClass, std::string_view AMessage);

    const TDraw& FDraw;
    std::vector<std::string> FFailures;
    Clock::time_point FFirstPress;
    bool FPressed = false;
    bool FNetworkDropped = false;
};

std::vector<std::string> TRun::Execute() {
    PeerNetwork network;
    TestNamespace& local = network.Local();
    TestNamespace& peer = network.Peer();
    if (!network.Ok() || peer.Exec("ip addr add " + std::string(ThirdIp) + "/24 dev tl0b") != 0 ||
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
    options.BlockedSignals = FDraw.Blocked;
    options.IgnoredSignals = FDraw.Ignored;
    const long dropsBefore = SoftnetDrops();

    const Clock::time_point start = Clock::now();
    TProcess tarvex(options);
    if (!tarvex.Started()) {
        return {"cannot start the program: " + tarvex.StartError()};
    }
    const int openAtStart = (FDraw.Input != TStreamKind::skClosed) +
                            (FDraw.Output != TStreamKind::skClosed) +
                            (FDraw.Error != TStreamKind::skClosed);
    // Until the moment or the end, sampling the process and reading as the draw says.
    std::vector<TSample> samples;
    Clock::time_point until = start + milliseconds(FDraw.ExitCause() ? 3000 : FDraw.FirstPressMs);
    while (Clock::now() < until && !tarvex.Ended()) {
        if (const std::optional<TSample> sample = SampleOf(tarvex.Pid())) {
            samples.push_back(*sample);
        }
        const Clock::time_point next = std::min(until, Clock::now() + milliseconds(100));
        if (FDraw.Reading == TReading::rdPrompt) {
            tarvex.Collect(static_cast<int>(Ms(next - Clock::now())));
        } else if (FDraw.Reading == TReading::rdSlow && samples.size() % 4 == 0) {
            tarvex.Collect(2);
        }
        std::this_thread::sleep_until(next);
    }
    if (FDraw.ExitCause() && !tarvex.Ended()) {
        Fail("still running 3 s after start, though its standard output is unusable");
    } else if (!FDraw.ExitCause() && tarvex.Ended()) {
        Fail("ended by itself before any press, after " + std::to_string(Ms(Clock::now() - start)) +
             " ms");
    } else if (!FDraw.ExitCause()) {
        Press(tarvex);
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
    // The address sanitizer holds freed blocks back for a while, so the resident set says
    // nothing there; its leak check does.
#if !defined(__SANITIZE_ADDRESS__)
    if (samples.size() >= 9 && samples.back().RssKib - samples[samples.size() / 3].RssKib > 1024) {
        Fail("resident set grew from " + std::to_string(samples[samples.size() / 3].RssKib) +
             " to " + std::to_string(samples.back().RssKib) + " KiB");
    }
#endif
    CheckOutput(tarvex, responder);
    return FFailures;
}

// The first press starts the alarm (or, during the alarm, ends the program); a second one
// during the alarm ends it.
void TRun::Press(TProcess& ATarvex) {
    const bool prompt = FDraw.Reading == TReading::rdPrompt && FDraw.Readable();
    const auto endsBy = [&ATarvex](Clock::time_point ADeadline, bool AReading) {
        while (!ATarvex.Ended() && Clock::now() < ADeadline) {
            AReading ? ATarvex.Collect(5) : std::this_thread::sleep_for(milliseconds(5));
        }
        return ATarvex.Ended();
    };
    const bool alarmBefore = CountOf(ATarvex.Output(), "Error occured [") > 0;
    FPressed = true;
    FFirstPress = Clock::now();
    ATarvex.Signal(FDraw.PressSignal);
    const Clock::time_point limit = FFirstPress + milliseconds(PressLimit);
    if (prompt && !alarmBefore) {
        while (Clock::now() < limit && CountOf(ATarvex.Output(), "Error occured [") == 0 &&
               !ATarvex.Ended()) {
            ATarvex.Collect(5);
        }
        if (CountOf(ATarvex.Output(), "Error occured [") == 0) {
            Fail("no alarm line within " + std::to_string(PressLimit) + " ms of the first press");
        }
    }
    const bool endedByOne = endsBy(FFirstPress + milliseconds(FDraw.GapMs), prompt);
    if (endedByOne && !alarmBefore && !FDraw.AlarmCause()) {
        Fail("one press ended the program");
    } else if (endedByOne && Clock::now() > limit) {
        Fail("the press that ended the alarm took over " + std::to_string(PressLimit) + " ms");
    } else if (!endedByOne) {
        if (alarmBefore) {
            Fail("a press during the alarm did not end the program");
        }
        ATarvex.Signal(FDraw.PressSignal);
        if (!endsBy(Clock::now() + milliseconds(PressLimit), false)) {
            Fail("the second press did not end the program within " + std::to_string(PressLimit) +
                 " ms");
        }
    }
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
        if (FPressed && requests[index].Arrived > FFirstPress + milliseconds(PressLimit)) {
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
    std::size_t exchanges = 0;
    while (exchanges < lines.size() &&
           (lines[exchanges] == "Ping lost?" || RoundTripOf(lines[exchanges], FDraw.Host.Shown))) {
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
    const std::size_t lineCount = exchanges + (cut ? 1 : 0) + (partial.empty() ? 0 : 1);
    if (requests.size() > lineCount + 1) {
        Fail(std::to_string(requests.size()) + " requests for " + std::to_string(lineCount) +
             " exchange lines");
    }
    for (std::size_t index = 0; index < exchanges; ++index) {
        CheckExchange(index, lines[index], index < requests.size() ? &requests[index] : nullptr,
                      index + 1 < requests.size() ? &requests[index + 1] : nullptr);
    }
}

void TRun::CheckExchange(std::size_t AIndex, std::string_view ALine, const TRequest* ARequest,
                         const TRequest* ANext) {
    const std::string where = "line " + std::to_string(AIndex) + " '" + std::string(ALine) + "': ";
    if (ARequest == nullptr) {
        Fail(where + "no request reached the peer for it");
        return;
    }
    const bool answered = ARequest->Answered && ARequest->Sent != Clock::time_point{};
    const long answerMs = answered ? Ms(ARequest->Sent - ARequest->Arrived) : -1;
    if (const std::optional<long> roundTrip = RoundTripOf(ALine, FDraw.Host.Shown)) {
        if (!answered) {
            Fail(where + "answered, but the peer never answered that request");
        } else if (*roundTrip + 2 < answerMs || *roundTrip > answerMs + Margin + 15) {
            Fail(where + "the answer left the peer " + std::to_string(answerMs) +
                 " ms after the request came");
        } else if (ANext != nullptr &&
                   ANext->Arrived + milliseconds(2) < ARequest->Sent + milliseconds(FDraw.Delay)) {
            Fail(where + "the next request came " +
                 std::to_string(Ms(ANext->Arrived - ARequest->Sent)) +
                 " ms after the answer, before the delay of " + std::to_string(FDraw.Delay));
        }
        return;
    }
    // A lost line. Waiting without limit, only an error about the request ends the exchange.
    if (FDraw.Timeout == -2 && !ARequest->ErrorSent) {
        Fail(where + "lost while waiting without limit, with no error about the request");
    } else if (answered && !FNetworkDropped && FDraw.Timeout > 0 &&
               answerMs <= FDraw.Timeout - Margin) {
        Fail(where + "the answer left the peer " + std::to_string(answerMs) +
             " ms after the request, timeout " + std::to_string(FDraw.Timeout));
    }
    if (FDraw.Timeout > Margin && !ARequest->ErrorSent && ANext != nullptr &&
        Ms(ANext->Arrived - ARequest->Arrived) < FDraw.Timeout - Margin) {
        Fail(where + "the next request came " +
             std::to_string(Ms(ANext->Arrived - ARequest->Arrived)) +
             " ms after, before the timeout");
    }
}

}  // namespace
}  // namespace tarvex::test

int main(int argc, char** argv) {
    using namespace tarvex::test;
    std::uint64_t seed = std::random_device{}() ^ static_cast<std::uint64_t>(std::time(nullptr));
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
        } else if (option == "--seconds") {
            seconds = std::strtol(value, nullptr, 10);
        } else if (option == "--draw") {
            only = std::strtol(value, nullptr, 10);
        } else {
            std::cerr << "usage: " << argv[0]
                      << " [--seed N] [--seconds S] [--draw K] [--verbose]\n";
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
    for (long draw = std::max(only, 0L); only < 0 || draw == only; ++draw) {
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
