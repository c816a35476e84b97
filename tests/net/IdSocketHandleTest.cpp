#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/IdAntiFreezeBase.h"
#include "component/IdComponent.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStackConsts.h"
#include "tests/support/FakeStack.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using test::FakeReceive;
using test::FakeScript;
using test::FakeSelect;
using test::FakeStackScope;

// A handle over the fake stack, kept alive by one component.
class IdSocketHandle : public testing::Test {
protected:
    FakeScript& Script() { return FFake.Script(); }
    std::vector<std::string>& Calls() { return FFake.Script().Calls; }

    FakeStackScope FFake;
    TIdComponent FUser{nullptr};
    TIdSocketHandle FHandle{nullptr};
};

// An idle hook that logs its runs into the same list as the fake stack's selects.
class TLoggingHook : public TIdAntiFreezeBase {
public:
    explicit TLoggingHook(std::vector<std::string>& ALog)
        : TIdAntiFreezeBase(nullptr), FLog(ALog) {}
    void ProcessIdle() override {
        FLog.push_back("idle");
        if (OnIdle) {
            OnIdle();
        }
    }
    std::function<void()> OnIdle;

private:
    std::vector<std::string>& FLog;
};

class TDerivedHandle : public TIdSocketHandle {
public:
    using TIdSocketHandle::TIdSocketHandle;
    const char* ClassName() const noexcept override { return "TDerivedHandle"; }
};

// Opening again closes the old socket first; a close ignores failures and takes only the open
// flag: the descriptor and the addresses stay for whoever looks afterwards.
TEST_F(IdSocketHandle, EverySocketIsShutDownAndClosedOnce) {
    FHandle.Close();
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(FHandle.Descriptor(), -1);
    Script().NextSocket = 7;
    FHandle.SetIP("10.0.0.2");
    FHandle.SetRemotePort(2000);
    FHandle.OpenSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP);
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    EXPECT_TRUE(FHandle.IsOpen());
    Script().ShutdownResult = {-1, 107};
    Script().CloseResult = {-1, 9};
    FHandle.Close();
    FHandle.Close();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SysOpenSocket(2,2,17)", "SysShutdown(7,2)",
                                                 "SysClose(7)", "SysOpenSocket(2,3,1)",
                                                 "SysShutdown(8,2)", "SysClose(8)"}));
    EXPECT_FALSE(FHandle.IsOpen());
    EXPECT_EQ(FHandle.Descriptor(), 8);
    EXPECT_EQ(FHandle.IP(), "10.0.0.2");
    EXPECT_EQ(FHandle.RemotePort(), 2000);

    // A refused socket leaves none open.
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    Script().NextSocket = -1;
    EXPECT_THROW_MSG(FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP), EIdInvalidSocket,
                     "Cannot allocate socket.");
    EXPECT_FALSE(FHandle.IsOpen());
    Calls().clear();
    FHandle.Close();
    EXPECT_TRUE(Calls().empty());
}

TEST_F(IdSocketHandle, SendDatagramFailuresRaiseTheirOwnClasses) {
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    const std::vector<std::uint8_t> packet(52, 0xA5);
    const std::int32_t size = static_cast<std::int32_t>(packet.size());
    FHandle.SendDatagram({10, 0, 0, 1}, 7, packet.data(), size);
    EXPECT_EQ(Calls().back(), "SysSendTo(3,52,0,10.0.0.1,7)");
    EXPECT_EQ(Script().Sent.back(), packet);
    EXPECT_EQ(FHandle.RemoteIP(), "");

    Script().SendToResults.push_back({-1, 90});
    EXPECT_THROW_MSG(FHandle.SendDatagram({10, 0, 0, 1}, 0, packet.data(), size),
                     EIdPackageSizeTooBig, "Package Size Too Big.");

    Script().SendToResults.push_back({-1, 101});
    try {
        FHandle.SendDatagram({10, 0, 0, 1}, 0, packet.data(), size);
        ADD_FAILURE() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 101);
        EXPECT_EQ(e.Message(), "Socket Error # 101\r\nNetwork is unreachable.");
    }

    Script().SendToResults.push_back({51, 0});
    EXPECT_THROW_MSG(FHandle.SendDatagram({10, 0, 0, 1}, 0, packet.data(), size),
                     EIdNotAllBytesSent, "Not all bytes sent.");

    EXPECT_TRUE(FHandle.IsOpen());
}

