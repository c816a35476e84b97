#include "tests/support/LocaleSupport.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "tests/support/TestSupport.h"

namespace tarvex::test {

namespace {

constexpr std::string_view LocaleSources = "/usr/share/i18n/locales/";
constexpr std::string_view Utf8Charmap = "/usr/share/i18n/charmaps/UTF-8.gz";

// A single quoted shell word.
std::string ShellWord(std::string_view AText) {
    std::string word = "'";
    for (const char c : AText) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

void WriteAll(int AFd, std::string_view ABytes) {
    while (!ABytes.empty()) {
        const ssize_t written = write(AFd, ABytes.data(), ABytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            _exit(4);
        }
        ABytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Each text as its decimal length, a colon and its bytes.
std::string Encode(const std::vector<std::string>& ATexts) {
    std::string bytes;
    for (const std::string& text : ATexts) {
        bytes += std::to_string(text.size()) + ":" + text;
    }
    return bytes;
}

std::optional<std::vector<std::string>> Decode(std::string_view ABytes) {
    std::vector<std::string> texts;
    while (!ABytes.empty()) {
        const std::size_t colon = ABytes.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 9) {
            return std::nullopt;
        }
        std::size_t length = 0;
        for (const char digit : ABytes.substr(0, colon)) {
            if (digit < '0' || digit > '9') {
                return std::nullopt;
            }
            length = length * 10 + static_cast<std::size_t>(digit - '0');
        }
        ABytes.remove_prefix(colon + 1);
        if (length > ABytes.size()) {
            return std::nullopt;
        }
        texts.emplace_back(ABytes.substr(0, length));
        ABytes.remove_prefix(length);
    }
    return texts;
}

}  // namespace

TCompiledLocales::TCompiledLocales() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarvex-locales-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        FDirectory = pattern;
    }
}

TCompiledLocales::~TCompiledLocales() {
    if (!FDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FDirectory, ignored);
    }
}

std::string TCompiledLocales::MissingFor(std::string_view ASource) {
    if (!HaveTool("localedef")) {
        return "localedef is not installed (package locales)";
    }
    std::error_code ignored;
    if (!std::filesystem::exists(std::string(LocaleSources) + std::string(ASource), ignored)) {
        return "locale source " + std::string(ASource) + " is missing (package locales)";
    }
    if (!std::filesystem::exists(Utf8Charmap, ignored)) {
        return "the UTF-8 charmap is missing (package locales)";
    }
    return {};
}

bool TCompiledLocales::Add(std::string_view ASource, std::string_view AName) {
    if (FDirectory.empty()) {
        return false;
    }
    const std::string target = FDirectory + "/" + std::string(AName);
    // localedef ends with status 1 for mere warnings, so the result is judged by the files.
    Shell("localedef -i " + ShellWord(ASource) + " -f UTF-8 " + ShellWord(target) +
          " >/dev/null 2>&1");
    std::error_code ignored;
    return std::filesystem::exists(target + "/LC_TIME", ignored) &&
           std::filesystem::exists(target + "/LC_CTYPE", ignored);
}

std::optional<std::vector<std::string>> RunInChild(
    const std::function<std::vector<std::string>()>& ABody, int ASeconds) {
    std::array<int, 2> fds{};
    if (pipe(fds.data()) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        close(fds[0]);
        try {
            WriteAll(fds[1], Encode(ABody()));
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string bytes;
    bool finished = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ASeconds);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd readable{fds[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        std::array<char, 4096> chunk{};
        const ssize_t got = read(fds[0], chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            finished = got == 0;
            break;
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(fds[0]);
    if (!finished) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return Decode(bytes);
}

}  // namespace tarvex::test
