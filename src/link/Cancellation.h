#pragma once

#include <atomic>
#include <cstdint>

// Cutting short the wait of the call in progress on one handler, from another thread or from a
// signal handler, without the handler's lock (the waiting call holds it).

namespace TORVEK {

// The platform's wake-up that the waits of SerialIo.h watch beside the port: an eventfd on
// Linux (SerialIoPosix.cpp), a manual-reset event on Windows (SerialIoWindows.cpp). It lives as
// long as its handler, so that a Cancel racing a Disconnect never meets a closed descriptor.
class CancelSignal {
 public:
  // Throws std::system_error when the system has no descriptor or event to give.
  CancelSignal();
  ~CancelSignal();
  CancelSignal(const CancelSignal&) = delete;
  CancelSignal& operator=(const CancelSignal&) = delete;

  // Wakes the wait. Async-signal-safe.
  void Raise() noexcept;
  // Takes back every Raise made so far.
  void Clear() noexcept;

#ifdef _WIN32
  void* Handle() const noexcept {
    return handle_;
  }

 private:
  void* handle_;
#else
  int Handle() const noexcept {
    return fd_;
  }

 private:
  int fd_;
#endif
};

// Which call a Cancel belongs to. A Cancel ends the call that is in progress when it is made,
// and only that one: made between calls it does nothing, and one that lands while its call is
// returning never reaches the next (each call has its own number, and a request names it).
class Cancellation {
 public:
  // At the start and the end of every public call, under the handler's lock.
  void BeginCall() noexcept;
  void EndCall() noexcept;

  // Whether the call in progress was asked to stop.
  bool Requested() const noexcept {
    return (state_.load(std::memory_order_acquire) & kRequested) != 0;
  }

  // Asks the call in progress, if any, to stop. Any thread; async-signal-safe.
  void Request() noexcept;

  CancelSignal& Signal() noexcept { return signal_; }

 private:
  static constexpr std::uint64_t kRequested = 1;
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
                "a signal handler may only touch lock-free atomics");

  // 0 between calls; during one, its number times two, plus kRequested once it is asked to stop.
  std::atomic<std::uint64_t> state_{0};
  std::uint64_t calls_ = 0;  // only under the handler's lock
  CancelSignal signal_;
};

}  // namespace TORVEK
