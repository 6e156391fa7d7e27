#include <windows.h>

#include <asio/read_until.hpp>

#include "link/InterruptibleRead.h"

namespace TORVEK {

// Windows ends a synchronous read blocked in another thread when the port is cancelled, so the
// read waits without a deadline of its own and the caller cancels it when the deadline passes.
void InterruptibleRead::ReadLine(asio::streambuf& received) noexcept {
  std::error_code ec;
  asio::read_until(port_, received, "\r\n", ec);
}

bool InterruptibleRead::AwaitEnd(std::future<void>& reading) noexcept {
  if (reading.wait_until(deadline_) != std::future_status::timeout) {
    return true;
  }
  std::error_code ec;
  port_.cancel(ec);
  if (ec) {
    // The blocked read must end whatever happens: a port that cannot be cancelled is closed,
    // and later calls report PortUnavailable when their write fails.
    port_.close(ec);
  }
  reading.wait();
  deadline_passed_ = true;
  return false;
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
}

}  // namespace TORVEK
