#include "net/IdException.h"

#include "net/IdResourceStrings.h"

namespace tarvex {

EIdConnClosedGracefully::EIdConnClosedGracefully()
    : EIdSilentException(std::string(RSConnectionClosedGracefully)) {}

EIdInvalidServiceName::EIdInvalidServiceName(const std::string& AService)
    : EIdException(FormatText(RSInvalidServiceName, {AService})) {}

EIdInvalidSocket::EIdInvalidSocket() : EIdException(std::string(RSCannotAllocateSocket)) {}

EIdSetSizeExceeded::EIdSetSizeExceeded() : EIdException(std::string(RSSetSizeExceeded)) {}

EIdPackageSizeTooBig::EIdPackageSizeTooBig()
    : EIdSocketHandleError(std::string(RSPackageSizeTooBig)) {}

EIdNotAllBytesSent::EIdNotAllBytesSent() : EIdSocketHandleError(std::string(RSNotAllBytesSent)) {}

}  // namespace tarvex
