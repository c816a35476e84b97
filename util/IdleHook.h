#pragma once

#include <cstdint>

namespace tarvex {

// The idle hook as the blocking waits below the component layer reach it. The component that
// keeps the hook (IdAntiFreezeBase) registers its calls here when its module starts; until
// then no wait is cut up and nothing runs between slices.
struct TIdleHookCalls {
    // The length of one wait slice in milliseconds while a hook is in use on the calling
    // thread; 0 (or less) leaves a wait whole.
    std::int32_t (*SliceMs)() noexcept = []() noexcept { return 0; };
    // Called after every wait with idle = the wait found nothing, and force.
    void (*AfterSlice)(bool AIdle, bool AForce) = [](bool, bool) {};
};

// Written at start-up only, before any wait.
inline constinit TIdleHookCalls IdleHookCalls{};

}  // namespace tarvex
