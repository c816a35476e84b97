#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"
#include "util/Console.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

// Each operation ends with one write, and every full 128-byte buffer is handed over at once.
// Descriptor 1 is a packet socket, so each write arrives as one record.
TEST(Console, WritesFollowTheOperationsAndTheBuffer) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    {
        const test::TDescriptorRedirect redirect(1, pair[1]);
        ConsoleWrite("Ping ");
        ConsoleWriteLine("lost?");
        ConsoleWriteLine("");
        ConsoleWrite("");
        ConsoleWrite(std::string(300, 'a'));
        ConsoleWriteLine(std::string(127, 'b'));
        ConsoleWriteLine(std::string(128, 'c'));
    }
    std::vector<std::string> writes;
    char record[4096];
    for (ssize_t got = 0;
         writes.size() < 100 && (got = recv(pair[0], record, sizeof record, MSG_DONTWAIT)) >= 0;) {
        writes.emplace_back(record, static_cast<std::size_t>(got));
    }
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(writes, (std::vector<std::string>{"Ping ", "lost?\n", "\n", std::string(128, 'a'),
                                                std::string(128, 'a'), std::string(44, 'a'),
                                                std::string(127, 'b') + "\n", std::string(128, 'c'),
                                                "\n"}));
}

TEST(Console, FailedWriteRaisesInOutErrorWithTheErrorNumber) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    {
        const test::TDescriptorRedirect redirect(1, full);
        EXPECT_THROW_MSG(ConsoleWriteLine("lost"), EInOutError, "I/O error 28");
        EXPECT_THROW_MSG(ConsoleWrite(std::string(200, 'x')), EInOutError, "I/O error 28");
        EXPECT_THROW(ConsoleWrite("dropped"), EInOutError);
    }
    close(full);
    {
        // The bytes of a failed hand-over are dropped, not written later.
        test::CaptureStdout capture;
        ConsoleWrite("kept");
        EXPECT_EQ(capture.Text(), "kept");
    }
    {
        const test::TDescriptorRedirect redirect(1, -1);
        EXPECT_THROW_MSG(ConsoleWrite("closed"), EInOutError, "I/O error 9");
    }
}

TEST(Arguments, CountAndTextFollowTheCommandLine) {
    {
        const test::TArgumentsGuard arguments({"./some/dir/tarvex", "+b", "", "host"});
        EXPECT_EQ(ArgumentCount(), 3);
        EXPECT_EQ(ArgumentText(0), "./some/dir/tarvex");
        EXPECT_EQ(ArgumentText(1), "+b");
        EXPECT_EQ(ArgumentText(2), "");
        EXPECT_EQ(ArgumentText(3), "host");
        EXPECT_EQ(ArgumentText(4), "");
        EXPECT_EQ(ArgumentText(-1), "");
    }
    {
        const test::TArgumentsGuard arguments({"tarvex"});
        EXPECT_EQ(ArgumentCount(), 0);
        EXPECT_EQ(ArgumentText(0), "tarvex");
    }
    {
        const test::TArgumentsGuard arguments({});
        EXPECT_EQ(ArgumentCount(), 0);
        EXPECT_EQ(ArgumentText(0), "");
    }
}

// The bell goes to standard error, a terminal here.
TEST(Console, PendingInterruptLeavesTheLineAndTheBellWhole) {
    int terminal = -1;
    int errorSide = -1;
    ASSERT_EQ(openpty(&terminal, &errorSide, nullptr, nullptr, nullptr), 0);
    test::CaptureStdout capture;
    {
        const test::TDescriptorRedirect toError(2, errorSide);
        // Recorded between two writes of one line: nothing blocks, so nothing is cut.
        raise(SIGINT);
        EXPECT_NO_THROW(ConsoleWrite("Ping "));
        SoundBell();
        EXPECT_NO_THROW(ConsoleWriteLine("answered! 10.0.0.1 [12ms]"));
    }
    EXPECT_EQ(capture.Text(), "Ping answered! 10.0.0.1 [12ms]\n");
    pollfd ready{terminal, POLLIN, 0};
    char bell[8]{};
    EXPECT_EQ(poll(&ready, 1, 5000) == 1 ? read(terminal, bell, sizeof bell) : -1, 1);
    EXPECT_EQ(bell[0], '\a');
    close(terminal);
    close(errorSide);
    // The next wait takes it.
    EXPECT_THROW(SleepMs(0), EControlC);
}

std::string ReadAvailable(int AFd) {
    std::string bytes;
    char chunk[4096];
    for (ssize_t got = 0; (got = read(AFd, chunk, sizeof chunk)) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

// Output on a non-blocking pipe that fills up after "Ping ": one press waits for the rest of the
// line and is taken by the next wait; only a second one cuts the line.
TEST(Console, OnePressNeverCutsALineThatHasBegun) {
    for (const int presses : {1, 2}) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        std::string received;
        {
            const test::TDescriptorRedirect toPipe(1, fds[1]);
            ConsoleWrite("Ping ");
            const std::string filler(4096, 'x');
            for (int i = 0; i < 1000 && write(fds[1], filler.data(), filler.size()) > 0; ++i) {
            }
            for (int i = 0; i < presses; ++i) {
                raise(SIGINT);
            }
            std::thread reader([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                received = ReadAvailable(fds[0]);
            });
            if (presses == 1) {
                EXPECT_NO_THROW(ConsoleWriteLine("answered! 10.0.0.1 [12ms]"));
            } else {
                EXPECT_THROW(ConsoleWriteLine("answered! 10.0.0.1 [12ms]"), EControlC);
            }
            reader.join();
        }
        received += ReadAvailable(fds[0]);
        close(fds[0]);
        close(fds[1]);
        EXPECT_TRUE(received.starts_with("Ping xxxx")) << presses;
        EXPECT_EQ(received.ends_with("answered! 10.0.0.1 [12ms]\n"), presses == 1);
        EXPECT_THROW(SleepMs(0), EControlC);
    }
}

}  // namespace
}  // namespace tarvex
