#include "net/IdStackLinux.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "net/IdException.h"
#include "net/IdResourceStrings.h"
#include "net/IdStackConsts.h"
#include "util/IdGlobal.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {

TIdSocketListClass SocketListClass = nullptr;

namespace {

constexpr socklen_t AddressLength = sizeof(sockaddr_in);
static_assert(AddressLength == 16);
constexpr std::size_t HostNameBufferSize = 250;
// Room for a host entry grows up to this before a look-up gives up.
constexpr std::size_t MaxLookupArea = 64 * 1024;

bool InSetRange(std::int32_t AHandle) noexcept { return AHandle >= 0 && AHandle < Id_FD_SETSIZE; }

sockaddr* AsAddress(sockaddr_in& AAddress) noexcept {
    return reinterpret_cast<sockaddr*>(&AAddress);
}

// The 4 address bytes at AFrom (an in_addr or a host entry's address).
TIdIn4Address AddressBytes(const void* AFrom) noexcept {
    TIdIn4Address bytes{};
    std::memcpy(bytes.data(), AFrom, bytes.size());
    return bytes;
}

// A host entry that can be read: IPv4 with at least one address.
bool HasAddress(const hostent* AEntry) noexcept {
    return AEntry != nullptr && AEntry->h_addrtype == AF_INET && AEntry->h_length == 4 &&
           AEntry->h_addr_list != nullptr && AEntry->h_addr_list[0] != nullptr;
}

// Saves errno and puts it back at the end of the scope, across clean-up calls.
class TErrnoKeeper {
public:
    TErrnoKeeper() noexcept : FSaved(errno) {}
    ~TErrnoKeeper() { errno = FSaved; }
    TErrnoKeeper(const TErrnoKeeper&) = delete;
    TErrnoKeeper& operator=(const TErrnoKeeper&) = delete;

private:
    int FSaved;
};

// A length below zero, taken as unsigned, would let the system write past the caller's buffer.
bool RefuseNegative(std::int32_t ALength) noexcept {
    if (ALength < 0) {
        errno = EINVAL;
    }
    return ALength < 0;
}

void FillAddress(sockaddr_in& AAddress, std::uint16_t AFamily, const TIdIn4Address& ABytes,
                 std::int32_t APort) noexcept {
    AAddress.sin_family = AFamily;
    AAddress.sin_port = htons(static_cast<std::uint16_t>(APort));
    std::memcpy(&AAddress.sin_addr, ABytes.data(), ABytes.size());
}

void ReadAddress(const sockaddr_in& AAddress, std::string& AIP, std::int32_t& APort) {
    AIP = DottedAddressText(AddressBytes(&AAddress.sin_addr));
    APort = ntohs(AAddress.sin_port);
}

// Asks AQuery (getpeername or getsockname) for an address; a failure raises EIdSocketError.
void QueryAddress(TIdStack& AStack, int (*AQuery)(int, sockaddr*, socklen_t*),
                  TIdStackSocketHandle ASocket, std::int32_t& AFamily, std::string& AIP,
                  std::int32_t& APort) {
    sockaddr_in address{};
    socklen_t length = AddressLength;
    AStack.CheckCallResult(AQuery(ASocket, AsAddress(address), &length));
    AFamily = address.sin_family;
    ReadAddress(address, AIP, APort);
}

// What a wait asks for each of the read, write and error lists, and what counts as ready there.
constexpr std::array<short, 3> AskedEvents{POLLIN, POLLOUT, POLLPRI};
constexpr std::array<short, 3> ReadyEvents{POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI};

}  // namespace

std::string_view ResolverErrorText(std::int32_t AErrorNumber) noexcept {
    constexpr std::array<std::string_view, 4> Texts{RSStackHostNotFound, RSStackTryAgain,
                                                    RSStackNoRecovery, RSStackNoData};
    return AErrorNumber >= 1 && AErrorNumber <= 4 ? Texts[AErrorNumber - 1] : std::string_view();
}

std::int32_t LookupFailureNumber(int AResult, int AResolverError, int ASystemError) noexcept {
    if (AResolverError == NETDB_INTERNAL) {
        const int systemError = AResult != 0 ? AResult : ASystemError;
        if (systemError != 0) {
            return systemError;
        }
    } else if (AResolverError > 0) {
        return AResolverError;
    }
    return HOST_NOT_FOUND;
}

