#include "net/IdSocketHandle.h"

#include <cassert>
#include <typeinfo>

#include "net/IdException.h"
#include "net/IdStackConsts.h"
#include "util/IdleHook.h"

namespace tarvex {

namespace {

// The system refuses a datagram longer than the socket allows (EMSGSIZE).
constexpr std::int32_t MessageTooLongError = 90;

// Without a stack the caller broke the handle's contract: a fault, not a runtime condition.
TIdStack& Stack() noexcept {
    assert(StackInstance != nullptr);
    return *StackInstance;
}

// Asks the stack for one of the socket's addresses; AIP and APort change only on success.
void FetchAddress(decltype(&TIdStack::SysPeerAddress) AQuery, TIdStackSocketHandle ASocket,
                  std::string& AIP, std::int32_t& APort) {
    std::int32_t family = 0;
    std::string ip;
    std::int32_t port = 0;
    (Stack().*AQuery)(ASocket, family, ip, port);
    AIP = std::move(ip);
    APort = port;
}

}  // namespace

// The fields' initialisers give the state ClearState(true) leaves and the published defaults.
TIdSocketHandle::TIdSocketHandle(TCollection* ACollection) : TCollectionItem(ACollection) {}

TIdSocketHandle::~TIdSocketHandle() {
    try {
        Close();
    } catch (...) {
        // A destructor never raises; the socket is gone from our side either way.
    }
}

void TIdSocketHandle::OpenSocket(std::int32_t ASocketType, std::int32_t AProtocol) {
    Close();
    FDescriptor = Stack().MakeSocket(ASocketType, AProtocol);
    FIsOpen = true;
}

void TIdSocketHandle::Close() {
    if (!FIsOpen) {
        return;
    }
    // Cleared first, so a failure below cannot leave the handle claiming an open socket.
    FIsOpen = false;
    TIdStack& stack = Stack();
    stack.SysShutdown(FDescriptor, Id_SD_Both);
    stack.SysClose(FDescriptor);
}

std::int32_t TIdSocketHandle::ConnectToPeer(std::int32_t AFamily) {
    const std::int32_t result = Stack().SysConnect(FDescriptor, static_cast<std::uint16_t>(AFamily),
                                                   FRemoteIP, FRemotePort);
    if (result != Id_SOCKET_ERROR) {
        FetchLocalAddress();
        FetchPeerAddress();
    }
    return result;
}

std::int32_t TIdSocketHandle::ReceiveDatagram(void* ABuffer, std::int32_t ALength,
                                              std::int32_t AFlags, std::string& AIP,
                                              std::int32_t& APort) {
    return Stack().SysReceiveFrom(FDescriptor, ABuffer, ALength, AFlags, AIP, APort);
}

std::int32_t TIdSocketHandle::Receive(void* ABuffer, std::int32_t ALength, std::int32_t AFlags) {
    return Stack().SysReceive(FDescriptor, ABuffer, ALength, AFlags);
}

std::int32_t TIdSocketHandle::DiscardQueued() { return Stack().SysDiscardQueued(FDescriptor); }

std::int32_t TIdSocketHandle::ReceiveQueued(void* ABuffer, std::int32_t ALength,
                                            std::int32_t AFlags, std::int64_t& AQueuedUs) {
    return Stack().SysReceiveQueued(FDescriptor, ABuffer, ALength, AFlags, AQueuedUs);
}

void TIdSocketHandle::SendDatagram(const TIdIn4Address& AAddress, std::int32_t APort,
                                   const void* ABuffer, std::int32_t ACount) {
    TIdStack& stack = Stack();
    const std::int32_t sent = stack.SysSendTo(FDescriptor, ABuffer, ACount, 0, AAddress, APort);
    if (sent == Id_SOCKET_ERROR) {
        if (stack.SysLastError() == MessageTooLongError) {
            throw EIdPackageSizeTooBig();
        }
        stack.CheckCallResult(sent);
    } else if (sent != ACount) {
        throw EIdNotAllBytesSent();
    }
}

void TIdSocketHandle::SetOption(std::int32_t ALevel, std::int32_t AOptName, const void* AOptVal,
                                std::int32_t AOptLen) {
    TIdStack& stack = Stack();
    stack.CheckCallResult(stack.SysSetOption(FDescriptor, ALevel, AOptName, AOptVal, AOptLen));
}

bool TIdSocketHandle::WaitReadable(std::int32_t ATimeout) {
    if (!FIsOpen) {
        throw EIdConnClosedGracefully();
    }
    // Without a positive slice the wait could never be cut up; it is then left whole.
    const std::int32_t slice = IdleHookCalls.SliceMs();
    if (slice > 0) {
        if (ATimeout == WaitForever) {
            while (!WaitReadable(slice)) {
            }
            return true;
        }
        if (ATimeout > slice) {
            // The odd remainder first, then whole slices: 600 at 250 waits 100, 250, 250.
            const std::int32_t wholeSlices = (ATimeout - 1) / slice;
            if (WaitOnce(ATimeout - wholeSlices * slice)) {
                return true;
            }
            for (std::int32_t i = 1; i < wholeSlices; ++i) {
                if (WaitOnce(slice)) {
                    return true;
                }
            }
            ATimeout = slice;
        }
    }
    return WaitOnce(ATimeout);
}

bool TIdSocketHandle::WaitOnce(std::int32_t ATimeout) {
    // The list is kept between waits so that a wait allocates nothing once warmed up.
    FReadList.assign(1, FDescriptor);
    const bool readable = Stack().SysSelect(&FReadList, nullptr, nullptr, ATimeout) == 1;
    IdleHookCalls.AfterSlice(!readable, false);
    return readable;
}

void TIdSocketHandle::ClearState(bool AIncludeLocal) {
    FIsOpen = false;
    FDescriptor = Id_INVALID_SOCKET;
    if (AIncludeLocal) {
        FIP.clear();
        FPort = 0;
    }
    FRemoteIP.clear();
    FRemotePort = 0;
}

void TIdSocketHandle::FetchLocalAddress() {
    FetchAddress(&TIdStack::SysSocketAddress, FDescriptor, FIP, FPort);
}

void TIdSocketHandle::FetchPeerAddress() {
    FetchAddress(&TIdStack::SysPeerAddress, FDescriptor, FRemoteIP, FRemotePort);
}

void TIdSocketHandle::CopyFrom(const TPersistent& ASource) {
    if (typeid(ASource) == typeid(TIdSocketHandle)) {
        const auto& source = static_cast<const TIdSocketHandle&>(ASource);
        FIP = source.FIP;
        FPort = source.FPort;
        FRemoteIP = source.FRemoteIP;
        FRemotePort = source.FRemotePort;
        return;
    }
    TCollectionItem::Assign(ASource);
}

}  // namespace tarvex
