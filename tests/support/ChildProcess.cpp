#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace tarvex::test {

namespace {

using Clock = std::chrono::steady_clock;

// Flushes what the body wrote through stdio, then ends without the test process's exit
// handlers (GoogleTest's among them).
[[noreturn]] void EndChild(int AStatus) {
    std::fflush(nullptr);
    _exit(AStatus);
}

void WriteAll(int AFd, std::string_view ABytes) {
    while (!ABytes.empty()) {
        const ssize_t written = write(AFd, ABytes.data(), ABytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        ABytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

int MillisecondsLeft(Clock::time_point ADeadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads both pipes to their end or until the deadline, then closes them.
void ReadStreams(std::array<int, 2> AFds, std::array<std::string*, 2> ATexts,
                 Clock::time_point ADeadline) {
    while (AFds[0] >= 0 || AFds[1] >= 0) {
        const int left = MillisecondsLeft(ADeadline);
        if (left == 0) {
            break;
        }
        // A closed stream has fd -1, which poll skips.
        std::array<pollfd, 2> watched{pollfd{AFds[0], POLLIN, 0}, pollfd{AFds[1], POLLIN, 0}};
        const int ready = poll(watched.data(), watched.size(), left);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < AFds.size(); ++i) {
            if (AFds[i] < 0 || watched[i].revents == 0) {
                continue;
            }
            std::array<char, 4096> chunk{};
            const ssize_t got = read(AFds[i], chunk.data(), chunk.size());
            if (got > 0) {
                ATexts[i]->append(chunk.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(AFds[i]);
                AFds[i] = -1;
            }
        }
    }
    for (const int fd : AFds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

}  // namespace

TChildRun RunInChild(const std::function<int()>& ABody, std::chrono::milliseconds ATimeout) {
    TChildRun run;
    std::array<int, 2> output{-1, -1};
    std::array<int, 2> error{-1, -1};
    if (pipe2(output.data(), O_CLOEXEC) != 0 || pipe2(error.data(), O_CLOEXEC) != 0) {
        for (const int fd : {output[0], output[1], error[0], error[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        run.Failure = "pipe2 failed";
        return run;
    }
    // What the test process has buffered would otherwise be written by the child too.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // dup2 leaves the copies open across an exec.
        if (dup2(output[1], 1) < 0 || dup2(error[1], 2) < 0) {
            _exit(126);
        }
        int status = 125;
        try {
            status = ABody();
        } catch (const std::exception& e) {
            WriteAll(2, std::string("the child's body raised: ") + e.what() + "\n");
        } catch (...) {
            WriteAll(2, "the child's body raised an exception\n");
        }
        EndChild(status);
    }
    close(output[1]);
    close(error[1]);
    if (child < 0) {
        close(output[0]);
        close(error[0]);
        run.Failure = "fork failed";
        return run;
    }
    const Clock::time_point deadline = Clock::now() + ATimeout;
    ReadStreams({output[0], error[0]}, {&run.Output, &run.Error}, deadline);

    // The streams may end before the child does, so the wait is bounded by the same deadline.
    int status = 0;
    pid_t done = 0;
    bool waitFailed = false;
    while (true) {
        done = waitpid(child, &status, WNOHANG);
        waitFailed = done < 0 && errno != EINTR;
        if (done == child || waitFailed || MillisecondsLeft(deadline) == 0) {
            break;
        }
        poll(nullptr, 0, 5);
    }
    if (waitFailed) {
        run.Failure = "cannot wait for the child";
        return run;
    }
    if (done != child) {
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        run.Failure = "the child did not end within " + std::to_string(ATimeout.count()) +
                      " ms and was killed";
        return run;
    }
    TExitStatus ended;
    ended.Exited = WIFEXITED(status);
    ended.Code = ended.Exited ? WEXITSTATUS(status) : 0;
    ended.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.Status = ended;
    return run;
}

}  // namespace tarvex::test