std::string DottedAddressText(const TIdIn4Address& AAddress) {
    // Written in place, the one text made at the end: 255.255.255.255. is the longest.
    char text[16];
    char* end = text;
    for (const std::uint8_t byte : AAddress) {
        if (byte >= 100) {
            *end++ = static_cast<char>('0' + byte / 100);
        }
        if (byte >= 10) {
            *end++ = static_cast<char>('0' + byte / 10 % 10);
        }
        *end++ = static_cast<char>('0' + byte % 10);
        *end++ = '.';
    }
    return std::string(text, end - 1);
}

void DottedTextToAddress(const std::string& AText, TIdIn4Address& AAddress) {
    std::string rest = AText;
    TIdIn4Address bytes{};
    for (std::uint8_t& byte : bytes) {
        const std::string piece = SplitOff(rest, ".", true, true);
        byte = static_cast<std::uint8_t>(TextToInteger(piece) & 0xFF);
    }
    AAddress = bytes;
}

void TIdStackLinux::FillLocalAddresses() {
    if (!FLocalAddressList) {
        FLocalAddressList = std::make_unique<TStringList>();
    }
    FLocalAddressList->Clear();
    const std::string hostName = SysHostName();
    const hostent* entry = gethostbyname(hostName.c_str());
    if (entry == nullptr) {
        CheckCallResult(Id_SOCKET_ERROR);
        return;
    }
    if (entry->h_addrtype != AF_INET || entry->h_length != 4 || entry->h_addr_list == nullptr) {
        return;
    }
    for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
        FLocalAddressList->Add(AddressToText(AddressBytes(*address)));
    }
}

std::string TIdStackLinux::GetFirstLocalAddress() { return GetLocalAddressList().Strings(0); }

TStringList& TIdStackLinux::GetLocalAddressList() {
    // Makes the list when it is absent.
    FillLocalAddresses();
    return *FLocalAddressList;
}

TIdStackSocketHandle TIdStackLinux::SysAccept(TIdStackSocketHandle ASocket, std::string& AIP,
                                              std::int32_t& APort) {
    sockaddr_in address{};
    socklen_t length = AddressLength;
    const int result = accept(ASocket, AsAddress(address), &length);
    if (result == -1) {
        if (errno == EBADF) {
            errno = EINTR;
        }
        return -1;
    }
    {
        const TErrnoKeeper keeper;
        ReadAddress(address, AIP, APort);
    }
    return result;
}

std::int32_t TIdStackLinux::SysBind(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                                    const std::string& AIP, std::int32_t APort) {
    TIdIn4Address bytes{};
    if (!AIP.empty()) {
        TextToAddress(AIP, bytes);
    }
    sockaddr_in address{};
    FillAddress(address, AFamily, bytes, APort);
    return bind(ASocket, AsAddress(address), AddressLength);
}

std::int32_t TIdStackLinux::SysClose(TIdStackSocketHandle ASocket) { return close(ASocket); }

std::int32_t TIdStackLinux::SysConnect(TIdStackSocketHandle ASocket, std::uint16_t AFamily,
                                       const std::string& AIP, std::int32_t APort) {
    TIdIn4Address bytes{};
    TextToAddress(AIP, bytes);
    sockaddr_in address{};
    FillAddress(address, AFamily, bytes, APort);
    return connect(ASocket, AsAddress(address), AddressLength);
}

std::string TIdStackLinux::SysHostAddressByName(const std::string& AHostName) {
    // On a helper thread, with the reentrant call, so Control-C can end a wait on a silent
    // resolver; the lookup owns all it touches. The address, or why there is none (never 0).
    const auto [address, failure] = RunInterruptibly([name = AHostName] {
        hostent entry{};
        hostent* found = nullptr;
        std::vector<char> area(1024);
        int error = 0;
        int result = 0;
        while ((result = gethostbyname_r(name.c_str(), &entry, area.data(), area.size(), &found,
                                         &error)) == ERANGE &&
               area.size() < MaxLookupArea) {
            area.resize(area.size() * 2);
        }
        // Judged by what was found: a module may say "not found" and leave the number at 0.
        if (found == nullptr) {
            return std::pair(TIdIn4Address{}, LookupFailureNumber(result, error, errno));
        }
        if (!HasAddress(found)) {
            return std::pair(TIdIn4Address{}, std::int32_t{NO_DATA});
        }
        return std::pair(AddressBytes(found->h_addr_list[0]), std::int32_t{0});
    });
    if (failure != 0) {
        RaiseSocketFailure(failure);
    }
    return AddressToText(address);
}

