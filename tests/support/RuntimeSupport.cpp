#include "tests/support/RuntimeSupport.h"

#include <unistd.h>

#include <cctype>
#include <clocale>

#include "util/Console.h"

namespace tarvex::test {

std::string MaskAddresses(std::string_view AText) {
    std::string masked;
    std::size_t at = 0;
    while (at < AText.size()) {
        if (AText.substr(at, 2) == "0x" && at + 2 < AText.size() &&
            std::isxdigit(static_cast<unsigned char>(AText[at + 2])) != 0) {
            at += 2;
            while (at < AText.size() && std::isxdigit(static_cast<unsigned char>(AText[at])) != 0) {
                ++at;
            }
            masked += "<address>";
        } else {
            masked += AText[at++];
        }
    }
    return masked;
}

TLocaleGuard::TLocaleGuard(const char* ALocale) {
    const char* current = std::setlocale(LC_ALL, nullptr);
    FSaved = current != nullptr ? current : "C";
    FActive = std::setlocale(LC_ALL, ALocale) != nullptr;
}

TLocaleGuard::~TLocaleGuard() { std::setlocale(LC_ALL, FSaved.c_str()); }

TDescriptorRedirect::TDescriptorRedirect(int AFd, int ATarget) : FFd(AFd), FSaved(dup(AFd)) {
    if (ATarget < 0) {
        close(AFd);
    } else {
        dup2(ATarget, AFd);
    }
}

TDescriptorRedirect::~TDescriptorRedirect() {
    if (FSaved >= 0) {
        dup2(FSaved, FFd);
        close(FSaved);
    }
}

namespace {

std::vector<char*> PointersTo(std::vector<std::string>& ATexts) {
    std::vector<char*> pointers;
    for (std::string& text : ATexts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

TArgumentsGuard::TArgumentsGuard(std::vector<std::string> AArguments)
    : FTexts(std::move(AArguments)) {
    for (std::int32_t i = 0; i <= ArgumentCount(); ++i) {
        FSavedTexts.push_back(ArgumentText(i));
    }
    FPointers = PointersTo(FTexts);
    SetArguments(static_cast<int>(FTexts.size()), FPointers.data());
}

TArgumentsGuard::~TArgumentsGuard() {
    // The program's own strings are gone from view; a copy stands in for them.
    static std::vector<std::string> kept;
    static std::vector<char*> keptPointers;
    kept = FSavedTexts;
    keptPointers = PointersTo(kept);
    SetArguments(static_cast<int>(kept.size()), keptPointers.data());
}

}  // namespace tarvex::test
