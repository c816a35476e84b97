#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "icmp/IdIcmpClient.h"

namespace tarvex {

// The program's own defaults; the timeout replaces the client's built-in one.
constexpr std::int32_t DefaultTimeoutMs = 500;
constexpr std::int32_t DefaultDelayMs = 1000;
// The port the client is given; a raw ICMP socket has no ports and ignores it.
constexpr std::int32_t PingPort = 1111;
// The pause between two beeps of the failure alarm.
constexpr std::int32_t AlarmIntervalMs = 100;

// One run's echo client (no owner; released with this object) and the loop's settings.
struct TPinger {
    TPinger();

    std::unique_ptr<TIdIcmpClient> PingClient;
    bool BeepEnabled = true;
    std::string SwitchText;
    std::int32_t DelayMs = DefaultDelayMs;
};

// "true" or "false", always in lower case.
std::string BoolText(bool AValue);

// Beep switch, host, timeout and delay from the command line; bad numbers give the defaults,
// the host is only stored.
void TakeSettings(TPinger& APinger);

// "Pinging [Host: ...] [Beep: ...] [Timeout: ...ms] [Delay: ...ms]".
std::string SettingsLine(const TPinger& APinger);

// One line per exchange, the bell per lost reply and once on recovery; ends only by raising.
[[noreturn]] void MonitorHost(TPinger& APinger);

// Prints the failure's moment, then beeps (when enabled) every 100 ms; ends only by raising.
[[noreturn]] void SoundFailureAlarm(const TPinger& APinger);

}  // namespace tarvex
