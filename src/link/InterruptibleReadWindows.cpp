#include <windows.h>

#include <asio/read_until.hpp>

#include "link/InterruptibleRead.h"

namespace TORVEK {

// Windows ends a synchronous read blocked in another thread when the port is cancelled, so
// no wake-up of our own is needed here.
InterruptibleRead::InterruptibleRead(asio::serial_port& port) : port_(port) {}

InterruptibleRead::~InterruptibleRead() = default;

void InterruptibleRead::ReadLine(asio::streambuf& received) noexcept {
  std::error_code ec;
  asio::read_until(port_, received, "\r\n", ec);
}

void InterruptibleRead::Cancel() noexcept {
  std::error_code ec;
  port_.cancel(ec);
  if (ec) {
    // The blocked read must end whatever happens: a port that cannot be cancelled is closed,
    // and later calls report PortUnavailable when their write fails.
    port_.close(ec);
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::PurgeComm(port.native_handle(), PURGE_RXCLEAR);
}

}  // namespace TORVEK
