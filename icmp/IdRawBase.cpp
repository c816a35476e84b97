#include "icmp/IdRawBase.h"

#include "net/IdStack.h"

namespace tarvex {

TIdRawBase::TIdRawBase(TComponent* AOwner) : TIdComponent(AOwner), FSocketHandle(nullptr) {
    SetBufferSize(DefaultBufferSize);
}

TIdRawBase::~TIdRawBase() = default;

TIdSocketHandle& TIdRawBase::SocketHandle() {
    if (!FSocketHandle.IsOpen()) {
        FSocketHandle.OpenSocket(Id_SOCK_RAW, FProtocol);
        try {
            SocketOpened(FSocketHandle);
        } catch (...) {
            // A socket left without what its owner sets up must not be used by the next send.
            FSocketHandle.Close();
            throw;
        }
    }
    FSocketHandle.SetOption(Id_IPPROTO_IP, Id_IP_TTL, &FTimeToLive,
                            static_cast<std::int32_t>(sizeof(FTimeToLive)));
    return FSocketHandle;
}

void TIdRawBase::SocketOpened(TIdSocketHandle& /*AHandle*/) {}

void TIdRawBase::SendPacket(const std::string& AHost, std::int32_t APort,
                            const std::uint8_t* ABuffer, std::int32_t ABufferSize) {
    SendPacketTo(StackInstance->ResolveAddress(AHost), APort, ABuffer, ABufferSize);
}

void TIdRawBase::SendPacketTo(const TIdIn4Address& AAddress, std::int32_t APort,
                              const std::uint8_t* ABuffer, std::int32_t ABufferSize) {
    SocketHandle().SendDatagram(AAddress, APort, ABuffer, ABufferSize);
}

std::int32_t TIdRawBase::ReceivePacket(std::uint8_t* ABuffer, std::int32_t AByteCount,
                                       std::int32_t ATimeout) {
    if (AByteCount <= 0 || ABuffer == nullptr) {
        return 0;
    }
    const std::int32_t timeout = ATimeout < 0 ? FReceiveTimeout : ATimeout;
    if (!SocketHandle().WaitReadable(timeout)) {
        return 0;
    }
    return SocketHandle().ReceiveQueued(ABuffer, AByteCount, 0, FLastQueuedUs);
}

std::int32_t TIdRawBase::BufferSize() const noexcept {
    return static_cast<std::int32_t>(FBufferStream.size());
}

void TIdRawBase::SetBufferSize(std::int32_t AValue) {
    FBufferStream.resize(AValue > 0 ? static_cast<std::size_t>(AValue) : 0);
    FBufferStream.shrink_to_fit();
}

}  // namespace tarvex
