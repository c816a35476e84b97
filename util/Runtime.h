#pragma once

#include <span>

namespace tarvex {

using TUnitStartUp = void (*)();
using TProgramBody = void (*)();

// The runtime's start-up, in order: arguments, signal handlers and crash reports, locale,
// date and time settings, main thread record and the utilities' choices.
void RuntimeStartUp(int AArgc, char** AArgv);

// The locale name for setlocale (LC_ALL) given the C library's version: "POSIX" for 2.1.3 up to
// 2.1.91 without a non-empty LC_ALL or LANG (those versions mishandled the empty name), else "".
const char* StartUpLocaleName(const char* ALibraryVersion) noexcept;

// Runs the start-up, then each unit's start-up in order, then the body. An exception that
// nothing caught is reported on standard error and gives exit status 1; else 0.
int RunProgram(int AArgc, char** AArgv, std::span<const TUnitStartUp> AUnitStartUps,
               TProgramBody ABody);

}  // namespace tarvex
