#include "tests/support/FakeStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "net/IdStackConsts.h"
#include "net/IdStackLinux.h"
#include "util/SysUtils.h"

namespace tarvex::test {

namespace {

// The script of the live scope; read by NewFakeStack.
FakeScript* ActiveScript = nullptr;

constexpr std::int32_t TooManyFiles = 24;
constexpr std::int32_t BadHandle = 9;
constexpr std::int32_t WouldBlock = 11;
constexpr std::int32_t InvalidArgument = 22;

std::string Number(std::int32_t AValue) { return IntegerText(AValue); }

std::string ListText(const TIdHandleList* AList) {
    if (AList == nullptr) {
        return "-";
    }
    std::string text = "[";
    for (std::size_t i = 0; i < AList->size(); ++i) {
        if (i > 0) {
            text += ",";
        }
        text += Number((*AList)[i]);
    }
    return text + "]";
}

void Sleep(std::int32_t AMilliseconds) {
    if (AMilliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
    }
}

}  // namespace

FakeStack::FakeStack(FakeScript& AScript) : FScript(AScript) { ++FScript.StacksCreated; }

FakeStack::~FakeStack() { ++FScript.StacksDestroyed; }

void FakeStack::Log(std::string ACall) { FScript.Calls.push_back(std::move(ACall)); }

std::int32_t FakeStack::Outcome(const FakeResult& AResult) {
    if (AResult.Result == -1) {
        FScript.LastError = AResult.ErrorNumber;
    }
    return AResult.Result;
}

bool FakeStack::IsOpen(TIdStackSocketHandle ASocket) {
    if (FScript.OpenSockets.count(ASocket) != 0) {
        return true;
    }
    FScript.LastError = BadHandle;
    return false;
}

std::int32_t FakeStack::SysClose(TIdStackSocketHandle ASocket) {
    Log("SysClose(" + Number(ASocket) + ")");
    if (!IsOpen(ASocket)) {
        return -1;
    }
    // A failed close releases the handle all the same, as the system's does.
    FScript.OpenSockets.erase(ASocket);
    return Outcome(FScript.CloseResult);
}

std::int32_t FakeStack::SysConnect(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                                   const std::string& AIP, std::int32_t APort) {
    Log("SysConnect(" + Number(ASocket) + "," + Number(AFamily) + "," + AIP + "," + Number(APort) +
        ")");
    return Outcome(FScript.ConnectResult);
}

std::string FakeStack::SysHostAddressByName(const std::string& AHostName) {
    Log("SysHostAddressByName(" + AHostName + ")");
    const auto found = FScript.HostAddresses.find(AHostName);
    if (found == FScript.HostAddresses.end()) {
        RaiseSocketFailure(1);
    }
    return found->second;
}

std::int32_t FakeStack::Receive(std::string ACall, TIdStackSocketHandle ASocket, void* ABuffer,
                                std::int32_t ALength, std::string* AIP, std::int32_t* APort) {
    Log(std::move(ACall));
    if (!IsOpen(ASocket)) {
        return -1;
    }
    if (FScript.Receives.empty()) {
        FScript.LastError = WouldBlock;
        return -1;
    }
    FakeReceive receive = std::move(FScript.Receives.front());
    FScript.Receives.pop_front();
    if (AIP != nullptr) {
        *AIP = receive.FromIP;
        *APort = 0;
    }
    if (receive.Failed) {
        FScript.LastError = receive.ErrorNumber;
        return -1;
    }
    const auto capacity = static_cast<std::size_t>(std::max(ALength, 0));
    const std::size_t count = std::min(receive.Bytes.size(), capacity);
    auto* bytes = static_cast<std::uint8_t*>(ABuffer);
    if (count > 0) {
        std::memcpy(bytes, receive.Bytes.data(), count);
    }
    if (FScript.FillPastDatagram && capacity > count) {
        std::memset(bytes + count, *FScript.FillPastDatagram, capacity - count);
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t FakeStack::SysReceive(TIdStackSocketHandle ASocket, void* ABuffer,
                                   std::int32_t ALength, std::int32_t AFlags) {
    return Receive(
        "SysReceive(" + Number(ASocket) + "," + Number(ALength) + "," + Number(AFlags) + ")",
        ASocket, ABuffer, ALength, nullptr, nullptr);
}

std::int32_t FakeStack::SysDiscardQueued(TIdStackSocketHandle ASocket) {
    return TIdStack::SysDiscardQueued(ASocket);
}

std::int32_t FakeStack::SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer,
                                         std::int32_t ALength, std::int32_t AFlags,
                                         std::int64_t& AQueuedUs) {
    return TIdStack::SysReceiveQueued(ASocket, ABuffer, ALength, AFlags, AQueuedUs);
}

std::int32_t FakeStack::SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer,
                                       std::int32_t ALength, std::int32_t AFlags, std::string& AIP,
                                       std::int32_t& APort) {
    return Receive(
        "SysReceiveFrom(" + Number(ASocket) + "," + Number(ALength) + "," + Number(AFlags) + ")",
        ASocket, ABuffer, ALength, &AIP, &APort);
}

std::int32_t FakeStack::SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite,
                                  TIdHandleList* AError, std::int32_t ATimeout) {
    Log("SysSelect(" + ListText(ARead) + "," + ListText(AWrite) + "," + ListText(AError) + "," +
        Number(ATimeout) + ")");
    if (FScript.OnSelect) {
        FScript.OnSelect(ATimeout);
    }
    for (TIdHandleList* list : {AWrite, AError}) {
        if (list != nullptr) {
            list->clear();
        }
    }
    if (FScript.Selects.empty()) {
        if (ATimeout < 0 && ATimeout != WaitForever) {
            FScript.LastError = InvalidArgument;
            return -1;
        }
        if (!FScript.Receives.empty() && ARead != nullptr) {
            return static_cast<std::int32_t>(ARead->size());
        }
        if (ARead != nullptr) {
            ARead->clear();
        }
        return 0;
    }
    FakeSelect select = std::move(FScript.Selects.front());
    FScript.Selects.pop_front();
    Sleep(select.SleepMs);
    if (ARead != nullptr) {
        *ARead = select.Read;
    }
    if (select.Result == -1) {
        FScript.LastError = select.ErrorNumber;
    }
    return select.Result;
}

