#pragma once

#include <span>

namespace tarvex {

using TUnitStartUp = void (*)();
using TProgramBody = void (*)();

// The runtime's start-up, in order: arguments and output channel, signal handlers and crash
// reports, locale adoption, date and time settings, main thread record and the utilities'
// choices.
void RuntimeStartUp(int AArgc, char** AArgv);

// The locale name the start-up hands to setlocale for LC_ALL, given the C library's version:
// "POSIX" for versions from 2.1.3 up to but excluding 2.1.91 when neither LC_ALL nor LANG is
// set to a non-empty value (those versions mishandled the empty name then), else "" (the
// locale of the environment).
const char* StartUpLocaleName(const char* ALibraryVersion) noexcept;

// Runs the start-up, then each unit's start-up in order, then the body. An exception that
// nothing caught is reported on standard error and gives exit status 1; else 0.
int RunProgram(int AArgc, char** AArgv, std::span<const TUnitStartUp> AUnitStartUps,
               TProgramBody ABody);

}  // namespace tarvex