std::string TIdStackLinux::SysHostName() {
    // One byte more than the call may fill, so the text always ends with a NUL.
    char buffer[HostNameBufferSize + 1] = {};
    gethostname(buffer, HostNameBufferSize);
    return std::string(buffer);
}

std::string TIdStackLinux::SysHostNameByAddress(const std::string& AAddress) {
    const in_addr_t address = inet_addr(AAddress.c_str());
    const hostent* entry = gethostbyaddr(&address, 4, AF_INET);
    if (entry == nullptr) {
        RaiseSocketFailure(h_errno);
    }
    return entry->h_name == nullptr ? std::string() : std::string(entry->h_name);
}

std::int32_t TIdStackLinux::SysServicePort(const std::string& AService) {
    const servent* entry = getservbyname(AService.c_str(), nullptr);
    if (entry != nullptr) {
        return ntohs(static_cast<std::uint16_t>(entry->s_port));
    }
    try {
        return TextToInteger(AService);
    } catch (const EConvertError&) {
        throw EIdInvalidServiceName(AService);
    }
}

std::unique_ptr<TStringList> TIdStackLinux::SysServiceNames(std::int32_t APort) {
    auto names = std::make_unique<TStringList>();
    const servent* entry = getservbyport(htons(static_cast<std::uint16_t>(APort)), nullptr);
    if (entry != nullptr) {
        names->Add(entry->s_name);
        for (char** alias = entry->s_aliases; alias != nullptr && *alias != nullptr; ++alias) {
            names->Add(*alias);
        }
    }
    return names;
}

std::uint16_t TIdStackLinux::SysHostToNet16(std::uint16_t AValue) { return htons(AValue); }

std::int32_t TIdStackLinux::SysListen(TIdStackSocketHandle ASocket, std::int32_t ABacklog) {
    return listen(ASocket, ABacklog);
}

std::uint16_t TIdStackLinux::SysNetToHost16(std::uint16_t AValue) { return ntohs(AValue); }

std::uint32_t TIdStackLinux::SysHostToNet32(std::uint32_t AValue) { return htonl(AValue); }

std::uint32_t TIdStackLinux::SysNetToHost32(std::uint32_t AValue) { return ntohl(AValue); }

std::int32_t TIdStackLinux::SysReceive(TIdStackSocketHandle ASocket, void* ABuffer,
                                       std::int32_t ALength, std::int32_t AFlags) {
    if (RefuseNegative(ALength)) {
        return -1;
    }
    return static_cast<std::int32_t>(
        recv(ASocket, ABuffer, static_cast<std::size_t>(ALength), AFlags | MSG_NOSIGNAL));
}

std::int32_t TIdStackLinux::SysDiscardQueued(TIdStackSocketHandle ASocket) {
    // A queue holds a few hundred small datagrams; past this many they come as fast as read.
    constexpr std::int32_t MaxDiscarded = 1024;
    const TErrnoKeeper keeper;
    char scrap = 0;
    std::int32_t discarded = 0;
    // Each datagram is cut to one byte and dropped; usually the first read finds nothing.
    while (discarded < MaxDiscarded && recv(ASocket, &scrap, sizeof scrap, MSG_DONTWAIT) >= 0) {
        ++discarded;
    }
    return discarded;
}

std::int32_t TIdStackLinux::SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer,
                                             std::int32_t ALength, std::int32_t AFlags,
                                             std::int64_t& AQueuedUs) {
    AQueuedUs = -1;
    if (RefuseNegative(ALength)) {
        return -1;
    }
    iovec data{ABuffer, static_cast<std::size_t>(ALength)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const auto result =
        static_cast<std::int32_t>(recvmsg(ASocket, &message, AFlags | MSG_NOSIGNAL));
    if (result < 0) {
        return result;
    }
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS &&
            item->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec arrived{};
            std::memcpy(&arrived, CMSG_DATA(item), sizeof arrived);
            // Wall-clock time, compared at once so only a clock step just now could bend it.
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const std::int64_t queued =
                (static_cast<std::int64_t>(now.tv_sec) - arrived.tv_sec) * 1000000 +
                (now.tv_nsec - arrived.tv_nsec) / 1000;
            AQueuedUs = queued > 0 ? queued : 0;
        }
    }
    return result;
}

