#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"
#include "net/IdStackConsts.h"

namespace tarvex {

// A component owning one raw IPv4 socket, opened at the first SocketHandle after construction
// or after a close: sends a buffer as one datagram and waits a bounded time for one.
class TIdRawBase : public TIdComponent {
public:
    static constexpr std::int32_t DefaultBufferSize = 8192;
    static constexpr std::int32_t DefaultPort = 0;
    static constexpr std::int32_t DefaultProtocol = Id_IPPROTO_RAW;
    static constexpr std::int32_t DefaultReceiveTimeout = 0;
    static constexpr std::int32_t DefaultTimeToLive = 128;

    explicit TIdRawBase(TComponent* AOwner);
    // Closes an open socket before the component base can release the stack.
    ~TIdRawBase() override;
    const char* ClassName() const noexcept override { return "TIdRawBase"; }

    // Opens the socket with Protocol when none is open, then sets the time-to-live. Raises
    // EIdInvalidSocket or EIdSocketError.
    TIdSocketHandle& SocketHandle();
    // Resolves AHost afresh (a failed look-up leaves a closed socket closed), then sends
    // ABufferSize bytes to it as one datagram.
    void SendPacket(const std::string& AHost, std::int32_t APort, const std::uint8_t* ABuffer,
                    std::int32_t ABufferSize);
    // SendPacket after the look-up, to time the send without it.
    void SendPacketTo(const TIdIn4Address& AAddress, std::int32_t APort,
                      const std::uint8_t* ABuffer, std::int32_t ABufferSize);
    // Waits up to ATimeout ms (negative: ReceiveTimeout) and reads at most AByteCount bytes of
    // one datagram: its length; 0 when none came, the wait failed or there is no room; -1 when
    // the receive failed.
    std::int32_t ReceivePacket(std::uint8_t* ABuffer, std::int32_t AByteCount,
                               std::int32_t ATimeout);
    // Microseconds the last datagram read had queued; -1 without arrival times.
    std::int64_t LastQueuedUs() const noexcept { return FLastQueuedUs; }

    std::int32_t BufferSize() const noexcept;
    // Allocates or releases to match; a negative size counts as 0.
    void SetBufferSize(std::int32_t AValue);
    const std::string& Host() const noexcept { return FHost; }
    void SetHost(const std::string& AValue) { FHost = AValue; }
    std::int32_t Port() const noexcept { return FPort; }
    void SetPort(std::int32_t AValue) noexcept { FPort = AValue; }
    // Takes effect when a socket is next opened.
    std::int32_t Protocol() const noexcept { return FProtocol; }
    void SetProtocol(std::int32_t AValue) noexcept { FProtocol = AValue; }

protected:
    // Called for every socket SocketHandle opens, before the time-to-live and any send.
    virtual void SocketOpened(TIdSocketHandle& AHandle);
    std::int32_t ReceiveTimeout() const noexcept { return FReceiveTimeout; }
    void SetReceiveTimeout(std::int32_t AValue) noexcept { FReceiveTimeout = AValue; }

private:
    // Before the handle, so destroyed after it.
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
