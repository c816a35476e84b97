#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "net/IdException.h"

namespace tarvex {
namespace {

// The class tree: each failure is caught where its handlers expect it.
static_assert(std::is_base_of_v<EIdSilentException, EIdConnClosedGracefully>);
static_assert(std::is_base_of_v<EIdException, EIdConnClosedGracefully>);
static_assert(std::is_base_of_v<EIdSocketHandleError, EIdPackageSizeTooBig>);
static_assert(std::is_base_of_v<EIdSocketHandleError, EIdNotAllBytesSent>);
static_assert(std::is_base_of_v<EIdException, EIdSocketError>);
static_assert(std::is_base_of_v<Exception, EIdSetSizeExceeded>);
static_assert(std::is_base_of_v<std::exception, EIdIcmpException>);

TEST(IdException, ServiceNameIsTakenAsTextNotAsTemplate) {
    EXPECT_EQ(EIdInvalidServiceName("50%s%d").Message(), "50%s%d is not a valid service.");
}

}  // namespace
}  // namespace tarvex
