#pragma once

#include <span>

#include "util/Runtime.h"

namespace tarvex {

// The start-ups of the units the program uses, in the order they must run.
std::span<const TUnitStartUp> TarvexUnitStartUps();

// The program body: banner, usage or settings, then the monitoring loop.
void TarvexBody();

}  // namespace tarvex
