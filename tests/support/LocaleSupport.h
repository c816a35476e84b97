#pragma once

#include <string>
#include <string_view>

namespace tarvex::test {

// Locales compiled with localedef into a private directory (a LOCPATH), removed again when the
// object goes. Needs localedef and the locale sources of the system.
class TCompiledLocales {
public:
    TCompiledLocales();
    ~TCompiledLocales();
    TCompiledLocales(const TCompiledLocales&) = delete;
    TCompiledLocales& operator=(const TCompiledLocales&) = delete;

    // Why the locale source ASource cannot be compiled in UTF-8 here; empty when it can.
    static std::string MissingFor(std::string_view ASource);
    // Compiles source ASource with character set ACharmap under the name AName; true when the
    // locale is usable.
    bool Add(std::string_view ASource, std::string_view AName, std::string_view ACharmap = "UTF-8");
    const std::string& Directory() const noexcept { return FDirectory; }

private:
    std::string FDirectory;
};

}  // namespace tarvex::test
