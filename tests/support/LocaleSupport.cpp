#include "tests/support/LocaleSupport.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {

namespace {

constexpr std::string_view LocaleSources = "/usr/share/i18n/locales/";
constexpr std::string_view Utf8Charmap = "/usr/share/i18n/charmaps/UTF-8.gz";

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

bool TCompiledLocales::Add(std::string_view ASource, std::string_view AName,
                           std::string_view ACharmap) {
    if (FDirectory.empty()) {
        return false;
    }
    const std::string target = FDirectory + "/" + std::string(AName);
    // localedef ends with status 1 for mere warnings, so the result is judged by the files.
    Shell("localedef -i " + ShellQuote(ASource) + " -f " + ShellQuote(ACharmap) + " " +
          ShellQuote(target) + " >/dev/null 2>&1");
    std::error_code ignored;
    return std::filesystem::exists(target + "/LC_TIME", ignored) &&
           std::filesystem::exists(target + "/LC_CTYPE", ignored);
}

}  // namespace tarvex::test
