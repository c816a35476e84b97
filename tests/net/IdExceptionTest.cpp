#include <gtest/gtest.h>

#include <string>

#include "net/IdException.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

TEST(IdException, ServiceNameIsTakenAsTextNotAsTemplate) {
    EXPECT_EQ(EIdInvalidServiceName("50%s%d").Message(), "50%s%d is not a valid service.");
}

TEST(IdException, SocketErrorCarriesItsNumberAndMessage) {
    const EIdSocketError error(111, "Socket Error # 111\r\nConnection refused.");
    EXPECT_EQ(error.ErrorNumber(), 111);
    EXPECT_EQ(error.Message(), "Socket Error # 111\r\nConnection refused.");
    EXPECT_STREQ(error.what(), "Socket Error # 111\r\nConnection refused.");
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
