#pragma once

#include <asio/serial_port.hpp>
#include <asio/streambuf.hpp>

// The two things the command transaction needs of the platform and that Asio does not give
// the same way everywhere: ending a blocking read from another thread, and discarding input.
//
// Asio's cancel() is no use for either. On Linux it does not reach a synchronous read (that
// sits in poll(); cancel() reaches only asynchronous operations). On Windows it does end a
// blocked read, but only one that has been issued: a cancel that comes first, as it does with
// a time-out of 0, is lost, and the read then waits forever for a silent device. So on both,
// the read waits on the port and on a wake-up of its own that stays set once given: a pipe on
// Linux, an event on Windows.

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
#if defined(_WIN32)
  void* cancel_event_ = nullptr;  // manual-reset event, set by Cancel() and never reset
  void* read_event_ = nullptr;    // signals the end of one overlapped read
#else
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
#endif
};

// Discards every byte the port has received and not yet been read.
void PurgeInput(asio::serial_port& port) noexcept;

}  // namespace TORVEK
