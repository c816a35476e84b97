#pragma once

#include <atomic>
#include <cstdint>

#include "component/IdBaseComponent.h"

namespace tarvex {

// The idle hook, whose ProcessIdle runs between the slices of a long wait on the main thread.
// Creating one registers it in place of any other; destroying any leaves none registered.
class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    static constexpr bool DefaultActive = true;
    static constexpr bool DefaultApplicationHasPriority = true;
    static constexpr std::int32_t DefaultIdleTimeOut = 250;
    static constexpr bool DefaultOnlyWhenIdle = true;

    explicit TIdAntiFreezeBase(TComponent* AOwner);
    ~TIdAntiFreezeBase() override;
    const char* ClassName() const noexcept override { return "TIdAntiFreezeBase"; }

    // The hook's work, supplied by a descendant.
    virtual void ProcessIdle() = 0;

    // A hook is registered, the caller is the main thread, and the hook is active.
    static bool HookInUse() noexcept;
    // ProcessIdle of the hook in use (with OnlyWhenIdle, only if idle or forced); it may raise.
    static void RunIdleHook(bool AIdle, bool AForce);

    bool Active() const noexcept { return FActive; }
    void SetActive(bool AValue) noexcept { FActive = AValue; }
    bool ApplicationHasPriority() const noexcept { return FApplicationHasPriority; }
    void SetApplicationHasPriority(bool AValue) noexcept { FApplicationHasPriority = AValue; }
    // Milliseconds of one wait slice while the hook is in use.
    std::int32_t IdleTimeOut() const noexcept { return FIdleTimeOut; }
    void SetIdleTimeOut(std::int32_t AValue) noexcept { FIdleTimeOut = AValue; }
    bool OnlyWhenIdle() const noexcept { return FOnlyWhenIdle; }
    void SetOnlyWhenIdle(bool AValue) noexcept { FOnlyWhenIdle = AValue; }

private:
    bool FActive = DefaultActive;
    bool FApplicationHasPriority = DefaultApplicationHasPriority;
    std::int32_t FIdleTimeOut = DefaultIdleTimeOut;
    bool FOnlyWhenIdle = DefaultOnlyWhenIdle;
};

// The registered hook, not owned; atomic, as other threads may ask HookInUse.
extern std::atomic<TIdAntiFreezeBase*> IdleHook;

}  // namespace tarvex
