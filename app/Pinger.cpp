#include "app/Pinger.h"

#include "util/Console.h"
#include "util/DateTime.h"
#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {

namespace {

bool TurnsBeepOff(const std::string& AText) {
    return TextEquals(AText, "-b") || TextEquals(AText, "-beep");
}

bool IsBeepSwitch(const std::string& AText) {
    return TextEquals(AText, "+b") || TextEquals(AText, "+beep") || TurnsBeepOff(AText);
}

}  // namespace

TPinger::TPinger() : PingClient(std::make_unique<TIdIcmpClient>(nullptr)) {}

std::string BoolText(bool AValue) { return AValue ? "true" : "false"; }

void TakeSettings(TPinger& APinger) {
    APinger.SwitchText = LowerCaseText(ArgumentText(1));
    std::int32_t offset = 0;
    APinger.BeepEnabled = true;
    if (IsBeepSwitch(APinger.SwitchText)) {
        APinger.BeepEnabled = !TurnsBeepOff(APinger.SwitchText);
        offset = 1;
    }
    TIdIcmpClient& client = *APinger.PingClient;
    client.SetHost(ArgumentText(offset + 1));
    client.SetPort(PingPort);
    client.SetReceiveTimeout(TextToIntegerOr(ArgumentText(offset + 2), DefaultTimeoutMs));
    APinger.DelayMs = TextToIntegerOr(ArgumentText(offset + 3), DefaultDelayMs);
}

std::string SettingsLine(const TPinger& APinger) {
    const TIdIcmpClient& client = *APinger.PingClient;
    return "Pinging [Host: " + client.Host() + "] [Beep: " + BoolText(APinger.BeepEnabled) +
           "] [Timeout: " + IntegerText(client.ReceiveTimeout()) +
           "ms] [Delay: " + IntegerText(APinger.DelayMs) + "ms]";
}

void MonitorHost(TPinger& APinger) {
    TIdIcmpClient& client = *APinger.PingClient;
    bool replyLost = false;
    // Kept from turn to turn with its room, so that an answered turn allocates nothing.
    std::string line;
    for (;;) {
        client.PingHost("", 0);
        ConsoleWrite("Ping ");
        const TReplyStatus& reply = client.LastReply();
        if (reply.Outcome != TEchoOutcome::eoReplied) {
            replyLost = true;
            ConsoleWriteLine("lost?");
            if (APinger.BeepEnabled) {
                SoundBell();
            }
            continue;
        }
        if (replyLost) {
            replyLost = false;
            // The recovery beep comes between "Ping " and the rest of the line.
            if (APinger.BeepEnabled) {
                SoundBell();
            }
        }
        line.erase().append("answered! ").append(reply.SourceAddress).append(" [");
        line.append(Integer64Text(static_cast<std::int64_t>(reply.RoundTripMs))).append("ms]");
        ConsoleWriteLine(line);
        SleepMs(APinger.DelayMs);
    }
}

void SoundFailureAlarm(const TPinger& APinger) {
    ConsoleWriteLine("");
    ConsoleWriteLine("Error occured [" + DateTimeText(CurrentDateTime()) + "]");
    for (;;) {
        if (APinger.BeepEnabled) {
            SoundBell();
        }
        SleepMs(AlarmIntervalMs);
    }
}

}  // namespace tarvex