std::int32_t FakeStack::SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer,
                                  std::int32_t ALength, std::int32_t AFlags,
                                  const TIdIn4Address& AAddress, std::int32_t APort) {
    Log("SysSendTo(" + Number(ASocket) + "," + Number(ALength) + "," + Number(AFlags) + "," +
        DottedAddressText(AAddress) + "," + Number(APort) + ")");
    if (!IsOpen(ASocket)) {
        return -1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(ABuffer);
    FScript.Sent.emplace_back(bytes, bytes + std::max(ALength, 0));
    if (FScript.SendToResults.empty()) {
        return ALength;
    }
    const FakeResult result = FScript.SendToResults.front();
    FScript.SendToResults.pop_front();
    return Outcome(result);
}

std::int32_t FakeStack::SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                                     std::int32_t AOptName, const void* AOptVal,
                                     std::int32_t AOptLen) {
    std::string value = "?";
    if (AOptLen == 4 && AOptVal != nullptr) {
        std::int32_t number = 0;
        std::memcpy(&number, AOptVal, sizeof number);
        value = Number(number);
    }
    Log("SysSetOption(" + Number(ASocket) + "," + Number(ALevel) + "," + Number(AOptName) + "," +
        value + ")");
    if (!IsOpen(ASocket)) {
        return -1;
    }
    return Outcome(FScript.SetOptionResult);
}

TIdStackSocketHandle FakeStack::SysOpenSocket(std::int32_t AFamily, std::int32_t AType,
                                              std::int32_t AProtocol) {
    Log("SysOpenSocket(" + Number(AFamily) + "," + Number(AType) + "," + Number(AProtocol) + ")");
    if (FScript.NextSocket == -1) {
        FScript.LastError = TooManyFiles;
        return -1;
    }
    FScript.OpenSockets.insert(FScript.NextSocket);
    return FScript.NextSocket++;
}

std::int32_t FakeStack::SysShutdown(TIdStackSocketHandle ASocket, std::int32_t AHow) {
    Log("SysShutdown(" + Number(ASocket) + "," + Number(AHow) + ")");
    if (!IsOpen(ASocket)) {
        return -1;
    }
    return Outcome(FScript.ShutdownResult);
}

std::string FakeStack::ErrorMessage(std::int32_t AErrorNumber) {
    return FScript.ResolverTexts ? TIdStackLinux::ErrorMessage(AErrorNumber)
                                 : TIdStack::ErrorMessage(AErrorNumber);
}

std::int32_t FakeStack::SysLastError() {
    Log("SysLastError");
    return FScript.LastError;
}

void FakeStack::SysPeerAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                               std::string& AIP, std::int32_t& APort) {
    Log("SysPeerAddress(" + Number(ASocket) + ")");
    AFamily = 2;
    AIP = FScript.PeerIP;
    APort = FScript.PeerPort;
}

void FakeStack::SysSocketAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                                 std::string& AIP, std::int32_t& APort) {
    Log("SysSocketAddress(" + Number(ASocket) + ")");
    AFamily = 2;
    AIP = FScript.LocalIP;
    APort = FScript.LocalPort;
}

std::unique_ptr<TIdStack> NewFakeStack() {
    if (ActiveScript == nullptr) {
        throw std::logic_error("NewFakeStack needs a live FakeStackScope");
    }
    return std::make_unique<FakeStack>(*ActiveScript);
}

FakeStackScope::FakeStackScope()
    : FScript(std::make_unique<FakeScript>()), FSavedClass(StackClass) {
    ActiveScript = FScript.get();
    StackClass = &NewFakeStack;
}

FakeStackScope::~FakeStackScope() {
    if (dynamic_cast<FakeStack*>(StackInstance.get()) != nullptr) {
        ADD_FAILURE() << "a fake stack instance outlives its FakeStackScope";
        StackInstance.reset();
        StackUsers = 0;
    }
    StackClass = FSavedClass;
    ActiveScript = nullptr;
}

}  // namespace tarvex::test
