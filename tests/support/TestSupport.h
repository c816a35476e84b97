#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tarvex::test {

// True when TARVEX_REQUIRE_ALL_TESTS=1: a missing privilege, tool or locale is then a failure.
bool AllTestsRequired();
bool RunningAsRoot();
// True when the named program is found on PATH (or is an absolute path that exists).
bool HaveTool(std::string_view AName);

// Runs a shell command; returns its exit status (or -1). Output goes to the test's output.
int Shell(const std::string& ACommand);

// A name unique to this test process and call, for namespaces, links and temporary files.
std::string UniqueName(std::string_view ATag);

// Captures what is written to file descriptor AFd (standard output unless given) between
// construction and Text().
class CaptureStdout {
public:
    explicit CaptureStdout(int AFd = 1);
    ~CaptureStdout();
    CaptureStdout(const CaptureStdout&) = delete;
    CaptureStdout& operator=(const CaptureStdout&) = delete;
    // Restores the descriptor and returns the bytes written meanwhile.
    std::string Text();

private:
    int FFd;
    int FSaved = -1;
    int FRead = -1;
    bool FDone = false;
};

}  // namespace tarvex::test

// Skips the test with a one-line reason, or fails it when every test is required.
#define TARVEX_REQUIRE(ACondition, AReason)                          \
    do {                                                             \
        if (!(ACondition)) {                                         \
            if (::tarvex::test::AllTestsRequired()) {                \
                FAIL() << "required but unavailable: " << (AReason); \
            } else {                                                 \
                GTEST_SKIP() << (AReason);                           \
            }                                                        \
        }                                                            \
    } while (false)

#define TARVEX_REQUIRE_ROOT() \
    TARVEX_REQUIRE(::tarvex::test::RunningAsRoot(), "needs root (raw sockets, namespaces)")

// Expects AStatement to raise exactly AType (or a descendant) with message AMessage.
#define EXPECT_THROW_MSG(AStatement, AType, AMessage)                    \
    do {                                                                 \
        bool thrown_ = false;                                            \
        try {                                                            \
            AStatement;                                                  \
        } catch (const AType& e_) {                                      \
            thrown_ = true;                                              \
            EXPECT_EQ(std::string(e_.Message()), std::string(AMessage)); \
        } catch (...) {                                                  \
            ADD_FAILURE() << "wrong exception type, expected " #AType;   \
            thrown_ = true;                                              \
        }                                                                \
        EXPECT_TRUE(thrown_) << "no exception, expected " #AType;        \
    } while (false)
