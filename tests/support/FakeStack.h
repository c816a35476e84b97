#pragma once

// A scripted socket stack for tests of the classes above the stack.
//
//   FakeStackScope fake;                   // StackClass = &NewFakeStack until the scope ends
//   FakeScript& script = fake.Script();    // the script every fake stack instance reads
//   script.NextSocket = 7;                 // handle of the next SysOpenSocket, -1 refuses
//   script.SendToResults.push_back({-1, 90});            // next SysSendTo fails, errno 90
//   script.Selects.push_back(FakeSelect::Ready({7}));     // next SysSelect: 7 readable
//   script.Receives.push_back(FakeReceive::Of({0x45, 0x00}));  // next SysReceive(From)
//   script.OnSelect = [](std::int32_t ATimeout) { ... };  // called inside every SysSelect
//   ... construct the component under test, run it ...
//   EXPECT_EQ(script.Calls, (std::vector<std::string>{"SysOpenSocket(2,3,1)", ...}));
//
// Call log entries (numbers in decimal, lists as [a,b] or - for none):
//   SysOpenSocket(family,type,protocol)      SysClose(socket)   SysShutdown(socket,how)
//   SysSetOption(socket,level,option,value)  value: the int when the length is 4, else ?
//   SysConnect(socket,family,ip,port)        SysSendTo(socket,length,flags,ip,port)
//   SysReceive(socket,length,flags)          SysReceiveFrom(socket,length,flags)
//   SysSelect(read,write,error,timeout)
//   SysLastError                             SysPeerAddress(socket)  SysSocketAddress(socket)
//   SysHostAddressByName(name)
// Every other operation (address texts, byte order, the server-side calls nothing above the
// stack makes) is the real stack's and is not logged.
//
// Results: each failing scripted result sets LastError, which SysLastError returns. A call on a
// handle that is not open fails with 9 (EBADF). Queues that run empty fall back to:
// SysSendTo sends everything; SysReceive(From) fails with 11 (EAGAIN); SysSelect refuses
// a negative time-out other than WaitForever with 22 (EINVAL) and otherwise reports every read
// handle ready while Receives is not empty, else times out (0, lists emptied). Only the read
// list is ever scripted: the write and error lists come back empty. A FakeSelect with
// SleepMs really sleeps that long, so code that measures time with MillisecondTicks sees it pass.
// Name look-ups use HostAddresses; a miss raises EIdSocketError with 1 (HOST_NOT_FOUND) as the
// real stack would. Receives carry no queue time, and nothing is queued to discard.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/IdStackLinux.h"

namespace tarvex::test {

// The outcome of one scripted call: the result, and the error number when it is -1.
struct FakeResult {
    std::int32_t Result = 0;
    std::int32_t ErrorNumber = 0;
};

struct FakeSelect {
    std::int32_t Result = 0;
    std::int32_t ErrorNumber = 0;
    // The ready handles left in the read list.
    TIdHandleList Read{};
    std::int32_t SleepMs = 0;

    static FakeSelect Ready(TIdHandleList ARead, std::int32_t ASleepMs = 0) {
        return {static_cast<std::int32_t>(ARead.size()), 0, std::move(ARead), ASleepMs};
    }
    static FakeSelect TimedOut(std::int32_t ASleepMs = 0) { return {.SleepMs = ASleepMs}; }
    static FakeSelect Failure(std::int32_t AErrorNumber, std::int32_t ASleepMs = 0) {
        return {.Result = -1, .ErrorNumber = AErrorNumber, .SleepMs = ASleepMs};
    }
};

struct FakeReceive {
    // The bytes placed into the buffer (cut to the buffer's length) unless Failed.
    std::vector<std::uint8_t> Bytes{};
    bool Failed = false;
    std::int32_t ErrorNumber = 0;
    std::string FromIP = "127.0.0.1";

    static FakeReceive Of(std::vector<std::uint8_t> ABytes, std::string AFromIP = "127.0.0.1") {
        return {std::move(ABytes), false, 0, std::move(AFromIP)};
    }
    static FakeReceive Failure(std::int32_t AErrorNumber) {
        return {.Failed = true, .ErrorNumber = AErrorNumber};
    }
};

// What the fake stacks do, shared by every instance made while the scope lives.
struct FakeScript {
    std::vector<std::string> Calls;
    // Bytes of every SysSendTo, in order.
    std::vector<std::vector<std::uint8_t>> Sent;

