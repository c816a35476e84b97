#include "net/IdStack.h"

#include <algorithm>

#include "net/IdException.h"
#include "net/IdResourceStrings.h"
#include "net/IdStackConsts.h"
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

std::optional<TIdIn4Address> ReadDottedQuad(std::string_view AText) noexcept {
    TIdIn4Address address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        const bool last = i + 1 == address.size();
        // Plain decimal digits, the usual spelling, are read in place (a number past 255 stops
        // the digits); any other part is read the general way, the last one to the very end.
        std::size_t at = 0;
        std::int32_t value = 0;
        while (at < AText.size() && AText[at] >= '0' && AText[at] <= '9' && value <= 255) {
            value = value * 10 + (AText[at++] - '0');
        }
        if (at == 0 || (at < AText.size() && (last || AText[at] != '.'))) {
            at = last ? AText.size() : std::min(AText.find('.'), AText.size());
            if (!TryTextToInteger(AText.substr(0, at), value)) {
                return std::nullopt;
            }
        }
        if (value < 0 || value > 255) {
            return std::nullopt;
        }
        address[i] = static_cast<std::uint8_t>(value);
        AText.remove_prefix(at < AText.size() ? at + 1 : at);
    }
    return address;
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

TIdIn4Address TIdStack::ResolveToAddress(const std::string& AHost) {
    if (SameTextAscii(AHost, "LOCALHOST")) {
        return {127, 0, 0, 1};
    }
    if (const std::optional<TIdIn4Address> dotted = ReadDottedQuad(AHost)) {
        return *dotted;
    }
    TIdIn4Address address{};
    TextToAddress(SysHostAddressByName(AHost), address);
    return address;
}

std::unique_ptr<TIdStack> TIdStack::NewStack() {
    if (StackClass == nullptr) {
        // Only possible when the program's start-up has not run.
        throw EAbstractError("Abstract Error");
    }
    return StackClass();
}

}  // namespace tarvex
