#pragma once

#include <cstdint>
#include <string>

#include "util/SysUtils.h"

namespace tarvex {

// Root of every failure the socket layer raises.
class EIdException : public Exception {
public:
    explicit EIdException(std::string AMessage) : Exception(std::move(AMessage)) {}
    const char* ClassName() const noexcept override { return "EIdException"; }
};

// Failures that a handler is expected to take quietly.
class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
    const char* ClassName() const noexcept override { return "EIdSilentException"; }
};

class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully();
    const char* ClassName() const noexcept override { return "EIdConnClosedGracefully"; }
};

class EIdInvalidServiceName : public EIdException {
public:
    // "<AService> is not a valid service."
    explicit EIdInvalidServiceName(const std::string& AService);
    const char* ClassName() const noexcept override { return "EIdInvalidServiceName"; }
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket();
    const char* ClassName() const noexcept override { return "EIdInvalidSocket"; }
};

// A failed socket or resolver call, with the errno or h_errno value it reported.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(std::int32_t AErrorNumber, std::string AMessage)
        : EIdException(std::move(AMessage)), FErrorNumber(AErrorNumber) {}
    const char* ClassName() const noexcept override { return "EIdSocketError"; }
    std::int32_t ErrorNumber() const noexcept { return FErrorNumber; }

private:
    std::int32_t FErrorNumber;
};

// Raised by the echo client with RSIcmpNotEnoughData or RSIcmpNonEchoResponse.
class EIdIcmpException : public EIdException {
public:
    using EIdException::EIdException;
    const char* ClassName() const noexcept override { return "EIdIcmpException"; }
};

class EIdSetSizeExceeded : public EIdException {
public:
    EIdSetSizeExceeded();
    const char* ClassName() const noexcept override { return "EIdSetSizeExceeded"; }
};

// Common base of the socket handle's own failures.
class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
    const char* ClassName() const noexcept override { return "EIdSocketHandleError"; }
};

class EIdPackageSizeTooBig : public EIdSocketHandleError {
public:
    EIdPackageSizeTooBig();
    const char* ClassName() const noexcept override { return "EIdPackageSizeTooBig"; }
};

class EIdNotAllBytesSent : public EIdSocketHandleError {
public:
    EIdNotAllBytesSent();
    const char* ClassName() const noexcept override { return "EIdNotAllBytesSent"; }
};

}  // namespace tarvex
