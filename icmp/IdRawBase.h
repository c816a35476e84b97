#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "net/IdStackConsts.h"

namespace tarvex {

// A component that owns one raw IPv4 socket: it sends a buffer to a host as one datagram and
// waits a bounded time for one datagram. The socket is opened lazily, at the first access
// through SocketHandle after construction or after somebody closed it.
class TIdRawBase : public TIdComponent {
public:
    static constexpr std::int32_t DefaultBufferSize = 8192;
    static constexpr std::int32_t DefaultPort = 0;
    static constexpr std::int32_t DefaultProtocol = Id_IPPROTO_RAW;
    static constexpr std::int32_t DefaultReceiveTimeout = 0;
    static constexpr std::int32_t DefaultTimeToLive = 128;

    explicit TIdRawBase(TComponent* AOwner);
    // Shuts down and closes a socket still open, before the component base can release the
    // stack that the close goes through.
    ~TIdRawBase() override;
    const char* ClassName() const noexcept override { return "TIdRawBase"; }

    // Opens the raw socket with Protocol when none is open, then writes the time-to-live
    // option, also to a socket already open. Raises EIdInvalidSocket when the socket cannot
    // be made, EIdSocketError when the option is refused.
    TIdSocketHandle& SocketHandle();
    // Resolves AHost afresh, before the socket is touched so that a failed look-up leaves a
    // closed socket closed, and sends the first ABufferSize bytes of ABuffer to it as one
    // datagram. Raises what the resolver, SocketHandle and SendDatagram raise.
    void SendPacket(const std::string& AHost, std::int32_t APort, const std::uint8_t* ABuffer,
                    std::int32_t ABufferSize);
    // The two halves of SendPacket, for a caller that times the send without the look-up.
    TIdIn4Address ResolveHost(const std::string& AHost);
    void SendPacketTo(const TIdIn4Address& AAddress, std::int32_t APort,
                      const std::uint8_t* ABuffer, std::int32_t ABufferSize);
    // Waits up to ATimeout milliseconds (negative: ReceiveTimeout) for one datagram and reads
    // at most AByteCount bytes of it. Its length, 0 when nothing came in time (or the wait
    // failed, or there is nowhere to put it), -1 when the receive call failed.
    std::int32_t ReceivePacket(std::uint8_t* ABuffer, std::int32_t AByteCount,
                               std::int32_t ATimeout);
    // How long the datagram of the last ReceivePacket that read one had waited in the socket's
    // queue, in microseconds; -1 when the socket does not record arrival times.
    std::int64_t LastQueuedUs() const noexcept { return FLastQueuedUs; }

    std::int32_t BufferSize() const noexcept;
    // Sets the size of the buffer, allocating or releasing memory to match; a negative size
    // counts as 0.
    void SetBufferSize(std::int32_t AValue);
    const std::string& Host() const noexcept { return FHost; }
    void SetHost(const std::string& AValue) { FHost = AValue; }
    std::int32_t Port() const noexcept { return FPort; }
    void SetPort(std::int32_t AValue) noexcept { FPort = AValue; }
    // Takes effect when a socket is next opened.
    std::int32_t Protocol() const noexcept { return FProtocol; }
    void SetProtocol(std::int32_t AValue) noexcept { FProtocol = AValue; }

protected:
    // Called once for every socket SocketHandle opens, before the time-to-live is written and
    // before anything is sent through it.
    virtual void SocketOpened(TIdSocketHandle& AHandle);
    std::int32_t ReceiveTimeout() const noexcept { return FReceiveTimeout; }
    void SetReceiveTimeout(std::int32_t AValue) noexcept { FReceiveTimeout = AValue; }

private:
    // Declared before the handle so that it goes after it: members are destroyed in reverse.
    std::vector<std::uint8_t> FBufferStream;
    TIdSocketHandle FSocketHandle;
    std::string FHost;
    std::int32_t FPort = DefaultPort;
    std::int32_t FReceiveTimeout = DefaultReceiveTimeout;
    std::int32_t FProtocol = DefaultProtocol;
    std::int32_t FTimeToLive = DefaultTimeToLive;
    std::int64_t FLastQueuedUs = -1;
};

}  // namespace tarvex
