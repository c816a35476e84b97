#include "net/IdStackConsts.h"

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

namespace tarvex {

// The socket layer's constants are the system's.
static_assert(Id_PF_INET == PF_INET && Id_AF_INET == AF_INET);
static_assert(Id_SOCK_STREAM == SOCK_STREAM && Id_SOCK_DGRAM == SOCK_DGRAM &&
              Id_SOCK_RAW == SOCK_RAW);
static_assert(Id_IPPROTO_IP == IPPROTO_IP && Id_IPPROTO_ICMP == IPPROTO_ICMP &&
              Id_IPPROTO_TCP == IPPROTO_TCP && Id_IPPROTO_UDP == IPPROTO_UDP &&
              Id_IPPROTO_RAW == IPPROTO_RAW);
static_assert(Id_SOL_SOCKET == SOL_SOCKET && Id_IP_TTL == IP_TTL);
static_assert(Id_SO_ATTACH_FILTER == SO_ATTACH_FILTER && Id_SO_TIMESTAMPNS == SO_TIMESTAMPNS);
static_assert(Id_SD_Both == SHUT_RDWR);
static_assert(Id_FD_SETSIZE == FD_SETSIZE);

}  // namespace tarvex
