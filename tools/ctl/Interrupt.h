#pragma once

#include <string>

#include <torvek/AttenuatorHandler.h>

namespace torvek::ctl {

// Ctrl-C while a call waits ends that wait at once (the handler's Cancel), and the command then
// winds down; a second Ctrl-C ends the program on the spot. Both exit with 130, as a shell
// reports a program that Ctrl-C ended.
constexpr int kExitInterrupted = 130;

// From now on Ctrl-C (SIGINT; on Windows also Ctrl-Break) cancels `handler`'s call in progress.
// `handler` must outlive the program's use of it.
void CancelOnInterrupt(TORVEK::AttenuatorHandler& handler);

// Whether Ctrl-C was pressed since CancelOnInterrupt.
bool Interrupted();

// With --json a script reads one object from stdout however the run ends: `line` (newline
// included) is what a second Ctrl-C writes on stdout before it ends the program, unless the
// program's own object has been written by then (see FinalOutput).
void SetLastWords(std::string line);

// Held while the program writes its final output and flushes it: a second Ctrl-C then neither
// cuts that output short nor adds the last words to it; it ends the program once the output is
// out.
class FinalOutput {
 public:
  FinalOutput();
  ~FinalOutput();
  FinalOutput(const FinalOutput&) = delete;
  FinalOutput& operator=(const FinalOutput&) = delete;
};

}  // namespace torvek::ctl