    TIdStackSocketHandle NextSocket = 3;  // increases after each open; -1 refuses (24, EMFILE)
    std::set<TIdStackSocketHandle> OpenSockets;  // opened and not yet closed
    std::int32_t LastError = 0;

    std::deque<FakeResult> SendToResults;
    std::deque<FakeSelect> Selects;
    std::deque<FakeReceive> Receives;
    // When set, a receive fills its buffer past the datagram with this byte.
    std::optional<std::uint8_t> FillPastDatagram;
    FakeResult SetOptionResult;
    FakeResult ConnectResult;
    FakeResult ShutdownResult;
    FakeResult CloseResult;
    std::string PeerIP = "127.0.0.1";
    std::int32_t PeerPort = 0;
    std::string LocalIP = "127.0.0.1";
    std::int32_t LocalPort = 0;

    std::map<std::string, std::string> HostAddresses;  // name -> dotted address

    // Resolver numbers 1 to 4 get their bare texts, as with the POSIX stack; false gives
    // every number the base class's text.
    bool ResolverTexts = true;

    // Called at the start of every SysSelect with its time-out, before the scripted result.
    std::function<void(std::int32_t ATimeout)> OnSelect;

    std::int32_t StacksCreated = 0;
    std::int32_t StacksDestroyed = 0;
};

class FakeStack : public TIdStackLinux {
public:
    explicit FakeStack(FakeScript& AScript);
    ~FakeStack() override;
    const char* ClassName() const noexcept override { return "FakeStack"; }

    std::int32_t SysClose(TIdStackSocketHandle ASocket) override;
    std::int32_t SysConnect(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                            const std::string& AIP, std::int32_t APort) override;
    std::string SysHostAddressByName(const std::string& AHostName) override;
    std::int32_t SysReceive(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                            std::int32_t AFlags) override;
    std::int32_t SysDiscardQueued(TIdStackSocketHandle ASocket) override;
    std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                  std::int32_t AFlags, std::int64_t& AQueuedUs) override;
    std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                std::int32_t AFlags, std::string& AIP,
                                std::int32_t& APort) override;
    std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite, TIdHandleList* AError,
                           std::int32_t ATimeout) override;
    std::int32_t SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::int32_t ALength,
                           std::int32_t AFlags, const TIdIn4Address& AAddress,
                           std::int32_t APort) override;
    std::int32_t SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                              std::int32_t AOptName, const void* AOptVal,
                              std::int32_t AOptLen) override;
    TIdStackSocketHandle SysOpenSocket(std::int32_t AFamily, std::int32_t AType,
                                       std::int32_t AProtocol) override;
    std::int32_t SysShutdown(TIdStackSocketHandle ASocket, std::int32_t AHow) override;
    std::string ErrorMessage(std::int32_t AErrorNumber) override;
    std::int32_t SysLastError() override;
    void SysPeerAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily, std::string& AIP,
                        std::int32_t& APort) override;
    void SysSocketAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily, std::string& AIP,
                          std::int32_t& APort) override;

private:
    void Log(std::string ACall);
    std::int32_t Outcome(const FakeResult& AResult);
    // False, with LastError 9, when ASocket is not open.
    bool IsOpen(TIdStackSocketHandle ASocket);
    std::int32_t Receive(std::string ACall, TIdStackSocketHandle ASocket, void* ABuffer,
                         std::int32_t ALength, std::string* AIP, std::int32_t* APort);

    FakeScript& FScript;
};

// The factory that StackClass names while a FakeStackScope lives.
std::unique_ptr<TIdStack> NewFakeStack();

// Installs the fake stack for its lifetime and restores the previous StackClass afterwards.
// Scopes do not nest. A stack instance still alive when the scope ends is an error of the
// test (the scope releases StackInstance then, if it is a fake one).
class FakeStackScope {
public:
    FakeStackScope();
    ~FakeStackScope();
    FakeStackScope(const FakeStackScope&) = delete;
    FakeStackScope& operator=(const FakeStackScope&) = delete;

    FakeScript& Script() noexcept { return *FScript; }

private:
    std::unique_ptr<FakeScript> FScript;
    TIdStackClass FSavedClass;
};

}  // namespace tarvex::test
