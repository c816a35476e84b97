#pragma once

#include <cstddef>
#include <exception>
#include <span>
#include <string_view>

namespace tarvex {

using TUnitStartUp = void (*)();
using TProgramBody = void (*)();

// The runtime's start-up, in order: arguments and output channel, locale adoption, signal
// handlers, date and time settings, main thread record and the utilities' choices.
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

// Writes "Exception %s in module %s at %p.\n%s%s\n" for the exception to standard error.
void ReportUnhandledException(const std::exception& AException) noexcept;

// The file-name part of the loaded module that holds the code address, or "<unknown>".
// Async-signal-safe: it reads a table of modules taken at start-up.
const char* ModuleNameOf(const void* AAddress) noexcept;

// The pieces of the report, async-signal-safe so the fault handlers can use them too.
// AddressText writes the address as "%p" prints it ("0x..." or "(nil)") into a buffer of
// AddressTextSize bytes, NUL-terminated, and returns its length.
constexpr std::size_t AddressTextSize = 24;
std::size_t AddressText(const void* AAddress, char* AText) noexcept;
void WriteExceptionReport(std::string_view AClassName, const void* AAddress,
                          std::string_view AMessage) noexcept;

}  // namespace tarvex
