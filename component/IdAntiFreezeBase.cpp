#include "component/IdAntiFreezeBase.h"

#include "util/IdGlobal.h"

namespace tarvex {

constinit std::atomic<TIdAntiFreezeBase*> IdleHook{nullptr};

// There is no design state, so a new hook always registers itself, replacing any other.
TIdAntiFreezeBase::TIdAntiFreezeBase(TComponent* AOwner) : TIdBaseComponent(AOwner) {
    IdleHook.store(this);
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() { IdleHook.store(nullptr); }

bool TIdAntiFreezeBase::HookInUse() noexcept {
    const TIdAntiFreezeBase* hook = IdleHook.load();
    return hook != nullptr && CalledFromMainThread() && hook->Active();
}

void TIdAntiFreezeBase::RunIdleHook(bool AIdle, bool AForce) {
    if (!HookInUse()) {
        return;
    }
    // Only the main thread gets here, and hooks are registered and released on it.
    TIdAntiFreezeBase* hook = IdleHook.load();
    if (!hook->OnlyWhenIdle() || AIdle || AForce) {
        hook->ProcessIdle();
    }
}

}  // namespace tarvex
