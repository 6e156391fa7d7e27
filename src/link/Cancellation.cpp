#include "link/Cancellation.h"

namespace TORVEK {

void Cancellation::BeginCall() noexcept {
  calls_ += 1;
  state_.store(calls_ << 1, std::memory_order_release);
}

void Cancellation::EndCall() noexcept {
  // A request raised the signal: take it back, or the next call's first wait would wake for
  // nothing. One raised after this point (its request was made just before the call ended)
  // wakes that wait once, and the wait finds no request of its own call and goes on.
  if ((state_.exchange(0, std::memory_order_acq_rel) & kRequested) != 0) {
    signal_.Clear();
  }
}

void Cancellation::Request() noexcept {
  std::uint64_t call = state_.load(std::memory_order_acquire);
  if (call == 0 || (call & kRequested) != 0) {
    return;
  }
  // Fails only if that call has ended in the meantime: then there is nothing to cancel.
  if (state_.compare_exchange_strong(call, call | kRequested, std::memory_order_acq_rel)) {
    signal_.Raise();
  }
}

}  // namespace TORVEK
