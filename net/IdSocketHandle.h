#pragma once

#include <cstdint>
#include <string>

#include "net/IdStack.h"
#include "util/Classes.h"

namespace tarvex {

// One socket with its local and peer addresses. Every call goes through StackInstance, so a
// handle is used only while a component holds the stack.
class TIdSocketHandle : public TCollectionItem {
public:
    static constexpr std::int32_t DefaultClientPortMin = 0;
    static constexpr std::int32_t DefaultClientPortMax = 0;

    explicit TIdSocketHandle(TCollection* ACollection);
    // Closes an open socket; never raises.
    ~TIdSocketHandle() override;
    const char* ClassName() const noexcept override { return "TIdSocketHandle"; }

    // Closes any open socket, then opens an IPv4 one; EIdInvalidSocket leaves none open. The
    // addresses are kept.
    void OpenSocket(std::int32_t ASocketType, std::int32_t AProtocol);
    // Shuts down and closes an open socket, ignoring failures; Descriptor and addresses stay.
    virtual void Close();
    // Connects to RemoteIP:RemotePort, refreshing both addresses on success; 0 or -1.
    virtual std::int32_t ConnectToPeer(std::int32_t AFamily);
    // The system's result: bytes received, 0, or -1; AIP and APort give the sender.
    virtual std::int32_t ReceiveDatagram(void* ABuffer, std::int32_t ALength, std::int32_t AFlags,
                                         std::string& AIP, std::int32_t& APort);
    std::int32_t Receive(void* ABuffer, std::int32_t ALength, std::int32_t AFlags);
    // Throws away what is queued on the socket (see SysDiscardQueued).
    std::int32_t DiscardQueued();
    // Receive, also giving how long the datagram waited in the queue (see SysReceiveQueued).
    std::int32_t ReceiveQueued(void* ABuffer, std::int32_t ALength, std::int32_t AFlags,
                               std::int64_t& AQueuedUs);
    // Sends ACount bytes as one datagram. Raises EIdPackageSizeTooBig when it is too long,
    // EIdNotAllBytesSent on a short send, EIdSocketError otherwise.
    void SendDatagram(const TIdIn4Address& AAddress, std::int32_t APort, const void* ABuffer,
                      std::int32_t ACount);
    // Raises EIdSocketError when the system refuses the option.
    void SetOption(std::int32_t ALevel, std::int32_t AOptName, const void* AOptVal,
                   std::int32_t AOptLen);
    // True when readable within ATimeout ms (WaitForever: no limit, 0: one poll); false on a
    // failed wait; EIdConnClosedGracefully without a socket. While the idle hook is in use,
    // long waits are cut into slices of its IdleTimeOut, the hook run after each.
    bool WaitReadable(std::int32_t ATimeout);
    // Forgets the socket (without closing it), the peer address and, if asked, the local one.
    void ClearState(bool AIncludeLocal);
    // Both raise EIdSocketError when the query fails.
    void FetchLocalAddress();
    void FetchPeerAddress();

    // IP, Port, RemoteIP and RemotePort of a handle of exactly this class; any other source
    // raises EConvertError.
    void CopyFrom(const TPersistent& ASource);
    void Assign(const TPersistent& ASource) override { CopyFrom(ASource); }

    TIdStackSocketHandle Descriptor() const noexcept { return FDescriptor; }
    bool IsOpen() const noexcept { return FIsOpen; }
    const std::string& IP() const noexcept { return FIP; }
    void SetIP(const std::string& AValue) { FIP = AValue; }
    const std::string& RemoteIP() const noexcept { return FRemoteIP; }
    void SetRemoteIP(const std::string& AValue) { FRemoteIP = AValue; }
    std::int32_t Port() const noexcept { return FPort; }
    void SetPort(std::int32_t AValue) noexcept { FPort = AValue; }
    std::int32_t RemotePort() const noexcept { return FRemotePort; }
    void SetRemotePort(std::int32_t AValue) noexcept { FRemotePort = AValue; }
    std::int32_t ClientPortMin() const noexcept { return FClientPortMin; }
    void SetClientPortMin(std::int32_t AValue) noexcept { FClientPortMin = AValue; }
    std::int32_t ClientPortMax() const noexcept { return FClientPortMax; }
    void SetClientPortMax(std::int32_t AValue) noexcept { FClientPortMax = AValue; }

private:
    // One SysSelect on the descriptor, then the idle hook as the outcome asks.
    bool WaitOnce(std::int32_t ATimeout);

    TIdStackSocketHandle FDescriptor = -1;
    bool FIsOpen = false;
    std::string FIP;
    std::string FRemoteIP;
    std::int32_t FPort = 0;
    std::int32_t FRemotePort = 0;
    std::int32_t FClientPortMin = DefaultClientPortMin;
    std::int32_t FClientPortMax = DefaultClientPortMax;
    TIdHandleList FReadList;
};

}  // namespace tarvex
