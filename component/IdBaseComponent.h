#pragma once

#include "util/Classes.h"

namespace tarvex {

// Root of the socket-layer components, with nothing of its own.
class TIdBaseComponent : public TComponent {
public:
    explicit TIdBaseComponent(TComponent* AOwner);
    const char* ClassName() const noexcept override { return "TIdBaseComponent"; }
};

}  // namespace tarvex