TEST_F(IdSocketHandle, WaitWithoutHookIsOneSelectAndWithoutSocketNone) {
    EXPECT_THROW_MSG(FHandle.WaitReadable(1000), EIdConnClosedGracefully,
                     "Connection Closed Gracefully.");
    EXPECT_TRUE(Calls().empty());
    // Without a hook, a wait is one select, passed only by a readable socket.
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    Calls().clear();
    Script().Selects = {FakeSelect::Ready({3}), FakeSelect::TimedOut(), FakeSelect::Failure(4)};
    EXPECT_TRUE(FHandle.WaitReadable(600));
    EXPECT_FALSE(FHandle.WaitReadable(WaitForever));
    EXPECT_FALSE(FHandle.WaitReadable(0));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SysSelect([3],-,-,600)", "SysSelect([3],-,-,-2)",
                                                 "SysSelect([3],-,-,0)"}));
}

// Logs every select's time-out into the hook's log, so the two interleave.
void LogSelects(FakeScript& AScript, std::vector<std::string>& ALog) {
    AScript.OnSelect = [&ALog](std::int32_t ATimeout) {
        ALog.push_back("select " + std::to_string(ATimeout));
    };
}

// The first slice takes the remainder, so every later one is a whole idle time-out; the hook
// runs after every slice that found nothing. A readable slice is not idle, so the hook does not
// run after it; without a positive slice, or with the hook inactive, the wait is left whole.
TEST_F(IdSocketHandle, SlicesFollowTheTimeoutAndTheHook) {
    struct Case {
        std::int32_t IdleTimeOut;
        bool Active;
        std::int32_t Timeout;
        int ReadyAfter;  // timed-out slices before a readable one; -1: none is readable
        std::vector<std::string> Log;
    };
    const Case cases[] = {
        {250, true, 600, -1, {"select 100", "idle", "select 250", "idle", "select 250", "idle"}},
        {250, true, 250, -1, {"select 250", "idle"}},
        {250, true, 251, -1, {"select 1", "idle", "select 250", "idle"}},
        {250, true, 1, -1, {"select 1", "idle"}},
        {250, true, 0, -1, {"select 0", "idle"}},
        {250, true, -1, -1, {"select -1", "idle"}},
        {250, true, 1000, 1, {"select 250", "idle", "select 250"}},
        {40,
         true,
         WaitForever,
         3,
         {"select 40", "idle", "select 40", "idle", "select 40", "idle", "select 40"}},
        {0, true, 600, -1, {"select 600", "idle"}},
        {-5, true, WaitForever, 0, {"select -2"}},
        {250, false, 600, -1, {"select 600"}},
    };
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    std::vector<std::string> log;
    TLoggingHook hook(log);
    LogSelects(Script(), log);
    for (const Case& c : cases) {
        log.clear();
        hook.SetIdleTimeOut(c.IdleTimeOut);
        hook.SetActive(c.Active);
        Script().Selects.assign(static_cast<std::size_t>(std::max(c.ReadyAfter, 0)),
                                FakeSelect::TimedOut());
        if (c.ReadyAfter >= 0) {
            Script().Selects.push_back(FakeSelect::Ready({3}));
        }
        EXPECT_EQ(FHandle.WaitReadable(c.Timeout), c.ReadyAfter >= 0) << "timeout " << c.Timeout;
        EXPECT_EQ(log, c.Log) << "timeout " << c.Timeout;
    }
}

// A wait on another thread is never sliced; an endless one ends when the hook closes the socket.
TEST_F(IdSocketHandle, HookRunsOnTheMainThreadOnlyAndMayEndAnEndlessWait) {
    std::vector<std::string> log;
    TLoggingHook hook(log);
    std::vector<std::string> selects;
    LogSelects(Script(), selects);
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    std::thread([&] { EXPECT_FALSE(FHandle.WaitReadable(600)); }).join();
    EXPECT_EQ(selects, (std::vector<std::string>{"select 600"}));
    EXPECT_TRUE(log.empty());
    int runs = 0;
    hook.OnIdle = [&] {
        if (++runs == 2) {
            FHandle.Close();
        }
    };
    EXPECT_THROW_MSG(FHandle.WaitReadable(WaitForever), EIdConnClosedGracefully,
                     "Connection Closed Gracefully.");
    EXPECT_EQ(runs, 2);
}

