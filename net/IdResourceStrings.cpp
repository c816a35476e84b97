#include "net/IdResourceStrings.h"

#include <algorithm>
#include <iterator>

namespace tarvex {

const TIdStackErrorText StackErrorTexts[38] = {
    {4, "Interrupted system call."},
    {9, "Bad file number."},
    {11, "Operation would block. "},
    {13, "Access denied."},
    {14, "Bad address."},
    {22, "Invalid argument."},
    {24, "Too many open files."},
    {36, "File name too long."},
    {39, "Directory not empty"},
    {40, "Too many levels of symbolic links."},
    {88, "Socket operation on non-socket."},
    {89, "Destination address required."},
    {90, "Message too long."},
    {91, "Protocol wrong type for socket."},
    {92, "Bad protocol option."},
    {93, "Protocol not supported."},
    {94, "Socket type not supported."},
    {95, "Operation not supported on socket."},
    {96, "Protocol family not supported."},
    {97, "Address family not supported by protocol family."},
    {98, "Address already in use."},
    {99, "Cannot assign requested address."},
    {100, "Network is down."},
    {101, "Network is unreachable."},
    {102, "Net dropped connection or reset."},
    {103, "Software caused connection abort."},
    {104, "Connection reset by peer."},
    {105, "No buffer space available."},
    {106, "Socket is already connected."},
    {107, "Socket is not connected."},
    {108, "Cannot send or receive after socket is closed."},
    {109, "Too many references, cannot splice."},
    {110, "Connection timed out."},
    {111, "Connection refused."},
    {112, "Host is down."},
    {113, "No route to host."},
    {114, "Operation already in progress."},
    {115, "Operation now in progress."},
};

std::string_view StackErrorText(std::int32_t AErrorNumber) noexcept {
    const auto* found =
        std::ranges::lower_bound(StackErrorTexts, AErrorNumber, {}, &TIdStackErrorText::Number);
    return found != std::end(StackErrorTexts) && found->Number == AErrorNumber ? found->Text
                                                                               : std::string_view();
}

}  // namespace tarvex