std::int32_t TIdStackLinux::SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer,
                                           std::int32_t ALength, std::int32_t AFlags,
                                           std::string& AIP, std::int32_t& APort) {
    // Cleared first, so the sender is 0.0.0.0 port 0 after a failure.
    sockaddr_in address{};
    std::int32_t result = -1;
    if (!RefuseNegative(ALength)) {
        socklen_t length = AddressLength;
        result =
            static_cast<std::int32_t>(recvfrom(ASocket, ABuffer, static_cast<std::size_t>(ALength),
                                               AFlags | MSG_NOSIGNAL, AsAddress(address), &length));
    }
    const TErrnoKeeper keeper;
    ReadAddress(address, AIP, APort);
    return result;
}

std::int32_t TIdStackLinux::SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite,
                                      TIdHandleList* AError, std::int32_t ATimeout) {
    // Truncating division: -1 gives 0 s and -1 000 000 ns, which the system refuses.
    const timespec limit{ATimeout / 1000, (ATimeout % 1000) * 1000000L};
    const timespec* const wait = ATimeout == WaitForever ? nullptr : &limit;
    // The wait of every exchange: one socket to read from, nothing else to sort out.
    if (ARead != nullptr && ARead->size() == 1 && AWrite == nullptr && AError == nullptr &&
        InSetRange(ARead->front())) {
        std::array<pollfd, 2> entry{pollfd{ARead->front(), AskedEvents[0], 0}, pollfd{}};
        int result = InterruptiblePoll(entry.data(), 1, wait);
        if (result > 0 && (entry[0].revents & POLLNVAL) != 0) {
            errno = EBADF;
            result = -1;
        }
        if (result == 0 || (result > 0 && (entry[0].revents & ReadyEvents[0]) == 0)) {
            ARead->clear();
            return 0;
        }
        return result < 0 ? result : 1;
    }
    const std::array<TIdHandleList*, 3> lists{ARead, AWrite, AError};
    // One poll entry per listed handle, list after list, and room for the signal pipe. A list
    // the readiness set could not hold is refused before the wait.
    std::array<pollfd, 3 * Id_FD_SETSIZE + 1> entries;
    nfds_t count = 0;
    for (std::size_t set = 0; set < lists.size(); ++set) {
        if (lists[set] == nullptr) {
            continue;
        }
        if (lists[set]->size() > static_cast<std::size_t>(Id_FD_SETSIZE)) {
            throw EIdSetSizeExceeded();
        }
        for (const TIdStackSocketHandle handle : *lists[set]) {
            if (!InSetRange(handle)) {
                throw EIdSetSizeExceeded();
            }
            entries[count++] = pollfd{handle, AskedEvents[set], 0};
        }
    }
    int result = InterruptiblePoll(entries.data(), count, wait);
    // A handle that is no open descriptor fails the whole wait, as select does.
    for (nfds_t i = 0; result > 0 && i < count; ++i) {
        if ((entries[i].revents & POLLNVAL) != 0) {
            errno = EBADF;
            result = -1;
        }
    }
    // Each list keeps its ready handles (all when the wait failed) once each, ascending; the
    // count is select's, summed over the lists.
    const TErrnoKeeper keeper;
    std::int32_t ready = 0;
    const pollfd* entry = entries.data();
    for (std::size_t set = 0; set < lists.size(); ++set) {
        if (lists[set] == nullptr) {
            continue;
        }
        TIdHandleList& list = *lists[set];
        std::size_t kept = 0;
        for (const TIdStackSocketHandle handle : list) {
            const bool readyHere = ((entry++)->revents & ReadyEvents[set]) != 0;
            if (result < 0 || readyHere) {
                list[kept++] = handle;
            }
        }
        list.resize(kept);
        if (kept > 1) {
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
        }
        ready += static_cast<std::int32_t>(list.size());
    }
    return result < 0 ? result : ready;
}

std::int32_t TIdStackLinux::SysSend(TIdStackSocketHandle ASocket, const void* ABuffer,
                                    std::int32_t ALength, std::int32_t AFlags) {
    if (RefuseNegative(ALength)) {
        return -1;
    }
    return static_cast<std::int32_t>(
        send(ASocket, ABuffer, static_cast<std::size_t>(ALength), AFlags | MSG_NOSIGNAL));
}

std::int32_t TIdStackLinux::SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer,
                                      std::int32_t ALength, std::int32_t AFlags,
                                      const TIdIn4Address& AAddress, std::int32_t APort) {
    sockaddr_in address{};
    FillAddress(address, AF_INET, AAddress, APort);
    if (RefuseNegative(ALength)) {
        return -1;
    }
    return static_cast<std::int32_t>(sendto(ASocket, ABuffer, static_cast<std::size_t>(ALength),
                                            AFlags | MSG_NOSIGNAL, AsAddress(address),
                                            AddressLength));
}

