#include "icmp/IdRawClient.h"

namespace tarvex {

TIdRawClient::TIdRawClient(TComponent* AOwner) : TIdRawBase(AOwner) {}

}  // namespace tarvex
