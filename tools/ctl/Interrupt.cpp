#include "Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace ctl {
namespace {

std::atomic<TORVEK::AttenuatorHandler*> g_handler{nullptr};
std::atomic<int> g_presses{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<void*>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// Returns whether the program goes on: the first press cancels, the second ends everything.
bool OnInterrupt() {
  if (g_presses.fetch_add(1) > 0)
    return false;
  if (TORVEK::AttenuatorHandler* handler = g_handler.load())
    handler->Cancel();
  return true;
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    return FALSE;
  if (!OnInterrupt())
    ::ExitProcess(kExitInterrupted);
  return TRUE;
}
#else
extern "C" void OnSignal(int) {
  if (!OnInterrupt())
    ::_exit(kExitInterrupted);
}
#endif

}  // namespace

void CancelOnInterrupt(TORVEK::AttenuatorHandler& handler) {
  g_handler.store(&handler);
#ifdef _WIN32
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
#endif
}

bool Interrupted() {
  return g_presses.load() > 0;
}

}  // namespace ctl
