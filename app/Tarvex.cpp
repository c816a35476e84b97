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
    // Any failure of an exchange or of the output ends the monitoring.
    try {
        MonitorHost(pinger);
    } catch (const EControlC&) {
        // The failure was a press: one that came after it is the press that ends the alarm.
    } catch (const EQuit&) {
    } catch (...) {
        // A press that came while the failure was on its way asked for the alarm it gets.
        DropPendingSignal();
    }
    // The alarm runs once the handler is done, so a further Control-C raises again and ends
    // the program.
    SoundFailureAlarm(pinger);
}

}  // namespace tarvex
