#pragma once

#include <asio/serial_port.hpp>
#include <asio/streambuf.hpp>

// The two things the command transaction needs of the platform and that Asio does not give
// the same way everywhere: ending a blocking read from another thread, and discarding input.
//
// On Windows the port's own cancel() ends a synchronous read blocked in another thread. On
// Linux it does not (a synchronous read sits in poll() and cancel() reaches only asynchronous
// operations), so there the read waits on the port and on a wake-up pipe of its own.

namespace TORVEK {

// One read of one reply line, made for one transaction and dropped with it. A wake-up that
// arrives after the line was complete therefore cannot reach the next transaction's read.
class InterruptibleRead {
 public:
  // Throws std::system_error when the wake-up cannot be set up.
  explicit InterruptibleRead(asio::serial_port& port);
  ~InterruptibleRead();

  InterruptibleRead(const InterruptibleRead&) = delete;
  InterruptibleRead& operator=(const InterruptibleRead&) = delete;

  // On the reading thread: appends to `received` until it holds CR LF, the port fails or
  // Cancel() is called. Never throws.
  void ReadLine(asio::streambuf& received) noexcept;

  // On any other thread: ends a ReadLine that is blocked, or makes the next one end at once.
  void Cancel() noexcept;

 private:
  asio::serial_port& port_;
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
};

// Discards every byte the port has received and not yet been read.
void PurgeInput(asio::serial_port& port) noexcept;

}  // namespace TORVEK
