#pragma once

#include <initializer_list>

#include "util/Runtime.h"

namespace tarvex {

// The start-ups of the units the program uses, in the order they must run.
std::initializer_list<TUnitStartUp> TarvexUnitStartUps();

// The program body: banner, usage or settings, then the monitoring loop.
void TarvexBody();

}  // namespace tarvex
