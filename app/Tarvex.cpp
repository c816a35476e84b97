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

namespace {

bool IsPress(const Exception& AError) {
    return dynamic_cast<const EControlC*>(&AError) != nullptr ||
           dynamic_cast<const EQuit*>(&AError) != nullptr;
}

}  // namespace

void TarvexBody() {
    const bool monitoring = ArgumentCount() >= 1;
    // In a monitoring run, a press that cuts short a blocked write before the monitoring starts
    // asks for the alarm, as it would a moment later: one press never ends the program.
    bool pressed = false;
    const auto writeLine = [monitoring, &pressed](const std::string& ALine) {
        if (pressed) {
            return;
        }
        try {
            ConsoleWriteLine(ALine);
        } catch (const Exception& error) {
            if (!monitoring || !IsPress(error)) {
                throw;
            }
            pressed = true;
        }
    };
    writeLine("Tarvex " TARVEX_VERSION_TEXT);
    writeLine("(Marrowfen)");
    writeLine("");
    if (!monitoring) {
        writeLine(FileNamePart(ArgumentText(0)) +
                  " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
        return;
    }
    TPinger pinger;
    TakeSettings(pinger);
    writeLine(SettingsLine(pinger));
    writeLine("");
    // Any failure of an exchange or of the output ends the monitoring.
    try {
        if (!pressed) {
            MonitorHost(pinger);
        }
    } catch (const Exception& error) {
        // A press that came while a failure was on its way asked for the alarm it gets; after
        // a failure that was itself a press, it is the press that ends the alarm.
        if (!IsPress(error)) {
            DropPendingSignal();
        }
    } catch (...) {
        DropPendingSignal();
    }
    // The alarm runs once the handler is done, so a further Control-C raises again and ends
    // the program.
    SoundFailureAlarm(pinger);
}

}  // namespace tarvex
