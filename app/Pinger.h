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

// The state of one run: the single echo client and the loop's settings. The client is
// created with no owner and released with this object, on every way out of the body.
struct TPinger {
    TPinger();

    std::unique_ptr<TIdIcmpClient> PingClient;
    bool BeepEnabled = true;
    std::string SwitchText;
    std::int32_t DelayMs = DefaultDelayMs;
};

// "true" or "false", always in lower case.
std::string BoolText(bool AValue);

// Reads the beep switch, host, reply timeout and delay from the command line. Nothing is
// validated or resolved: bad numbers give the defaults, the host is only stored.
void TakeSettings(TPinger& APinger);

// "Pinging [Host: ...] [Beep: ...] [Timeout: ...ms] [Delay: ...ms]", the timeout read back
// from the client.
std::string SettingsLine(const TPinger& APinger);

// Pings without end, one line per exchange, with the bell while replies are lost and once
// when they come back. Leaves only by an exception.
[[noreturn]] void MonitorHost(TPinger& APinger);

// Prints the moment of the failure, then beeps (when enabled) every 100 ms. Leaves only by an
// exception, which nothing in the program catches.
[[noreturn]] void SoundFailureAlarm(const TPinger& APinger);

}  // namespace tarvex
