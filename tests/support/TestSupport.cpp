#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace tarvex::test {

bool AllTestsRequired() {
    const char* value = std::getenv("TARVEX_REQUIRE_ALL_TESTS");
    return value != nullptr && std::string_view(value) == "1";
}

bool RunningAsRoot() { return geteuid() == 0; }

bool HaveTool(std::string_view AName) {
    if (!AName.empty() && AName.front() == '/') {
        return access(std::string(AName).c_str(), X_OK) == 0;
    }
    return Shell("command -v " + std::string(AName) + " >/dev/null 2>&1") == 0;
}

int Shell(const std::string& ACommand) {
    const int status = std::system(ACommand.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string UniqueName(std::string_view ATag) {
    static std::atomic<int> counter{0};
    return "tvx" + std::string(ATag) + std::to_string(getpid()) + "x" +
           std::to_string(counter.fetch_add(1));
}

CaptureStdout::CaptureStdout(int AFd) : FFd(AFd) {
    std::fflush(stdout);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    // Large enough for what a test writes without a reader.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    FSaved = dup(FFd);
    dup2(fds[1], FFd);
    close(fds[1]);
    FRead = fds[0];
}

CaptureStdout::~CaptureStdout() { Text(); }

std::string CaptureStdout::Text() {
    std::string result;
    if (FDone || FRead < 0) {
        return result;
    }
    FDone = true;
    std::fflush(stdout);
    dup2(FSaved, FFd);
    close(FSaved);
    std::array<char, 4096> chunk{};
    ssize_t got = 0;
    while ((got = read(FRead, chunk.data(), chunk.size())) > 0) {
        result.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(FRead);
    return result;
}

}  // namespace tarvex::test
