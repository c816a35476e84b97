#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvex {

// The standard output channel: a 128-byte buffer on file descriptor 1, handed to the system
// with one write per hand-over and flushed at the end of every operation. A failed write
// raises EInOutError with the system error number once the operation ends.
void ConsoleWrite(std::string_view AText);
void ConsoleWriteLine(std::string_view AText);

// BEL on standard error if it is a terminal, else on standard output if that is one.
void SoundBell() noexcept;

// Command-line arguments as the system passed them; recorded at start-up.
void SetArguments(int AArgc, char** AArgv) noexcept;
std::int32_t ArgumentCount() noexcept;
std::string ArgumentText(std::int32_t AIndex);

}  // namespace tarvex
