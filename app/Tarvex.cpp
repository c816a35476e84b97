#include "app/Tarvex.h"

#include <optional>

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

void WriteBanner(const TLineWriter& AWrite) {
    AWrite("Tarvex " TARVEX_VERSION_TEXT);
    AWrite("(Marrowfen)");
    AWrite("");
}

}  // namespace

void TarvexBody() {
    if (ArgumentCount() < 1) {
        WriteBanner(&ConsoleWriteLine);
        ConsoleWriteLine(FileNamePart(ArgumentText(0)) +
                         " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
        return;
    }
    // Made and given its settings after the banner, so that a failure there shows below it.
    std::optional<TPinger> pinger;
    // Any failure of an exchange or of the output ends the monitoring.
    RunWithAlarm(
        [&pinger](const TLineWriter& AWrite) {
            WriteBanner(AWrite);
            TakeSettings(pinger.emplace());
            AWrite(SettingsLine(*pinger));
            AWrite("");
        },
        [&pinger] { MonitorHost(*pinger); }, [&pinger] { SoundFailureAlarm(*pinger); });
}

}  // namespace tarvex
