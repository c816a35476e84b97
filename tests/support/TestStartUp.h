#pragma once

namespace tarvex::test {

// The program's own start-up (runtime, locale, signals, units), so tests see the same
// process state as the program.
void ProgramStartUp(int AArgc, char** AArgv);

}  // namespace tarvex::test
