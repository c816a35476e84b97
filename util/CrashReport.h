#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace tarvex {

// Reports of what ends the program abnormally, on standard error: an exception that nothing
// caught, and a program fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) reported as one.

// Takes the table of loaded modules and installs the fault handlers, on a stack of their own so
// that a stack overflow can be reported too. Raises Exception when the system refuses them.
void InstallCrashReports();

// Writes "Exception %s in module %s at %p.\n%s%s\n" to standard error for the exception being
// handled; call it from inside a handler.
void ReportCurrentException() noexcept;

// The file-name part of the loaded module that holds the code address, or "<unknown>".
// Async-signal-safe: it reads a table of modules taken at start-up.
const char* ModuleNameOf(const void* AAddress) noexcept;

// The pieces of the report, async-signal-safe so the fault handlers can use them too.
// AddressText writes the address as "%p" prints it ("0x..." or "(nil)") into a buffer of
// AddressTextSize bytes, NUL-terminated, and returns its length.
constexpr std::size_t AddressTextSize = 24;
std::size_t AddressText(const void* AAddress, char* AText) noexcept;
// The message comes in pieces, so a fault handler can write one without building it first.
void WriteExceptionReport(std::string_view AClassName, const void* AAddress,
                          std::initializer_list<std::string_view> AMessage) noexcept;

}  // namespace tarvex