TEST_F(IdSocketHandle, ReceiveDatagramGivesTheSenderAndLeavesThePeerAlone) {
    FHandle.OpenSocket(Id_SOCK_RAW, Id_IPPROTO_ICMP);
    Script().Receives = {FakeReceive::Of({1, 2, 3}, "10.1.2.3")};
    std::vector<std::uint8_t> buffer(8);
    std::string from;
    std::int32_t fromPort = -1;
    EXPECT_EQ(FHandle.ReceiveDatagram(buffer.data(), 8, 0, from, fromPort), 3);
    EXPECT_EQ(from, "10.1.2.3");
    EXPECT_EQ(buffer[2], 3);
    EXPECT_EQ(FHandle.RemoteIP(), "");
}

TEST_F(IdSocketHandle, ConnectRefreshesBothAddressesOnlyOnSuccess) {
    FHandle.OpenSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP);
    FHandle.SetRemoteIP("10.0.0.9");
    FHandle.SetRemotePort(7);
    Script().LocalIP = "10.0.0.2";
    Script().LocalPort = 40000;
    Script().PeerIP = "10.0.0.9";
    Script().PeerPort = 7;
    Calls().clear();
    EXPECT_EQ(FHandle.ConnectToPeer(Id_PF_INET), 0);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SysConnect(3,2,10.0.0.9,7)",
                                                 "SysSocketAddress(3)", "SysPeerAddress(3)"}));
    EXPECT_EQ(FHandle.IP(), "10.0.0.2");
    EXPECT_EQ(FHandle.Port(), 40000);
    EXPECT_EQ(FHandle.RemoteIP(), "10.0.0.9");
    EXPECT_EQ(FHandle.RemotePort(), 7);

    Script().ConnectResult = {-1, 111};
    Calls().clear();
    EXPECT_EQ(FHandle.ConnectToPeer(Id_PF_INET), -1);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SysConnect(3,2,10.0.0.9,7)"}));
}

// A copy takes the four address fields only; clearing forgets the socket without closing it,
// and the local address only on request.
TEST_F(IdSocketHandle, CopyFromAndClearStateTouchOnlyTheirFields) {
    TIdSocketHandle source(nullptr);
    source.OpenSocket(Id_SOCK_DGRAM, Id_IPPROTO_UDP);
    source.SetIP("10.0.0.2");
    source.SetPort(5);
    source.SetRemoteIP("10.0.0.9");
    source.SetRemotePort(7);
    source.SetClientPortMin(100);
    source.SetClientPortMax(200);
    FHandle.CopyFrom(source);
    EXPECT_EQ(FHandle.IP(), "10.0.0.2");
    EXPECT_EQ(FHandle.Port(), 5);
    EXPECT_EQ(FHandle.RemoteIP(), "10.0.0.9");
    EXPECT_EQ(FHandle.RemotePort(), 7);
    EXPECT_EQ(FHandle.ClientPortMin(), 0);
    EXPECT_EQ(FHandle.ClientPortMax(), 0);
    // Only the exact class is copied; any other, a derived one too, goes to the base's refusal.
    TDerivedHandle derived(nullptr);
    EXPECT_THROW_MSG(FHandle.Assign(derived), EConvertError,
                     "Cannot assign a TDerivedHandle to a TIdSocketHandle");

    source.ClearState(false);
    EXPECT_FALSE(source.IsOpen());
    EXPECT_EQ(source.Descriptor(), -1);
    EXPECT_EQ(source.IP(), "10.0.0.2");
    EXPECT_EQ(source.Port(), 5);
    EXPECT_EQ(source.RemoteIP(), "");
    EXPECT_EQ(source.RemotePort(), 0);
    source.ClearState(true);
    EXPECT_EQ(source.IP(), "");
    EXPECT_EQ(source.Port(), 0);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"SysOpenSocket(2,2,17)"}));
}

}  // namespace
}  // namespace tarvex
