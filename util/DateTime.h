#pragma once

namespace tarvex {

// Start-up: fills the date and time format settings from the adopted locale.
void DateTimeStartUp();

}  // namespace tarvex
