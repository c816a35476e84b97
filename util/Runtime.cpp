#include "util/Runtime.h"

#include <gnu/libc-version.h>
#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "util/Console.h"
#include "util/CrashReport.h"
#include "util/DateTime.h"
#include "util/IdGlobal.h"
#include "util/Signals.h"

namespace tarvex {

namespace {

bool EnvironmentSet(const char* AName) noexcept {
    const char* value = std::getenv(AName);
    return value != nullptr && value[0] != '\0';
}

void AdoptLocale() noexcept {
    std::setlocale(LC_ALL, StartUpLocaleName(gnu_get_libc_version()));
    // Plain ASCII would leave every non-ASCII letter alone; prefer the richer character types.
    if (std::strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") == 0) {
        std::setlocale(LC_CTYPE, "en_US");
    }
}

}  // namespace

const char* StartUpLocaleName(const char* ALibraryVersion) noexcept {
    const bool oldLibrary =
        strverscmp(ALibraryVersion, "2.1.3") >= 0 && strverscmp(ALibraryVersion, "2.1.91") < 0;
    if (oldLibrary && !EnvironmentSet("LC_ALL") && !EnvironmentSet("LANG")) {
        return "POSIX";
    }
    return "";
}

void RuntimeStartUp(int AArgc, char** AArgv) {
    SetArguments(AArgc, AArgv);
    // The handlers before the locale, whose files take most of the start-up: a press that
    // early then starts the alarm like any other instead of killing the process.
    InstallKeyboardSignals();
    InstallCrashReports();
    AdoptLocale();
    DateTimeStartUp();
    IdGlobalStartUp();
}

int RunProgram(int AArgc, char** AArgv, std::span<const TUnitStartUp> AUnitStartUps,
               TProgramBody ABody) {
    try {
        RuntimeStartUp(AArgc, AArgv);
        for (const TUnitStartUp startUp : AUnitStartUps) {
            if (startUp != nullptr) {
                startUp();
            }
        }
        ABody();
    } catch (...) {
        ReportCurrentException();
        return 1;
    }
    return 0;
}

}  // namespace tarvex
