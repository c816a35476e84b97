#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdStackConsts.h"
#include "util/Classes.h"
#include "util/SyncObjs.h"

namespace tarvex {

using TIdStackSocketHandle = std::int32_t;
// Socket handle numbers given to and returned by SysSelect, in order.
using TIdHandleList = std::vector<TIdStackSocketHandle>;

// Four "."-separated numbers 0 to 255 as TryTextToInteger reads them (the fourth is all after
// the third dot); nothing otherwise. Plain ASCII, the same in every locale.
std::optional<TIdIn4Address> ReadDottedQuad(std::string_view AText) noexcept;

// The one door to the system's sockets and resolver. Sys* operations return the raw result
// for CheckCallResult, raising only where noted and on a malformed address (EConvertError).
class TIdStack : public TObject {
public:
    ~TIdStack() override = default;
    const char* ClassName() const noexcept override { return "TIdStack"; }

    virtual void FillLocalAddresses() = 0;
    virtual std::string GetFirstLocalAddress() = 0;
    virtual TStringList& GetLocalAddressList() = 0;

    virtual TIdStackSocketHandle SysAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                           std::int32_t& APort) = 0;
    virtual std::int32_t SysBind(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                                 const std::string& AIP, std::int32_t APort) = 0;
    virtual std::int32_t SysClose(TIdStackSocketHandle ASocket) = 0;
    virtual std::int32_t SysConnect(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                                    const std::string& AIP, std::int32_t APort) = 0;
    // Raises EIdSocketError when unresolved, EControlC/EQuit when a signal abandons it.
    virtual std::string SysHostAddressByName(const std::string& AHostName) = 0;
    virtual std::string SysHostName() = 0;
    // Raises EIdSocketError when no name is found.
    virtual std::string SysHostNameByAddress(const std::string& AAddress) = 0;
    // Raises EIdInvalidServiceName.
    virtual std::int32_t SysServicePort(const std::string& AService) = 0;
    virtual std::unique_ptr<TStringList> SysServiceNames(std::int32_t APort) = 0;
    virtual std::uint16_t SysHostToNet16(std::uint16_t AValue) = 0;
    virtual std::int32_t SysListen(TIdStackSocketHandle ASocket, std::int32_t ABacklog) = 0;
    virtual std::uint16_t SysNetToHost16(std::uint16_t AValue) = 0;
    virtual std::uint32_t SysHostToNet32(std::uint32_t AValue) = 0;
    virtual std::uint32_t SysNetToHost32(std::uint32_t AValue) = 0;
    virtual std::int32_t SysReceive(TIdStackSocketHandle ASocket, void* ABuffer,
                                    std::int32_t ALength, std::int32_t AFlags) = 0;
    // Drops what is queued without waiting (what came before a new filter); the count dropped.
    virtual std::int32_t SysDiscardQueued(TIdStackSocketHandle ASocket);
    // SysReceive, also giving the microseconds the datagram queued (-1 without arrival times).
    virtual std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer,
                                          std::int32_t ALength, std::int32_t AFlags,
                                          std::int64_t& AQueuedUs);
    virtual std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer,
                                        std::int32_t ALength, std::int32_t AFlags, std::string& AIP,
                                        std::int32_t& APort) = 0;
    // Each given list keeps its ready handles; the ready count, 0 on time-out or -1. Raises
    // EIdSetSizeExceeded for a list too long, EControlC/EQuit for a keyboard signal.
    virtual std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite,
                                   TIdHandleList* AError, std::int32_t ATimeout) = 0;
    virtual std::int32_t SysSend(TIdStackSocketHandle ASocket, const void* ABuffer,
                                 std::int32_t ALength, std::int32_t AFlags) = 0;
    virtual std::int32_t SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer,
                                   std::int32_t ALength, std::int32_t AFlags,
                                   const TIdIn4Address& AAddress, std::int32_t APort) = 0;
    virtual std::int32_t SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                                      std::int32_t AOptName, const void* AOptVal,
                                      std::int32_t AOptLen) = 0;
    virtual TIdStackSocketHandle SysOpenSocket(std::int32_t AFamily, std::int32_t AType,
                                               std::int32_t AProtocol) = 0;
    virtual std::int32_t SysShutdown(TIdStackSocketHandle ASocket, std::int32_t AHow) = 0;
    virtual std::string ErrorMessage(std::int32_t AErrorNumber);
    virtual std::int32_t SysLastError() = 0;
    // Both raise EIdSocketError on failure.
    virtual void SysPeerAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                                std::string& AIP, std::int32_t& APort) = 0;
    virtual void SysSocketAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                                  std::string& AIP, std::int32_t& APort) = 0;
    virtual std::int32_t SysGetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                                      std::int32_t AOptName, void* AOptVal,
                                      std::int32_t& AOptLen) = 0;
    virtual std::string AddressToText(const TIdIn4Address& AAddress) = 0;
    virtual void TextToAddress(const std::string& AText, TIdIn4Address& AAddress) = 0;

    // Opens an IPv4 socket; raises EIdInvalidSocket "Cannot allocate socket." when refused.
    TIdStackSocketHandle MakeSocket(std::int32_t AType, std::int32_t AProtocol);
    // Here, so that the usual success costs only the comparison.
    bool CheckCallResult(std::int32_t AResult) {
        return AResult == -1 && CheckCallResultExcept(AResult, {});
    }
    bool CheckCallResultExcept(std::int32_t AResult, std::span<const std::int32_t> ATolerated);
    [[noreturn]] void RaiseSocketFailure(std::int32_t AErrorNumber);
    bool IsDottedQuad(const std::string& AText) { return ReadDottedQuad(AText).has_value(); }
    // "LOCALHOST" in any case is 127.0.0.1, a dotted quad its bytes, else the resolver's answer.
    TIdIn4Address ResolveAddress(const std::string& AHost);
    std::int32_t LastErrorNumber() const noexcept { return FLastErrorNumber; }

    // Makes a stack of StackClass.
    static std::unique_ptr<TIdStack> NewStack();

protected:
    std::int32_t FLastErrorNumber = 0;
    std::unique_ptr<TStringList> FLocalAddressList;
};

// The class of stack to create: a factory, so tests can put a fake stack in its place.
using TIdStackClass = std::unique_ptr<TIdStack> (*)();

extern TIdStackClass StackClass;
extern std::unique_ptr<TIdStack> StackInstance;
extern std::int32_t StackUsers;
// Created by the component module's start-up; guards StackUsers and StackInstance.
extern std::optional<TCriticalSection> StackGuard;

}  // namespace tarvex
