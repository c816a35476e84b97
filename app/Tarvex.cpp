#include "app/Tarvex.h"

#include "app/Pinger.h"
#include "component/IdComponent.h"
#include "net/IdStackLinux.h"
#include "util/Console.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {

std::span<const TUnitStartUp> TarvexUnitStartUps() {
    // The stack class first; the component guard follows.
    static constexpr TUnitStartUp UnitStartUps[] = {&IdStackLinuxStartUp, &IdComponentStartUp};
    return UnitStartUps;
}

void TarvexBody() {
    ConsoleWriteLine("Tarvex " TARVEX_VERSION_TEXT);
    ConsoleWriteLine("(Marrowfen)");
    ConsoleWriteLine("");
    if (ArgumentCount() < 1) {
        ConsoleWriteLine(FileNamePart(ArgumentText(0)) +
                         " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
        return;
    }
    TPinger pinger;
    TakeSettings(pinger);
    ConsoleWriteLine(SettingsLine(pinger));
    ConsoleWriteLine("");
    try {
        MonitorHost(pinger);
    } catch (...) {
        // Any failure of an exchange or of the output ends the monitoring. A keyboard signal
        // that came while the failure was on its way is dropped, so it cannot end the alarm.
        DropPendingSignal();
    }
    // The alarm runs once the handler is done, so a further Control-C raises again and ends
    // the program.
    SoundFailureAlarm(pinger);
}

}  // namespace tarvex
