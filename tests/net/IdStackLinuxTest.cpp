#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/IdException.h"
#include "net/IdStackConsts.h"
#include "net/IdStackLinux.h"
#include "tests/support/TestSupport.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

// Closes the socket at the end of the test.
class TOwnedSocket {
public:
    explicit TOwnedSocket(int AHandle) : FHandle(AHandle) {}
    ~TOwnedSocket() {
        if (FHandle >= 0) {
            close(FHandle);
        }
    }
    TOwnedSocket(const TOwnedSocket&) = delete;
    TOwnedSocket& operator=(const TOwnedSocket&) = delete;
    int Get() const noexcept { return FHandle; }

private:
    int FHandle;
};

class IdStackLinuxSockets : public testing::Test {
protected:
    // A socket bound to 127.0.0.1 on a port of the system's choosing; returns the port.
    std::int32_t BindLoopback(int ASocket) {
        EXPECT_EQ(FStack.SysBind(ASocket, Id_AF_INET, "127.0.0.1", 0), 0);
        std::int32_t family = 0;
        std::string ip;
        std::int32_t port = 0;
        FStack.SysSocketAddress(ASocket, family, ip, port);
        EXPECT_EQ(family, 2);
        EXPECT_EQ(ip, "127.0.0.1");
        return port;
    }

    std::int32_t SendText(int AFrom, const std::string& AText, std::int32_t APort) {
        return FStack.SysSendTo(AFrom, AText.data(), static_cast<std::int32_t>(AText.size()), 0,
                                {127, 0, 0, 1}, APort);
    }

    TIdStackLinux FStack;
};

// The operations the program does not call get one test each, over loopback.
TEST_F(IdStackLinuxSockets, StreamOperationsOverLoopback) {
    std::int32_t refusedPort = 0;
    {
        const TOwnedSocket probe(FStack.MakeSocket(Id_SOCK_STREAM, Id_IPPROTO_TCP));
        refusedPort = BindLoopback(probe.Get());
    }
    const TOwnedSocket refused(FStack.MakeSocket(Id_SOCK_STREAM, Id_IPPROTO_TCP));
    EXPECT_THROW_MSG(FStack.CheckCallResult(
                         FStack.SysConnect(refused.Get(), Id_AF_INET, "127.0.0.1", refusedPort)),
                     EIdSocketError, "Socket Error # 111\r\nConnection refused.");
    std::int32_t family = 0;
    std::string ip;
    std::int32_t port = 0;
    EXPECT_THROW_MSG(FStack.SysPeerAddress(refused.Get(), family, ip, port), EIdSocketError,
                     "Socket Error # 107\r\nSocket is not connected.");

    const TOwnedSocket listener(FStack.MakeSocket(Id_SOCK_STREAM, Id_IPPROTO_TCP));
    const std::int32_t listenPort = BindLoopback(listener.Get());
    ASSERT_EQ(FStack.SysListen(listener.Get(), 1), 0);
    const TOwnedSocket client(FStack.MakeSocket(Id_SOCK_STREAM, Id_IPPROTO_TCP));
    ASSERT_EQ(FStack.SysConnect(client.Get(), Id_AF_INET, "127.0.0.1", listenPort), 0);
    std::string peerIP;
    std::int32_t peerPort = 0;
    const TOwnedSocket served(FStack.SysAccept(listener.Get(), peerIP, peerPort));
    ASSERT_GE(served.Get(), 0);
    EXPECT_EQ(peerIP, "127.0.0.1");
    FStack.SysSocketAddress(client.Get(), family, ip, port);
    EXPECT_EQ(peerPort, port);
    FStack.SysPeerAddress(client.Get(), family, ip, port);
    EXPECT_EQ(port, listenPort);

    const std::string text = "stream bytes";
    EXPECT_EQ(FStack.SysSend(client.Get(), text.data(), 12, 0), 12);
    char buffer[64] = {};
    EXPECT_EQ(FStack.SysReceive(served.Get(), buffer, sizeof buffer, 0), 12);
    EXPECT_EQ(std::string(buffer), text);

    // A handle that is no socket reads as an interrupted accept.
    ip = "unchanged";
    EXPECT_EQ(FStack.SysAccept(1023, ip, port), -1);
    EXPECT_EQ(FStack.SysLastError(), 4);
    EXPECT_EQ(ip, "unchanged");
    // A broken pipe is reported as a reset.
    errno = EPIPE;
    EXPECT_EQ(FStack.SysLastError(), 104);
}

