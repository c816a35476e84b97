#include "component/IdComponent.h"

#include <stdexcept>

#include "component/IdAntiFreezeBase.h"
#include "net/IdStack.h"
#include "util/IdleHook.h"
#include "util/SyncObjs.h"

namespace tarvex {

std::array<std::string, StatusCount> StatusTexts{};

namespace {

std::size_t DirectionIndex(std::int32_t ADirection) {
    if (ADirection < 0 || ADirection > 1) {
        throw std::out_of_range("progress direction must be 0 or 1");
    }
    return static_cast<std::size_t>(ADirection);
}

// Positions wrap around like the 32-bit counters they are instead of overflowing.
std::int32_t WrappingAdd(std::int32_t A, std::int32_t B) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(A) + static_cast<std::uint32_t>(B));
}

}  // namespace

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {
    TLockGuard lock(StackGuard.value());
    ++StackUsers;
    if (StackUsers == 1) {
        // A constructor that raises gets no destructor call, so the count is undone here.
        try {
            StackInstance = TIdStack::NewStack();
        } catch (...) {
            --StackUsers;
            throw;
        }
    }
}

TIdComponent::~TIdComponent() {
    // The owned components go first: they may still use the stack.
    DestroyComponents();
    TLockGuard lock(*StackGuard);
    --StackUsers;
    if (StackUsers == 0) {
        StackInstance.reset();
    }
}

void TIdComponent::StartProgress(std::int32_t ADirection, std::int32_t ATotal) {
    TProgressState& state = FProgress[DirectionIndex(ADirection)];
    ++state.Depth;
    if (state.Depth == 1) {
        state.Total = ATotal;
        state.Position = 0;
        if (FProgressStartEvent) {
            FProgressStartEvent(*this, ADirection, ATotal);
        }
    }
}

void TIdComponent::AdvanceProgress(std::int32_t ADirection, std::int32_t ACount) {
    TProgressState& state = FProgress[DirectionIndex(ADirection)];
    if (state.Depth > 0) {
        state.Position = WrappingAdd(state.Position, ACount);
        if (FProgressEvent) {
            FProgressEvent(*this, ADirection, state.Position);
        }
    }
}

void TIdComponent::FinishProgress(std::int32_t ADirection) {
    TProgressState& state = FProgress[DirectionIndex(ADirection)];
    if (state.Depth == 1 && FProgressEndEvent) {
        FProgressEndEvent(*this, ADirection);
    }
    --state.Depth;
}

const TProgressState& TIdComponent::Progress(std::int32_t ADirection) const {
    return FProgress[DirectionIndex(ADirection)];
}

void IdComponentStartUp() {
    if (!StackGuard) {
        StackGuard.emplace();
    }
    // The waits of the socket layer below reach the idle hook through these.
    IdleHookCalls.SliceMs = []() noexcept {
        return TIdAntiFreezeBase::HookInUse() ? IdleHook.load()->IdleTimeOut() : 0;
    };
    IdleHookCalls.AfterSlice = &TIdAntiFreezeBase::RunIdleHook;
    // Indexed by the status ordinals; shown exactly as here.
    StatusTexts = {"Resolving hostname %s.",
                   "Connecting to %s.",
                   "Connected.",
                   "Disconnecting.",
                   "Disconnected.",
                   "%s",
                   "%s",
                   "%s",
                   "%s"};
}

}  // namespace tarvex
