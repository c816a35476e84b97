#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "component/IdBaseComponent.h"

namespace tarvex {

enum class TIdStatus : std::uint8_t {
    hsResolving = 0,
    hsConnecting = 1,
    hsConnected = 2,
    hsDisconnecting = 3,
    hsDisconnected = 4,
    hsStatusText = 5,
    ftpTransfer = 6,
    ftpReady = 7,
    ftpAborted = 8,
};

inline constexpr std::size_t StatusCount = 9;

// The text template of each status, indexed by its ordinal; filled by IdComponentStartUp.
extern std::array<std::string, StatusCount> StatusTexts;

// Handlers receive the component that raised them as ASender; an empty handler is skipped.
using TIdStatusEvent =
    std::function<void(TObject& ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TIdProgressEvent =
    std::function<void(TObject& ASender, std::int32_t ADirection, std::int32_t APosition)>;
using TIdProgressStartEvent =
    std::function<void(TObject& ASender, std::int32_t ADirection, std::int32_t ATotal)>;
using TIdProgressEndEvent = std::function<void(TObject& ASender, std::int32_t ADirection)>;

// Progress bookkeeping of one direction.
struct TProgressState {
    std::int32_t Position = 0;  // amount done
    std::int32_t Total = 0;     // amount announced at the start
    std::int32_t Depth = 0;     // starts still open
};

// Base of the socket-layer components; the first live one creates StackInstance, the last
// one releases it.
class TIdComponent : public TIdBaseComponent {
public:
    // Raises whatever creating the stack raises; StackUsers is then as before.
    explicit TIdComponent(TComponent* AOwner);
    ~TIdComponent() override;
    const char* ClassName() const noexcept override { return "TIdComponent"; }

    const TIdStatusEvent& OnStatus() const noexcept { return FStatusEvent; }
    void SetOnStatus(TIdStatusEvent AValue) { FStatusEvent = std::move(AValue); }
    const TIdProgressEvent& OnProgress() const noexcept { return FProgressEvent; }
    void SetOnProgress(TIdProgressEvent AValue) { FProgressEvent = std::move(AValue); }
    const TIdProgressStartEvent& OnProgressStart() const noexcept { return FProgressStartEvent; }
    void SetOnProgressStart(TIdProgressStartEvent AValue) {
        FProgressStartEvent = std::move(AValue);
    }
    const TIdProgressEndEvent& OnProgressEnd() const noexcept { return FProgressEndEvent; }
    void SetOnProgressEnd(TIdProgressEndEvent AValue) { FProgressEndEvent = std::move(AValue); }

    // ADirection is 0 or 1; any other value raises std::out_of_range.
    virtual void StartProgress(std::int32_t ADirection, std::int32_t ATotal);
    virtual void AdvanceProgress(std::int32_t ADirection, std::int32_t ACount);
    virtual void FinishProgress(std::int32_t ADirection);
    const TProgressState& Progress(std::int32_t ADirection) const;

private:
    TIdStatusEvent FStatusEvent;
    TIdProgressEvent FProgressEvent;
    TIdProgressStartEvent FProgressStartEvent;
    TIdProgressEndEvent FProgressEndEvent;
    std::array<TProgressState, 2> FProgress{};
};

// Creates StackGuard, loads the status templates and lets the waits reach the idle hook.
void IdComponentStartUp();

}  // namespace tarvex