// A datagram comes back with its sender; a select lists each ready handle once, in ascending
// order.
TEST_F(IdStackLinuxSockets, DatagramsComeBackWithTheirSenderAndSelectListsTheReadyOnes) {
    const TOwnedSocket low(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    const TOwnedSocket high(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    const TOwnedSocket sender(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    const std::int32_t lowPort = BindLoopback(low.Get());
    const std::int32_t highPort = BindLoopback(high.Get());
    const std::int32_t senderPort = BindLoopback(sender.Get());
    char buffer[64] = {};
    std::string fromIP = "9.9.9.9";
    std::int32_t fromPort = 9;
    // Nothing there yet: no handle is ready, and the sender reads as cleared.
    TIdHandleList read{high.Get(), low.Get(), high.Get()};
    EXPECT_EQ(FStack.SysSelect(&read, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(
        FStack.SysReceiveFrom(high.Get(), buffer, sizeof buffer, MSG_DONTWAIT, fromIP, fromPort),
        -1);
    EXPECT_EQ(FStack.SysLastError(), 11);
    EXPECT_EQ(fromIP, "0.0.0.0");
    EXPECT_EQ(fromPort, 0);

    ASSERT_EQ(SendText(sender.Get(), "datagram", highPort), 8);
    read = {high.Get(), low.Get(), high.Get()};
    EXPECT_EQ(FStack.SysSelect(&read, nullptr, nullptr, WaitForever), 1);
    EXPECT_EQ(read, TIdHandleList{high.Get()});

    ASSERT_EQ(SendText(sender.Get(), "l", lowPort), 1);
    // Both are readable once the second datagram is there.
    for (int round = 0; round < 100; ++round) {
        read = {high.Get(), low.Get(), high.Get()};
        if (FStack.SysSelect(&read, nullptr, nullptr, 20) == 2) {
            break;
        }
    }
    EXPECT_EQ(read, (TIdHandleList{low.Get(), high.Get()}));
    EXPECT_EQ(FStack.SysReceiveFrom(high.Get(), buffer, sizeof buffer, 0, fromIP, fromPort), 8);
    EXPECT_EQ(std::string(buffer), "datagram");
    EXPECT_EQ(fromIP, "127.0.0.1");
    EXPECT_EQ(fromPort, senderPort);

    TIdHandleList write{sender.Get()};
    TIdHandleList error{sender.Get()};
    EXPECT_EQ(FStack.SysSelect(nullptr, &write, &error, 0), 1);
    EXPECT_EQ(write, TIdHandleList{sender.Get()});
    EXPECT_TRUE(error.empty());
}

TEST_F(IdStackLinuxSockets, SelectRefusesWhatTheSetCannotHold) {
    const TOwnedSocket socket(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    TIdHandleList full(1024, socket.Get());
    EXPECT_EQ(FStack.SysSelect(&full, nullptr, nullptr, 0), 0);
    TIdHandleList over(1025, socket.Get());
    EXPECT_THROW_MSG(FStack.SysSelect(nullptr, nullptr, &over, 0), EIdSetSizeExceeded,
                     "Set Size Exceeded.");
    EXPECT_EQ(over.size(), 1025U);
    for (const TIdStackSocketHandle handle : {-1, 1024, 5000}) {
        TIdHandleList read{handle};
        EXPECT_THROW(FStack.SysSelect(&read, nullptr, nullptr, 0), EIdSetSizeExceeded) << handle;
    }
    TIdHandleList read{1023};
    EXPECT_NO_THROW(FStack.SysSelect(&read, nullptr, nullptr, 0));
    // A handle that is no open descriptor fails the whole wait, wherever it stands.
    const int closed = dup(socket.Get());
    close(closed);
    read = {closed, socket.Get()};
    EXPECT_EQ(FStack.SysSelect(&read, nullptr, nullptr, 0), -1);
    EXPECT_EQ(FStack.SysLastError(), 9);
    // A negative time-out other than the endless one is the system's to refuse.
    read = {socket.Get()};
    EXPECT_EQ(FStack.SysSelect(&read, nullptr, nullptr, -1), -1);
    EXPECT_EQ(FStack.SysLastError(), 22);
}

TEST_F(IdStackLinuxSockets, NegativeLengthsAreRefusedWithoutASystemCallAndOptionsReadBack) {
    const TOwnedSocket socket(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    char buffer[8];
    EXPECT_EQ(FStack.SysReceive(socket.Get(), buffer, -1, 0), -1);
    EXPECT_EQ(FStack.SysLastError(), 22);
    EXPECT_EQ(FStack.SysSendTo(socket.Get(), buffer, -5, 0, {127, 0, 0, 1}, 9), -1);
    EXPECT_EQ(FStack.SysLastError(), 22);
    std::int32_t value = 0;
    EXPECT_EQ(FStack.SysSetOption(socket.Get(), Id_IPPROTO_IP, Id_IP_TTL, &value, -4), -1);
    // A valid option is set and reads back.
    value = 128;
    ASSERT_EQ(FStack.SysSetOption(socket.Get(), Id_IPPROTO_IP, Id_IP_TTL, &value, 4), 0);
    std::int32_t readBack = 0;
    std::int32_t length = sizeof readBack;
    ASSERT_EQ(FStack.SysGetOption(socket.Get(), Id_IPPROTO_IP, Id_IP_TTL, &readBack, length), 0);
    EXPECT_EQ(readBack, 128);
    EXPECT_EQ(length, 4);
}

// SIGINT sent to the process while the main thread blocks; a blocking call it cuts short fails
// with EINTR, and the check of that failure raises the signal.
TEST_F(IdStackLinuxSockets, KeyboardInterruptEndsABlockingReceiveAndAWaitForever) {
    const TOwnedSocket socket(FStack.MakeSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP));
    BindLoopback(socket.Get());
    char buffer[8];
    for (const bool receive : {true, false}) {
        std::thread interrupter([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            kill(getpid(), SIGINT);
        });
        EXPECT_THROW(receive ? FStack.CheckCallResult(
                                   FStack.SysReceive(socket.Get(), buffer, sizeof buffer, 0))
                             : FStack.SysSelect(nullptr, nullptr, nullptr, WaitForever),
                     EControlC);
        interrupter.join();
    }
}

TEST(IdStackLinux, ServicesComeFromTheServiceTableOrAsNumbers) {
    TIdStackLinux stack;
    EXPECT_EQ(stack.SysServicePort("8080"), 8080);
    EXPECT_THROW_MSG(stack.SysServicePort("no-such-service-tvx"), EIdInvalidServiceName,
                     "no-such-service-tvx is not a valid service.");
    EXPECT_EQ(stack.SysServiceNames(64999)->Count(), 0);
    struct stat info {};
    TARVEX_REQUIRE(stat("/etc/services", &info) == 0, "needs /etc/services");
    EXPECT_EQ(stack.SysServicePort("http"), 80);
    const std::unique_ptr<TStringList> names = stack.SysServiceNames(80);
    ASSERT_GE(names->Count(), 1);
    EXPECT_EQ(names->Strings(0), "http");
}

TEST(IdStackLinux, TextToAddressKeepsFourPiecesAndTheirLowBytes) {
    TIdStackLinux stack;
    const std::vector<std::pair<std::string, TIdIn4Address>> cases{
        {"1.2.3.4", {1, 2, 3, 4}},          {"1.2.3.4.5", {1, 2, 3, 4}},
        {"1.2.3.300", {1, 2, 3, 44}},       {"255.255.255.255", {255, 255, 255, 255}},
        {"010.000.000.001", {10, 0, 0, 1}}, {"-1.0.0.1", {255, 0, 0, 1}},
    };
    for (const auto& [text, expected] : cases) {
        TIdIn4Address address{};
        stack.TextToAddress(text, address);
        EXPECT_EQ(address, expected) << text;
    }
    TIdIn4Address address{9, 9, 9, 9};
    EXPECT_THROW_MSG(stack.TextToAddress("1.2.3", address), EConvertError,
                     "'' is not a valid integer value");
    EXPECT_THROW_MSG(stack.TextToAddress("1.x.3.4", address), EConvertError,
                     "'x' is not a valid integer value");
    EXPECT_EQ(address, (TIdIn4Address{9, 9, 9, 9}));
}

TEST(IdStackLinux, AddressToTextWritesFourDecimalNumbers) {
    TIdStackLinux stack;
    EXPECT_EQ(stack.AddressToText({10, 0, 0, 1}), "10.0.0.1");
    EXPECT_EQ(stack.AddressToText({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(stack.AddressToText({255, 254, 9, 100}), "255.254.9.100");
}

// A look-up that found nothing is always reported as a failure with a number that says why.
TEST(IdStackLinux, LookupThatFoundNothingNeverPassesAsSuccess) {
    constexpr int InternalError = -1;  // NETDB_INTERNAL: the call itself failed, see errno
    EXPECT_EQ(LookupFailureNumber(0, 0, 0), 1);  // nobody said why: HOST_NOT_FOUND
    EXPECT_EQ(LookupFailureNumber(0, 2, 0), 2);  // the resolver's own number
    EXPECT_EQ(LookupFailureNumber(0, InternalError, ENOMEM), ENOMEM);
    EXPECT_EQ(LookupFailureNumber(ERANGE, InternalError, 0), ERANGE);  // the area cap
    EXPECT_EQ(LookupFailureNumber(0, InternalError, 0), 1);
}

TEST(IdSocketListLinux, MembersAreCountedFromHandleZeroUpward) {
    TIdSocketListLinux list;
    EXPECT_EQ(list.HandleBound(), 0);
    for (const TIdStackSocketHandle handle : {9, 4, 700, 4}) {
        list.AddHandle(handle);
    }
    EXPECT_EQ(list.HandleCount(), 3);
    EXPECT_EQ(list.HandleBound(), 701);
    EXPECT_EQ(list.GetHandle(0), 4);
    EXPECT_EQ(list.GetHandle(2), 700);
    EXPECT_EQ(list.GetHandle(5), 0);
    // Removing the highest lowers the bound; one below it leaves the bound alone.
    list.RemoveHandle(700);
    EXPECT_EQ(list.HandleBound(), 10);
    list.RemoveHandle(4);
    EXPECT_EQ(list.HandleBound(), 10);
    // With no member left the bound stays as it was.
    list.RemoveHandle(9);
    EXPECT_EQ(list.HandleCount(), 0);
    EXPECT_EQ(list.HandleBound(), 10);
    EXPECT_THROW_MSG(list.AddHandle(1024), EIdSetSizeExceeded, "Set Size Exceeded.");
    EXPECT_THROW(list.AddHandle(-1), EIdSetSizeExceeded);
    EXPECT_THROW(list.RemoveHandle(4096), EIdSetSizeExceeded);
}

}  // namespace
}  // namespace tarvex
