#pragma once

#include <torvek/AttenuatorHandler.h>

namespace ctl {

// Ctrl-C while a call waits ends that wait at once (the handler's Cancel), and the command then
// winds down; a second Ctrl-C ends the program on the spot. Both exit with 130, as a shell
// reports a program that Ctrl-C ended.
constexpr int kExitInterrupted = 130;

// From now on Ctrl-C (SIGINT; on Windows also Ctrl-Break) cancels `handler`'s call in progress.
// `handler` must outlive the program's use of it.
void CancelOnInterrupt(TORVEK::AttenuatorHandler& handler);

// Whether Ctrl-C was pressed since CancelOnInterrupt.
bool Interrupted();

}  // namespace ctl
