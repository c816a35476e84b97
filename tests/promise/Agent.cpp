#include "tests/promise/Agent.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

namespace tarvex::test {

sockaddr_in AddressOf(std::string_view AAddress, std::uint16_t APort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(APort);
    inet_pton(AF_INET, std::string(AAddress).c_str(), &address.sin_addr);
    return address;
}

std::vector<std::uint8_t> IpDatagram(std::uint8_t AProtocol, std::string_view ASource,
                                     std::string_view ADestination,
                                     std::span<const std::uint8_t> APayload) {
    std::vector<std::uint8_t> bytes(20);
    const std::size_t total = 20 + APayload.size();
    bytes[0] = 0x45;
    bytes[2] = static_cast<std::uint8_t>(total >> 8U);
    bytes[3] = static_cast<std::uint8_t>(total);
    bytes[8] = 64;
    bytes[9] = AProtocol;
    const sockaddr_in source = AddressOf(ASource);
    const sockaddr_in destination = AddressOf(ADestination);
    std::memcpy(&bytes[12], &source.sin_addr, 4);
    std::memcpy(&bytes[16], &destination.sin_addr, 4);
    StoreLe16(bytes, 10, InternetChecksum(bytes));  // the header checksum
    bytes.insert(bytes.end(), APayload.begin(), APayload.end());
    return bytes;
}

TAgent::TAgent(const TestNamespace& ANamespace, int AUdpPort, THandler AOnReceive)
    : FOnReceive(std::move(AOnReceive)) {
    FThread = std::thread([this, &ANamespace, AUdpPort] { Run(&ANamespace, AUdpPort); });
    while (FState.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FOk = FState.load() == 1;
}

TAgent::~TAgent() {
    FStop = true;
    FThread.join();
}

void TAgent::Send(TOutgoing AOutgoing) {
    const Clock::time_point at = AOutgoing.At;
    FQueue.emplace(at, std::move(AOutgoing));
}

Clock::time_point TAgent::AnswerSent(int AExchange) {
    const std::lock_guard<std::mutex> hold(FLock);
    return AExchange >= 0 && static_cast<std::size_t>(AExchange) < FAnswers.size()
               ? FAnswers[static_cast<std::size_t>(AExchange)]
               : Clock::time_point{};
}

void TAgent::Run(const TestNamespace* ANamespace, int AUdpPort) {
    const ScopedNetnsEntry inside(*ANamespace);
    const int one = 1;
    // Room for a whole flood, so that the peer itself never drops a request.
    const int room = 8 << 20;
    if (AUdpPort > 0) {
        FReceiving = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = AddressOf("127.0.0.1", static_cast<std::uint16_t>(AUdpPort));
        if (FReceiving >= 0 &&
            bind(FReceiving, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(FReceiving);
            FReceiving = -1;
        }
    } else {
        FReceiving = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    }
    FSending = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    const bool ready =
        inside.Ok() && FReceiving >= 0 && FSending >= 0 &&
        setsockopt(FReceiving, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0 &&
        setsockopt(FReceiving, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0 &&
        setsockopt(FReceiving, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0 &&
        setsockopt(FSending, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) == 0;
    FState = ready ? 1 : -1;
    while (ready && !FStop) {
        SendDue();
        int wait = 20;
        {
            const std::lock_guard<std::mutex> hold(FLock);
            if (!FQueue.empty()) {
                wait = static_cast<int>(std::clamp<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(FQueue.begin()->first -
                                                                          Clock::now())
                        .count(),
                    0, 20));
            }
        }
        pollfd watched{FReceiving, POLLIN, 0};
        if (poll(&watched, 1, wait) > 0) {
            ReceiveAll();
        }
    }
    close(FReceiving);
    close(FSending);
}

void TAgent::SendDue() {
    const std::lock_guard<std::mutex> hold(FLock);
    while (!FQueue.empty() && FQueue.begin()->first <= Clock::now()) {
        const TOutgoing& out = FQueue.begin()->second;
        if (out.Exchange >= 0) {
            const auto index = static_cast<std::size_t>(out.Exchange);
            FAnswers.resize(std::max(FAnswers.size(), index + 1));
            if (FAnswers[index] == Clock::time_point{}) {
                FAnswers[index] = Clock::now();
            }
        }
        sendto(out.Raw ? FSending : FReceiving, out.Bytes.data(), out.Bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&out.To), sizeof out.To);
        FQueue.erase(FQueue.begin());
    }
}

void TAgent::ReceiveAll() {
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
                timespec wall{};
                clock_gettime(CLOCK_REALTIME, &wall);
                const auto age = std::chrono::seconds(wall.tv_sec - stamp.tv_sec) +
                                 std::chrono::nanoseconds(wall.tv_nsec - stamp.tv_nsec);
                arrived = Clock::now() - std::chrono::duration_cast<Clock::duration>(age);
            } else if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t dropped = 0;
                std::memcpy(&dropped, CMSG_DATA(item), sizeof dropped);
                FDropped = dropped;
            }
        }
        const std::lock_guard<std::mutex> hold(FLock);
        FOnReceive(std::span<const std::uint8_t>(bytes.data(), static_cast<std::size_t>(got)), from,
                   arrived);
    }
}

}  // namespace tarvex::test
