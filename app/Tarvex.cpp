#include "app/Tarvex.h"

#include "util/Console.h"
#include "util/SysUtils.h"

namespace tarvex {

std::span<const TUnitStartUp> TarvexUnitStartUps() {
    // Filled as the socket layer's units land: stack class, then the component guard.
    return {};
}

void TarvexBody() {
    ConsoleWriteLine("Tarvex 0.1b");
    ConsoleWriteLine("(Marrowfen)");
    ConsoleWriteLine("");
    if (ArgumentCount() < 1) {
        ConsoleWriteLine(FileNamePart(ArgumentText(0)) +
                         " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
        return;
    }
}

}  // namespace tarvex
