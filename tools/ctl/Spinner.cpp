#include "Spinner.h"

#include <chrono>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace torvek::ctl {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Shorter waits would only flicker.
constexpr auto kShowAfter = 300ms;
constexpr auto kFrame = 100ms;

}  // namespace

bool Spinner::Enabled() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

Spinner::Spinner(std::string label) : label_(std::move(label)) {
  if (Enabled())
    thread_ = std::thread([this] { Run(); });
}

Spinner::~Spinner() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void Spinner::Run() {
  static constexpr char kFrames[] = "|/-\\";
  const Clock::time_point start = Clock::now();
  bool shown = false;
  std::unique_lock<std::mutex> lock(mu_);
  for (unsigned frame = 0;; ++frame) {
    if (cv_.wait_for(lock, kFrame, [this] { return done_; }))
      break;
    const auto elapsed = Clock::now() - start;
    if (elapsed < kShowAfter)
      continue;
    std::fprintf(stderr, "\r%c %s %5.1f s ", kFrames[frame % 4], label_.c_str(),
                 std::chrono::duration<double>(elapsed).count());
    std::fflush(stderr);
    shown = true;
  }
  if (shown) {
    // Plain spaces rather than an escape sequence, so every console clears it.
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size() + 12), "");
    std::fflush(stderr);
  }
}

}  // namespace torvek::ctl
