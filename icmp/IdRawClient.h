#pragma once

#include "icmp/IdRawBase.h"

namespace tarvex {

// The raw socket component with ReceiveTimeout published; no behaviour of its own.
class TIdRawClient : public TIdRawBase {
public:
    explicit TIdRawClient(TComponent* AOwner);
    const char* ClassName() const noexcept override { return "TIdRawClient"; }

    using TIdRawBase::ReceiveTimeout;
    using TIdRawBase::SetReceiveTimeout;
};

}  // namespace tarvex
