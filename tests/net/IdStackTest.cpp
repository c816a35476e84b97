#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "net/IdException.h"
#include "net/IdStack.h"
#include "net/IdStackLinux.h"
#include "tests/support/FakeStack.h"
#include "tests/support/TestSupport.h"

namespace tarvex {
namespace {

using test::FakeScript;
using test::FakeStack;

// A fake stack with the base class's texts only, so the catalogue itself is seen.
class IdStackBase : public testing::Test {
protected:
    IdStackBase() { FScript.ResolverTexts = false; }
    FakeScript FScript;
    FakeStack FStack{FScript};
};

TEST_F(IdStackBase, ErrorMessageWrapsTheTableTextInTheTemplate) {
    const std::vector<std::pair<std::int32_t, std::string>> cases{
        // Shown exactly as listed: one text ends with a space, one has no full stop.
        {11, "Socket Error # 11\r\nOperation would block. "},
        // The first and the last entry, and numbers just beside listed ones, which have none.
        {4, "Socket Error # 4\r\nInterrupted system call."},
        {115, "Socket Error # 115\r\nOperation now in progress."},
        {3, "Socket Error # 3\r\n"},
        {116, "Socket Error # 116\r\n"},
        {39, "Socket Error # 39\r\nDirectory not empty"},
        {-1, "Socket Error # -1\r\n"},
        {-2147483647 - 1, "Socket Error # -2147483648\r\n"},
    };
    for (const auto& [number, message] : cases) {
        EXPECT_EQ(FStack.ErrorMessage(number), message) << number;
    }
}

TEST(IdStackLinux, ResolverNumbersGiveTheirTextsBare) {
    TIdStackLinux stack;
    EXPECT_EQ(stack.ErrorMessage(1), "Host not found.");
    EXPECT_EQ(stack.ErrorMessage(2), "Non-authoritative response (try again or check DNS setup).");
    EXPECT_EQ(stack.ErrorMessage(3), "Non-recoverable errors: FORMERR, REFUSED, NOTIMP.");
    EXPECT_EQ(stack.ErrorMessage(4), "Valid name, no data record (check DNS setup).");
    EXPECT_EQ(stack.ErrorMessage(5), "Socket Error # 5\r\n");
    EXPECT_EQ(stack.ErrorMessage(0), "Socket Error # 0\r\n");
    EXPECT_EQ(stack.ErrorMessage(111), "Socket Error # 111\r\nConnection refused.");
}

// Only -1 is a failure: it raises the last error with its message unless that one is tolerated.
TEST_F(IdStackBase, CheckCallResultRaisesMinusOneWithTheLastError) {
    FScript.LastError = 104;
    for (const std::int32_t result : {0, -2, 1, 52, -1000}) {
        EXPECT_FALSE(FStack.CheckCallResult(result)) << result;
    }
    EXPECT_EQ(FStack.LastErrorNumber(), 0);
    EXPECT_TRUE(FScript.Calls.empty());
    FScript.LastError = 111;
    try {
        FStack.CheckCallResult(-1);
        FAIL() << "no exception";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.ErrorNumber(), 111);
        EXPECT_EQ(e.Message(), "Socket Error # 111\r\nConnection refused.");
    }
    EXPECT_EQ(FStack.LastErrorNumber(), 111);

    FScript.LastError = 11;
    const std::array<std::int32_t, 2> tolerated{4, 11};
    EXPECT_TRUE(FStack.CheckCallResultExcept(-1, tolerated));
    EXPECT_EQ(FStack.LastErrorNumber(), 11);
    EXPECT_FALSE(FStack.CheckCallResultExcept(0, tolerated));
    FScript.LastError = 9;
    EXPECT_THROW_MSG(FStack.CheckCallResultExcept(-1, tolerated), EIdSocketError,
                     "Socket Error # 9\r\nBad file number.");
    EXPECT_EQ(FStack.LastErrorNumber(), 9);
}

struct TQuadCase {
    std::string Text;
    bool Dotted;
};

TEST_F(IdStackBase, DottedQuadIsFourNumbersFrom0To255) {
    const std::vector<TQuadCase> cases{
        {"0.0.0.0", true},    {"255.255.255.255", true},
        {"10.0.0.1", true},   {"010.000.000.001", true},
        {"1.2.3", false},     {"1.2.3.4.5", false},
        {"256.1.1.1", false}, {"1.2.3.-1", false},
        {"a.b.c.d", false},   {"", false},
        {"1..2.3", false},    {"1.2.3.", false},
        {"1.2.3.256", false}, {"localhost", false},
    };
    for (const TQuadCase& c : cases) {
        EXPECT_EQ(FStack.IsDottedQuad(c.Text), c.Dotted) << c.Text;
    }
}

TEST_F(IdStackBase, DottedTextIsReadWithoutTheResolver) {
    // What is sent to is the numbers the text spells.
    EXPECT_EQ(FStack.ResolveAddress("10.0.0.1"), (TIdIn4Address{10, 0, 0, 1}));
    EXPECT_EQ(FStack.ResolveAddress("010.000.000.001"), (TIdIn4Address{10, 0, 0, 1}));
    EXPECT_EQ(FStack.ResolveAddress(" 10.0x4D.0.$2"), (TIdIn4Address{10, 77, 0, 2}));
    EXPECT_TRUE(FScript.Calls.empty());
}

// The test main ran the program's start-up, which names the POSIX stack; a scope replaces it.
TEST(IdStack, NewStackMakesAStackOfStackClass) {
    const std::unique_ptr<TIdStack> posix = TIdStack::NewStack();
    EXPECT_STREQ(posix->ClassName(), "TIdStackLinux");
    EXPECT_EQ(posix->LastErrorNumber(), 0);
    ASSERT_NE(SocketListClass, nullptr);
    EXPECT_STREQ(SocketListClass()->ClassName(), "TIdSocketListLinux");
    test::FakeStackScope scope;
    const std::unique_ptr<TIdStack> first = TIdStack::NewStack();
    const std::unique_ptr<TIdStack> second = TIdStack::NewStack();
    EXPECT_STREQ(first->ClassName(), "FakeStack");
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(scope.Script().StacksCreated, 2);
}

}  // namespace
}  // namespace tarvex
