#include "net/IdStack.h"

#include "net/IdException.h"
#include "net/IdResourceStrings.h"
#include "net/IdStackConsts.h"
#include "util/IdGlobal.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {

TIdStackClass StackClass = nullptr;
std::unique_ptr<TIdStack> StackInstance;
std::int32_t StackUsers = 0;
std::optional<TCriticalSection> StackGuard;

TIdStack::~TIdStack() = default;

std::int32_t TIdStack::SysDiscardQueued(TIdStackSocketHandle /*ASocket*/) { return 0; }

std::int32_t TIdStack::SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer,
                                        std::int32_t ALength, std::int32_t AFlags,
                                        std::int64_t& AQueuedUs) {
    AQueuedUs = -1;
    return SysReceive(ASocket, ABuffer, ALength, AFlags);
}

std::string TIdStack::ErrorMessage(std::int32_t AErrorNumber) {
    return FormatText(SocketErrorFormat, {IntegerText(AErrorNumber), StackErrorText(AErrorNumber)});
}

TIdStackSocketHandle TIdStack::MakeSocket(std::int32_t AType, std::int32_t AProtocol) {
    const TIdStackSocketHandle handle = SysOpenSocket(Id_PF_INET, AType, AProtocol);
    if (handle == Id_INVALID_SOCKET) {
        throw EIdInvalidSocket();
    }
    return handle;
}

bool TIdStack::CheckCallResultExcept(std::int32_t AResult,
                                     std::span<const std::int32_t> ATolerated) {
    if (AResult != Id_SOCKET_ERROR) {
        return false;
    }
    FLastErrorNumber = SysLastError();
    // A call that Control-C cut short reports the signal, not its EINTR.
    RaisePendingSignal();
    for (const std::int32_t tolerated : ATolerated) {
        if (tolerated == FLastErrorNumber) {
            return true;
        }
    }
    RaiseSocketFailure(FLastErrorNumber);
}

void TIdStack::RaiseSocketFailure(std::int32_t AErrorNumber) {
    throw EIdSocketError(AErrorNumber, ErrorMessage(AErrorNumber));
}

bool TIdStack::IsDottedQuad(const std::string& AText) {
    if (!FDottedText.empty() && AText == FDottedText) {
        return true;
    }
    TIdIn4Address address{};
    std::string rest = AText;
    for (std::size_t i = 0; i < address.size(); ++i) {
        // The fourth part is all that is left after three cuts.
        const std::string part = i + 1 < address.size() ? SplitOff(rest, ".", true, true) : rest;
        std::int32_t value = 0;
        if (!TryTextToInteger(part, value) || value < 0 || value > 255) {
            return false;
        }
        address[i] = static_cast<std::uint8_t>(value);
    }
    FDottedText = AText;
    FDottedAddress = address;
    return true;
}

std::string TIdStack::ResolveAddress(const std::string& AHost) {
    if (SameTextAscii(AHost, "LOCALHOST")) {
        return "127.0.0.1";
    }
    if (IsDottedQuad(AHost)) {
        return AHost;
    }
    return SysHostAddressByName(AHost);
}

std::unique_ptr<TIdStack> TIdStack::NewStack() {
    if (StackClass == nullptr) {
        // Only possible when the program's start-up has not run.
        throw EAbstractError("Abstract Error");
    }
    return StackClass();
}

}  // namespace tarvex
