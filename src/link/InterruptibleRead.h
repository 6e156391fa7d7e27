#pragma once

#include <chrono>
#include <future>

#include <asio/serial_port.hpp>
#include <asio/streambuf.hpp>

// The two things the command transaction needs of the platform and that Asio does not give
// the same way everywhere: ending a blocking read at the time-out, and discarding input.
//
// On Windows the port's own cancel() ends a synchronous read blocked in another thread, so the
// caller waits until the deadline and then cancels. On Linux it does not (a synchronous read
// sits in poll() and cancel() reaches only asynchronous operations), so there the read itself
// keeps the deadline: it waits for the port with the time left and gives up when none is left.
// The caller then only has to wait for the reading task to end, which costs one wake-up of the
// calling thread instead of two, and no wake-up descriptor has to be made for every call.

namespace TORVEK {

using ReadClock = std::chrono::steady_clock;

// One read of one reply line, made for one transaction and dropped with it. Nothing of it
// outlives the transaction, so a read that ended late cannot reach the next transaction.
class InterruptibleRead {
 public:
  InterruptibleRead(asio::serial_port& port, ReadClock::time_point deadline)
      : port_(port), deadline_(deadline) {}

  InterruptibleRead(const InterruptibleRead&) = delete;
  InterruptibleRead& operator=(const InterruptibleRead&) = delete;

  // On the reading thread: appends to `received` until it holds CR LF, the port fails, or the
  // read is ended at the deadline. Never throws.
  void ReadLine(asio::streambuf& received) noexcept;

  // On the calling thread, with `reading` the task that runs ReadLine: returns once that task
  // has ended, which is at the deadline at the latest. True if the read ended by itself before
  // the deadline (a whole line, or a failed port); false if the deadline ended it.
  bool AwaitEnd(std::future<void>& reading) noexcept;

 private:
  asio::serial_port& port_;
  const ReadClock::time_point deadline_;
  // Written by the reading thread only; read after the task has ended.
  bool deadline_passed_ = false;
};

// Discards every byte the port has received and not yet been read.
void PurgeInput(asio::serial_port& port) noexcept;

}  // namespace TORVEK
