#include "app/Tarvex.h"

#include "util/Console.h"
#include "util/SysUtils.h"

namespace tarvex {

std::initializer_list<TUnitStartUp> TarvexUnitStartUps() {
    static constexpr TUnitStartUp startUps[] = {nullptr};
    return {startUps, startUps};
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
