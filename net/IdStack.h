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

// Four "."-separated decimal numbers (as TryTextToInteger reads them), each 0 to 255, the
// fourth being all that follows the third dot; nothing otherwise. Plain ASCII, so the same in
// every locale.
std::optional<TIdIn4Address> ReadDottedQuad(std::string_view AText) noexcept;

// The one door to the operating system's sockets and resolver. The Sys* operations return
// the raw result (-1 on failure, errno left for SysLastError) and callers hand a -1 to
// CheckCallResult, which raises EIdSocketError (or EControlC/EQuit when a keyboard signal cut
// the call short). They raise themselves only where noted below, and wherever they take an
// address text: a malformed one raises EConvertError before any system call.
class TIdStack : public TObject {
public:
    TIdStack() = default;
    ~TIdStack() override;
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
    // Raises EIdSocketError when the name cannot be resolved, EControlC/EQuit when a keyboard
    // signal abandons the look-up.
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
    // Throws away every datagram already queued on the socket without waiting; the count thrown
    // away. For a socket whose filter has just been attached: what came before it is nobody's.
    virtual std::int32_t SysDiscardQueued(TIdStackSocketHandle ASocket);
    // SysReceive that also tells how long the datagram waited in the socket's queue before this
    // read, in microseconds, when the socket records arrival times; -1 when it does not.
    virtual std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer,
                                          std::int32_t ALength, std::int32_t AFlags,
                                          std::int64_t& AQueuedUs);
    virtual std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer,
                                        std::int32_t ALength, std::int32_t AFlags, std::string& AIP,
                                        std::int32_t& APort) = 0;
    // Each given list (null: none) holds only its ready handles on return. ATimeout in
    // milliseconds, WaitForever (-2) for no limit. Ready count, 0 on time-out, -1 on failure.
    // Raises EIdSetSizeExceeded for a list the readiness set cannot hold, and EControlC/EQuit
    // for a keyboard signal before or during the wait.
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
    // "LOCALHOST" in any case is 127.0.0.1, a dotted quad the bytes it spells, any other text
    // what the resolver finds for it.
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
