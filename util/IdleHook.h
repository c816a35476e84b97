#pragma once

#include <cstdint>

namespace tarvex {

// The idle hook as the waits below the component layer reach it; IdAntiFreezeBase's module
// registers its calls at start-up. Until then no wait is cut up.
struct TIdleHookCalls {
    // One wait slice in ms while a hook is in use on this thread; 0 or less: a wait stays whole.
    std::int32_t (*SliceMs)() noexcept = []() noexcept { return 0; };
    // Called after every wait with idle = the wait found nothing, and force.
    void (*AfterSlice)(bool AIdle, bool AForce) = [](bool, bool) {};
};

// Written at start-up only, before any wait.
inline constinit TIdleHookCalls IdleHookCalls{};

}  // namespace tarvex
