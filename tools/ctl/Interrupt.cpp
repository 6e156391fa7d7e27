#include "Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>
#endif

namespace torvek::ctl {
namespace {

std::atomic<TORVEK::AttenuatorHandler*> g_handler{nullptr};
std::atomic<int> g_presses{0};

// Who writes the run's last output: the program (its report) or a second Ctrl-C (the last
// words); whoever comes first, and only that one.
enum Writer : int { kNobodyYet, kProgram, kLastWords };
std::atomic<int> g_writer{kNobodyYet};
// The program is writing its output now.
std::atomic<bool> g_writing{false};
// Set once by SetLastWords, before any Ctrl-C can matter; null when there are none.
std::atomic<const std::string*> g_last_words{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<void*>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

void Pause() {
#ifdef _WIN32
  ::Sleep(1);
#else
  const timespec pause{0, 1000000};
  ::nanosleep(&pause, nullptr);
#endif
}

// With the system's own call: stdio's buffers are not for a signal handler.
void WriteAll(const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
#ifdef _WIN32
    const int written = ::_write(1, data, static_cast<unsigned>(left));
#else
    const ssize_t written = ::write(STDOUT_FILENO, data, left);
#endif
    if (written <= 0)
      return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

// The second press: the last words, unless the program's own output came first, in which case
// that is let out whole. Then the program ends.
[[noreturn]] void EndNow() {
  const std::string* words = g_last_words.load();
  int writer = kNobodyYet;
  if (words != nullptr && g_writer.compare_exchange_strong(writer, kLastWords))
    WriteAll(*words);
  else
    while (g_writing.load())
      Pause();
#ifdef _WIN32
  ::ExitProcess(kExitInterrupted);
#else
  ::_exit(kExitInterrupted);
#endif
}

// Returns whether the program goes on: the first press cancels, the second ends everything.
bool OnInterrupt() {
  if (g_presses.fetch_add(1) > 0)
    return false;
  if (TORVEK::AttenuatorHandler* handler = g_handler.load())
    handler->Cancel();
  return true;
}

#ifdef _WIN32
// Runs on a thread of its own.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    return FALSE;
  if (!OnInterrupt())
    EndNow();
  return TRUE;
}
#else
extern "C" void OnSignal(int) {
  if (!OnInterrupt())
    EndNow();
}

// The main thread holds SIGINT back while it writes its output, so that the handler never
// waits on the thread it interrupted; a press then lands on another thread (the simulator's),
// or waits until the output is out.
void MaskInterrupt(int how) {
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  ::pthread_sigmask(how, &interrupt, nullptr);
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

void SetLastWords(std::string line) {
  static std::string words;
  words = std::move(line);
  g_last_words.store(&words);
}

FinalOutput::FinalOutput() {
#ifndef _WIN32
  MaskInterrupt(SIG_BLOCK);
#endif
  g_writing.store(true);
  int writer = kNobodyYet;
  if (!g_writer.compare_exchange_strong(writer, kProgram) && writer == kLastWords) {
    // A second press is writing the last words and ends the program.
    g_writing.store(false);
    for (;;)
      Pause();
  }
}

FinalOutput::~FinalOutput() {
  g_writing.store(false);
#ifndef _WIN32
  MaskInterrupt(SIG_UNBLOCK);
#endif
}

}  // namespace torvek::ctl
