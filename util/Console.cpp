#include "util/Console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "util/Signals.h"
#include "util/SysUtils.h"

namespace tarvex {

namespace {

constexpr int OutputDescriptor = 1;
constexpr std::size_t OutputBufferSize = 128;

// The standard output channel. Constant-initialised so it is usable before any start-up code.
struct TOutputChannel {
    char Bytes[OutputBufferSize];
    std::size_t Count;
    int FailedErrno;   // first failure of the running operation, 0 when none
    bool Interrupted;  // a keyboard signal cut a hand-over of the running operation short
    bool LineOpen;     // what went out ends inside a line
};

constinit TOutputChannel Output{{}, 0, 0, false, false};

constinit int ArgCount = 0;
constinit char** ArgValues = nullptr;

// One write of the whole buffer, which is empty afterwards; a short write is not retried. Once a
// keyboard signal cut a hand-over short, the rest is dropped: the operation raises the signal.
void HandOver() noexcept {
    if (Output.Count == 0) {
        return;
    }
    if (!Output.Interrupted) {
        bool cutShort = false;
        const ssize_t written = InterruptibleWrite(OutputDescriptor, Output.Bytes, Output.Count,
                                                   Output.LineOpen, cutShort);
        // A line that a press cut short is given up, so that the next press ends the next write.
        Output.LineOpen =
            !cutShort && (written > 0 ? Output.Bytes[written - 1] != '\n' : Output.LineOpen);
        if (cutShort) {
            Output.Interrupted = true;
        } else if (written == -1 && Output.FailedErrno == 0) {
            Output.FailedErrno = errno;
        }
    }
    Output.Count = 0;
}

void Append(std::string_view AText) noexcept {
    while (!AText.empty()) {
        const std::size_t count = std::min(AText.size(), OutputBufferSize - Output.Count);
        std::memcpy(Output.Bytes + Output.Count, AText.data(), count);
        Output.Count += count;
        AText.remove_prefix(count);
        if (Output.Count == OutputBufferSize) {
            HandOver();
        }
    }
}

// Ends an operation: flush, then raise the keyboard signal that cut a hand-over short, or else
// report a failed one. A signal that cut nothing is left for the next wait: the text is whole.
void Finish() {
    HandOver();
    const int failed = Output.FailedErrno;
    const bool interrupted = Output.Interrupted;
    Output.FailedErrno = 0;
    Output.Interrupted = false;
    if (interrupted) {
        RaisePendingSignal();
    }
    if (failed != 0) {
        throw EInOutError(failed);
    }
}

void WriteBell(int ADescriptor) noexcept {
    // A terminal paused with Ctrl-S blocks the write until a signal ends it; the next wait
    // then takes the signal.
    const char bell = '\a';
    bool cutShort = false;
    const ssize_t ignored = InterruptibleWrite(ADescriptor, &bell, 1, false, cutShort);
    static_cast<void>(ignored);
}

}  // namespace

void ConsoleWrite(std::string_view AText) {
    Append(AText);
    Finish();
}

void ConsoleWriteLine(std::string_view AText) {
    Append(AText);
    Append("\n");
    Finish();
}

void SoundBell() noexcept {
    if (isatty(2) == 1) {
        WriteBell(2);
    } else if (isatty(1) == 1) {
        WriteBell(1);
    }
}

void SetArguments(int AArgc, char** AArgv) noexcept {
    ArgCount = AArgc;
    ArgValues = AArgv;
}

std::int32_t ArgumentCount() noexcept { return ArgCount > 1 ? ArgCount - 1 : 0; }

std::string ArgumentText(std::int32_t AIndex) {
    if (AIndex < 0 || AIndex >= ArgCount || ArgValues == nullptr || ArgValues[AIndex] == nullptr) {
        return {};
    }
    return ArgValues[AIndex];
}

}  // namespace tarvex
