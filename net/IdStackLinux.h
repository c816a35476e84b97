#pragma once

#include <sys/select.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/IdStack.h"

namespace tarvex {

// The socket stack over POSIX sockets and the resolver, one system call per operation. A name
// lookup runs on a helper thread so that Control-C can end the wait. A negative length is
// refused with EINVAL rather than handed on as a huge unsigned size.
class TIdStackLinux : public TIdStack {
public:
    const char* ClassName() const noexcept override { return "TIdStackLinux"; }

    void FillLocalAddresses() override;
    std::string GetFirstLocalAddress() override;
    TStringList& GetLocalAddressList() override;

    TIdStackSocketHandle SysAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                   std::int32_t& APort) override;
    std::int32_t SysBind(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                         const std::string& AIP, std::int32_t APort) override;
    std::int32_t SysClose(TIdStackSocketHandle ASocket) override;
    std::int32_t SysConnect(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                            const std::string& AIP, std::int32_t APort) override;
    std::string SysHostAddressByName(const std::string& AHostName) override;
    std::string SysHostName() override;
    std::string SysHostNameByAddress(const std::string& AAddress) override;
    std::int32_t SysServicePort(const std::string& AService) override;
    std::unique_ptr<TStringList> SysServiceNames(std::int32_t APort) override;
    std::uint16_t SysHostToNet16(std::uint16_t AValue) override;
    std::int32_t SysListen(TIdStackSocketHandle ASocket, std::int32_t ABacklog) override;
    std::uint16_t SysNetToHost16(std::uint16_t AValue) override;
    std::uint32_t SysHostToNet32(std::uint32_t AValue) override;
    std::uint32_t SysNetToHost32(std::uint32_t AValue) override;
    std::int32_t SysReceive(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                            std::int32_t AFlags) override;
    // Reads the queue empty without waiting, bounded as the queue is.
    std::int32_t SysDiscardQueued(TIdStackSocketHandle ASocket) override;
    // The queue time from the kernel's stamp (SO_TIMESTAMPNS) against the wall clock, never
    // negative; -1 without a stamp.
    std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                  std::int32_t AFlags, std::int64_t& AQueuedUs) override;
    std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                std::int32_t AFlags, std::string& AIP,
                                std::int32_t& APort) override;
    // EIdSetSizeExceeded, before any call, for over 1024 handles or one outside 0 to 1023.
    std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite, TIdHandleList* AError,
                           std::int32_t ATimeout) override;
    std::int32_t SysSend(TIdStackSocketHandle ASocket, const void* ABuffer, std::int32_t ALength,
                         std::int32_t AFlags) override;
    std::int32_t SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::int32_t ALength,
                           std::int32_t AFlags, const TIdIn4Address& AAddress,
                           std::int32_t APort) override;
    std::int32_t SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                              std::int32_t AOptName, const void* AOptVal,
                              std::int32_t AOptLen) override;
    TIdStackSocketHandle SysOpenSocket(std::int32_t AFamily, std::int32_t AType,
                                       std::int32_t AProtocol) override;
    std::int32_t SysShutdown(TIdStackSocketHandle ASocket, std::int32_t AHow) override;
    // Resolver numbers 1 to 4 give their texts bare; every other number the base text.
    std::string ErrorMessage(std::int32_t AErrorNumber) override;
    // errno, with a broken pipe (32) reported as a reset connection (104).
    std::int32_t SysLastError() override;
    void SysPeerAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily, std::string& AIP,
                        std::int32_t& APort) override;
    void SysSocketAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily, std::string& AIP,
                          std::int32_t& APort) override;
    std::int32_t SysGetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                              std::int32_t AOptName, void* AOptVal, std::int32_t& AOptLen) override;
    std::string AddressToText(const TIdIn4Address& AAddress) override;
    void TextToAddress(const std::string& AText, TIdIn4Address& AAddress) override;
};

// The resolver text of an h_errno value 1 to 4, or an empty text for any other number.
std::string_view ResolverErrorText(std::int32_t AErrorNumber) noexcept;
// Why a look-up found nothing, from gethostbyname_r's result, h_errno and errno: the
// resolver's number, the system's when the call failed, else HOST_NOT_FOUND; never 0.
std::int32_t LookupFailureNumber(int AResult, int AResolverError, int ASystemError) noexcept;
// The four bytes as unsigned decimal numbers joined by ".".
std::string DottedAddressText(const TIdIn4Address& AAddress);
// Four "."-separated numbers, low 8 bits each, the rest ignored; EConvertError for a bad one.
void DottedTextToAddress(const std::string& AText, TIdIn4Address& AAddress);

// A set of socket handles.
class TIdSocketList : public TObject {
public:
    const char* ClassName() const noexcept override { return "TIdSocketList"; }
    virtual TIdStackSocketHandle GetHandle(std::int32_t AIndex) = 0;
    virtual void AddHandle(TIdStackSocketHandle AHandle) = 0;
    virtual void RemoveHandle(TIdStackSocketHandle AHandle) = 0;
    virtual std::int32_t HandleCount() = 0;
};

// A set over the readiness set; a handle outside 0 to 1023 changes nothing and raises
// EIdSetSizeExceeded.
class TIdSocketListLinux : public TIdSocketList {
public:
    const char* ClassName() const noexcept override { return "TIdSocketListLinux"; }

    // The AIndex-th member counted from handle 0 upward; 0 when there are not that many.
    TIdStackSocketHandle GetHandle(std::int32_t AIndex) override;
    void AddHandle(TIdStackSocketHandle AHandle) override;
    void RemoveHandle(TIdStackSocketHandle AHandle) override;
    std::int32_t HandleCount() override;
    // One more than the highest handle added (kept when the last member goes).
    std::int32_t HandleBound() const noexcept { return FHandleBound; }

private:
    fd_set FHandleSet{};  // all clear
    std::int32_t FHandleBound = 0;
};

using TIdSocketListClass = std::unique_ptr<TIdSocketList> (*)();
// The class of socket-handle set to create; set by IdStackLinuxStartUp.
extern TIdSocketListClass SocketListClass;

// Start-up of this unit: StackClass and SocketListClass name the POSIX classes.
void IdStackLinuxStartUp();

}  // namespace tarvex