std::int32_t TIdStackLinux::SysSetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                                         std::int32_t AOptName, const void* AOptVal,
                                         std::int32_t AOptLen) {
    if (RefuseNegative(AOptLen)) {
        return -1;
    }
    return setsockopt(ASocket, ALevel, AOptName, AOptVal, static_cast<socklen_t>(AOptLen));
}

TIdStackSocketHandle TIdStackLinux::SysOpenSocket(std::int32_t AFamily, std::int32_t AType,
                                                  std::int32_t AProtocol) {
    return socket(AFamily, AType, AProtocol);
}

std::int32_t TIdStackLinux::SysShutdown(TIdStackSocketHandle ASocket, std::int32_t AHow) {
    return shutdown(ASocket, AHow);
}

std::string TIdStackLinux::ErrorMessage(std::int32_t AErrorNumber) {
    const std::string_view text = ResolverErrorText(AErrorNumber);
    if (!text.empty()) {
        return std::string(text);
    }
    return TIdStack::ErrorMessage(AErrorNumber);
}

std::int32_t TIdStackLinux::SysLastError() {
    const int error = errno;
    return error == EPIPE ? ECONNRESET : error;
}

void TIdStackLinux::SysPeerAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                                   std::string& AIP, std::int32_t& APort) {
    QueryAddress(*this, &getpeername, ASocket, AFamily, AIP, APort);
}

void TIdStackLinux::SysSocketAddress(TIdStackSocketHandle ASocket, std::int32_t& AFamily,
                                     std::string& AIP, std::int32_t& APort) {
    QueryAddress(*this, &getsockname, ASocket, AFamily, AIP, APort);
}

std::int32_t TIdStackLinux::SysGetOption(TIdStackSocketHandle ASocket, std::int32_t ALevel,
                                         std::int32_t AOptName, void* AOptVal,
                                         std::int32_t& AOptLen) {
    if (RefuseNegative(AOptLen)) {
        return -1;
    }
    socklen_t length = static_cast<socklen_t>(AOptLen);
    const int result = getsockopt(ASocket, ALevel, AOptName, AOptVal, &length);
    const TErrnoKeeper keeper;
    AOptLen = static_cast<std::int32_t>(length);
    return result;
}

std::string TIdStackLinux::AddressToText(const TIdIn4Address& AAddress) {
    return DottedAddressText(AAddress);
}

void TIdStackLinux::TextToAddress(const std::string& AText, TIdIn4Address& AAddress) {
    DottedTextToAddress(AText, AAddress);
}

TIdStackSocketHandle TIdSocketListLinux::GetHandle(std::int32_t AIndex) {
    std::int32_t position = 0;
    for (std::int32_t handle = 0; handle < Id_FD_SETSIZE; ++handle) {
        if (FD_ISSET(handle, &FHandleSet) && position++ == AIndex) {
            return handle;
        }
    }
    return 0;
}

void TIdSocketListLinux::AddHandle(TIdStackSocketHandle AHandle) {
    if (!InSetRange(AHandle)) {
        throw EIdSetSizeExceeded();
    }
    FD_SET(AHandle, &FHandleSet);
    FHandleBound = LargerOf(FHandleBound, AHandle + 1);
}

void TIdSocketListLinux::RemoveHandle(TIdStackSocketHandle AHandle) {
    if (!InSetRange(AHandle)) {
        throw EIdSetSizeExceeded();
    }
    FD_CLR(AHandle, &FHandleSet);
    if (AHandle + 1 < FHandleBound) {
        return;
    }
    for (std::int32_t handle = Id_FD_SETSIZE - 1; handle >= 0; --handle) {
        if (FD_ISSET(handle, &FHandleSet)) {
            FHandleBound = handle + 1;
            return;
        }
    }
}

std::int32_t TIdSocketListLinux::HandleCount() {
    std::int32_t count = 0;
    for (std::int32_t handle = 0; handle < Id_FD_SETSIZE; ++handle) {
        count += FD_ISSET(handle, &FHandleSet) ? 1 : 0;
    }
    return count;
}

namespace {

std::unique_ptr<TIdStack> NewStackLinux() { return std::make_unique<TIdStackLinux>(); }

std::unique_ptr<TIdSocketList> NewSocketListLinux() {
    return std::make_unique<TIdSocketListLinux>();
}

}  // namespace

void IdStackLinuxStartUp() {
    StackClass = &NewStackLinux;
    SocketListClass = &NewSocketListLinux;
}

}  // namespace tarvex
