#include <gtest/gtest.h>

#include <string>

#include "net/IdException.h"
#include "net/IdResourceStrings.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

TEST(IdException, FixedMessagesAreLoadedByTheConstructors) {
    EXPECT_EQ(EIdConnClosedGracefully().Message(), "Connection Closed Gracefully.");
    EXPECT_EQ(EIdInvalidSocket().Message(), "Cannot allocate socket.");
    EXPECT_EQ(EIdSetSizeExceeded().Message(), "Set Size Exceeded.");
    EXPECT_EQ(EIdPackageSizeTooBig().Message(), "Package Size Too Big.");
    EXPECT_EQ(EIdNotAllBytesSent().Message(), "Not all bytes sent.");
    EXPECT_EQ(EIdInvalidServiceName("gopherx").Message(), "gopherx is not a valid service.");
    EXPECT_EQ(EIdIcmpException(std::string(RSIcmpNotEnoughData)).Message(),
              "Not enough bytes received");
    EXPECT_EQ(EIdIcmpException(std::string(RSIcmpNonEchoResponse)).Message(),
              "Non-echo type response received");
    EXPECT_EQ(EIdException(std::string(RSOnlyOneAntiFreeze)).Message(),
              "Only one TIdAntiFreeze can exist per application.");
}

TEST(IdException, ServiceNameIsTakenAsTextNotAsTemplate) {
    EXPECT_EQ(EIdInvalidServiceName("50%s%d").Message(), "50%s%d is not a valid service.");
}

TEST(IdException, SocketErrorCarriesItsNumberAndMessage) {
    const EIdSocketError error(111, "Socket Error # 111\r\nConnection refused.");
    EXPECT_EQ(error.ErrorNumber(), 111);
    EXPECT_EQ(error.Message(), "Socket Error # 111\r\nConnection refused.");
    EXPECT_STREQ(error.what(), "Socket Error # 111\r\nConnection refused.");
}

TEST(IdException, EveryClassNamesItself) {
    EXPECT_STREQ(EIdException("x").ClassName(), "EIdException");
    EXPECT_STREQ(EIdSilentException("x").ClassName(), "EIdSilentException");
    EXPECT_STREQ(EIdConnClosedGracefully().ClassName(), "EIdConnClosedGracefully");
    EXPECT_STREQ(EIdInvalidServiceName("x").ClassName(), "EIdInvalidServiceName");
    EXPECT_STREQ(EIdInvalidSocket().ClassName(), "EIdInvalidSocket");
    EXPECT_STREQ(EIdSocketError(1, "x").ClassName(), "EIdSocketError");
    EXPECT_STREQ(EIdIcmpException("x").ClassName(), "EIdIcmpException");
    EXPECT_STREQ(EIdSetSizeExceeded().ClassName(), "EIdSetSizeExceeded");
    EXPECT_STREQ(EIdSocketHandleError("x").ClassName(), "EIdSocketHandleError");
    EXPECT_STREQ(EIdPackageSizeTooBig().ClassName(), "EIdPackageSizeTooBig");
    EXPECT_STREQ(EIdNotAllBytesSent().ClassName(), "EIdNotAllBytesSent");
}

TEST(IdException, ClassNameIsVirtualThroughTheRoot) {
    const EIdPackageSizeTooBig error;
    const Exception& root = error;
    EXPECT_STREQ(root.ClassName(), "EIdPackageSizeTooBig");
}

TEST(IdException, GracefulCloseIsCaughtAsSilentAndAsSocketLayerFailure) {
    EXPECT_THROW_MSG(throw EIdConnClosedGracefully(), EIdSilentException,
                     "Connection Closed Gracefully.");
    EXPECT_THROW_MSG(throw EIdConnClosedGracefully(), EIdException,
                     "Connection Closed Gracefully.");
}

TEST(IdException, HandleFailuresAreCaughtAsHandleErrors) {
    EXPECT_THROW_MSG(throw EIdPackageSizeTooBig(), EIdSocketHandleError, "Package Size Too Big.");
    EXPECT_THROW_MSG(throw EIdNotAllBytesSent(), EIdSocketHandleError, "Not all bytes sent.");
}

TEST(IdException, EveryClassIsCaughtAsTheRuntimeRootAndAsStdException) {
    EXPECT_THROW(throw EIdSocketError(4, "x"), EIdException);
    EXPECT_THROW(throw EIdSetSizeExceeded(), Exception);
    EXPECT_THROW(throw EIdIcmpException("x"), std::exception);
}

}  // namespace
}  // namespace tarvex
