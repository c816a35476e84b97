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
    if (std::ranges::find(ATolerated, FLastErrorNumber) != ATolerated.end()) {
        return true;
    }
    RaiseSocketFailure(FLastErrorNumber);
}

void TIdStack::RaiseSocketFailure(std::int32_t AErrorNumber) {
    throw EIdSocketError(AErrorNumber, ErrorMessage(AErrorNumber));
}

namespace {

std::optional<TIdIn4Address> ReadDottedQuadGenerally(std::string_view AText) noexcept {
    TIdIn4Address address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        // The fourth part is all that is left after three cuts.
        const std::size_t end = i + 1 < address.size() ? AText.find('.') : AText.size();
        std::int32_t value = 0;
        if (end == std::string_view::npos || !TryTextToInteger(AText.substr(0, end), value) ||
            value < 0 || value > 255) {
            return std::nullopt;
        }
        address[i] = static_cast<std::uint8_t>(value);
        AText.remove_prefix(end < AText.size() ? end + 1 : end);
    }
    return address;
}

}  // namespace

std::optional<TIdIn4Address> ReadDottedQuad(std::string_view AText) noexcept {
    // The usual spelling (one to three plain digits a part), read at every exchange, in one
    // pass; any other the general way.
    TIdIn4Address address{};
    std::size_t part = 0;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (const char c : AText) {
        if (c >= '0' && c <= '9' && digits < 3) {
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            ++digits;
        } else if (c == '.' && digits > 0 && part < 3 && value <= 255) {
            address[part++] = static_cast<std::uint8_t>(value);
            value = 0;
            digits = 0;
        } else {
            return ReadDottedQuadGenerally(AText);
        }
    }
    if (part < 3 || digits == 0 || value > 255) {
        return ReadDottedQuadGenerally(AText);
    }
    address[3] = static_cast<std::uint8_t>(value);
    return address;
}

TIdIn4Address TIdStack::ResolveAddress(const std::string& AHost) {
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
