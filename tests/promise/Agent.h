#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "icmp/IdRawHeaders.h"
#include "tests/support/NetNamespace.h"

// A thread inside a network namespace that answers what it receives on one socket by datagrams
// it sends at chosen moments: the echo peer, and the name server. It keeps the time each
// datagram arrived (the kernel's) and each was sent, so the checks know what the network did.

namespace tarvex::test {

using Clock = std::chrono::steady_clock;

struct TOutgoing {
    Clock::time_point At;
    std::vector<std::uint8_t> Bytes;
    sockaddr_in To{};
    bool Raw = true;    // through the IP_HDRINCL socket, else back through the receiving one
    int Exchange = -1;  // >= 0: the genuine answer to this exchange; its send time is kept
};

class TAgent {
public:
    // AOnReceive gets each datagram with its sender and kernel arrival time, under the lock,
    // and queues answers with Send().
    using THandler =
        std::function<void(std::span<const std::uint8_t>, const sockaddr_in&, Clock::time_point)>;
    // Receives on a raw ICMP socket, or with AUdpPort > 0 on that UDP port of 127.0.0.1.
    TAgent(const TestNamespace& ANamespace, int AUdpPort, THandler AOnReceive);
    ~TAgent();
    TAgent(const TAgent&) = delete;
    TAgent& operator=(const TAgent&) = delete;

    bool Ok() const noexcept { return FOk; }
    void Send(TOutgoing AOutgoing);  // called by the handler, under the lock
    // The moment the first genuine answer to an exchange went out (time_point{} if none).
    Clock::time_point AnswerSent(int AExchange);
    // Datagrams the receiving socket had to drop: then not every request was seen.
    std::uint32_t Dropped() const noexcept { return FDropped.load(); }
    std::mutex& Lock() noexcept { return FLock; }

private:
    void Run(const TestNamespace* ANamespace, int AUdpPort);
    void SendDue();
    void ReceiveAll();

    THandler FOnReceive;
    std::mutex FLock;
    std::multimap<Clock::time_point, TOutgoing> FQueue;
    std::atomic<std::uint32_t> FDropped{0};
    std::vector<Clock::time_point> FAnswers;
    std::atomic<bool> FStop{false};
    std::atomic<int> FState{0};  // 1 running, -1 failed
    bool FOk = false;
    int FReceiving = -1;
    int FSending = -1;
    std::thread FThread;
};

// An IPv4 header of 20 bytes with protocol AProtocol, then APayload.
std::vector<std::uint8_t> IpDatagram(std::uint8_t AProtocol, std::string_view ASource,
                                     std::string_view ADestination,
                                     std::span<const std::uint8_t> APayload);
sockaddr_in AddressOf(std::string_view AAddress, std::uint16_t APort = 0);

}  // namespace tarvex::test
