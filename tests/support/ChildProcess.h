#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace tarvex::test {

// How a child ended.
struct TExitStatus {
    bool Exited = false;
    int Code = 0;    // exit status when Exited
    int Signal = 0;  // terminating signal otherwise
};

// What a child run by RunInChild did.
struct TChildRun {
    std::optional<TExitStatus> Status;  // nullopt when there was no child or it had to be killed
    std::string Failure;                // why Status is missing
    std::string Output;                 // everything written on standard output
    std::string Error;                  // everything written on standard error

    // The exit status, or -1 when the child did not exit by itself.
    int ExitCode() const noexcept { return Status && Status->Exited ? Status->Code : -1; }
    bool Succeeded() const noexcept { return ExitCode() == 0; }
};

// Runs ABody in a forked child whose standard output and standard error go to pipes, so what
// it does to the process (locale, environment, namespaces, signal state) stays there. The child
// ends with the status ABody returns, or 125 when ABody throws; ABody may also exec a program,
// which keeps both streams. A child still running after ATimeout is killed with SIGKILL.
TChildRun RunInChild(const std::function<int()>& ABody,
                     std::chrono::milliseconds ATimeout = std::chrono::seconds(30));

}  // namespace tarvex::test
