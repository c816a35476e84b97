#include "util/DateTime.h"

namespace tarvex {

void DateTimeStartUp() {}

}  // namespace tarvex
