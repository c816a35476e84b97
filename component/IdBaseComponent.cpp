#include "component/IdBaseComponent.h"

namespace tarvex {

TIdBaseComponent::TIdBaseComponent(TComponent* AOwner) : TComponent(AOwner) {}

}  // namespace tarvex
