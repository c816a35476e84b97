#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvex::test {

// The text with every code address ("0x" and hexadecimal digits) replaced by "<address>",
// so reports with addresses compare exactly.
std::string MaskAddresses(std::string_view AText);

// Switches the whole process locale for a scope and restores the previous one afterwards.
class TLocaleGuard {
public:
    explicit TLocaleGuard(const char* ALocale);
    ~TLocaleGuard();
    TLocaleGuard(const TLocaleGuard&) = delete;
    TLocaleGuard& operator=(const TLocaleGuard&) = delete;
    // False when the locale is not installed (the process locale is then unchanged).
    bool Active() const noexcept { return FActive; }

private:
    std::string FSaved;
    bool FActive = false;
};

// Points descriptor AFd at ATarget (or closes it when ATarget is -1) for a scope.
class TDescriptorRedirect {
public:
    TDescriptorRedirect(int AFd, int ATarget);
    ~TDescriptorRedirect();
    TDescriptorRedirect(const TDescriptorRedirect&) = delete;
    TDescriptorRedirect& operator=(const TDescriptorRedirect&) = delete;

private:
    int FFd;
    int FSaved;
};

// Replaces the recorded command line for a scope, restoring the program's own afterwards.
class TArgumentsGuard {
public:
    explicit TArgumentsGuard(std::vector<std::string> AArguments);
    ~TArgumentsGuard();
    TArgumentsGuard(const TArgumentsGuard&) = delete;
    TArgumentsGuard& operator=(const TArgumentsGuard&) = delete;

private:
    std::vector<std::string> FSavedTexts;
    std::vector<std::string> FTexts;
    std::vector<char*> FPointers;
};

}  // namespace tarvex::test
