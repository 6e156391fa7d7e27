#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <asio/read_until.hpp>

#include "link/InterruptibleRead.h"

namespace TORVEK {
namespace {

// What asio::read_until reads from: the port's descriptor, waited for until the deadline, after
// which it ends the read with timed_out. The port is non-blocking (Asio opens it so), so the
// read() itself never waits.
class DeadlineDescriptor {
 public:
  DeadlineDescriptor(int port_fd, ReadClock::time_point deadline)
      : port_fd_(port_fd), deadline_(deadline) {}

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, std::error_code& ec) {
    asio::mutable_buffer buffer = *asio::buffer_sequence_begin(buffers);
    for (;;) {
      // A deadline already passed still gets one look at what has arrived: a time-out of 0
      // means "do not wait", not "do not read".
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::max(deadline_ - ReadClock::now(), ReadClock::duration::zero()));
      const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                          static_cast<long>(left.count() % 1'000'000'000)};
      pollfd port{port_fd_, POLLIN, 0};
      const int ready = ::ppoll(&port, 1, &wait, nullptr);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        ec = std::error_code(errno, std::system_category());
        return 0;
      }
      if (ready == 0) {
        ec = asio::error::timed_out;
        return 0;
      }
      const ssize_t n = ::read(port_fd_, buffer.data(), buffer.size());
      if (n > 0) {
        ec = std::error_code();
        return static_cast<std::size_t>(n);
      }
      if (n == 0) {
        ec = asio::error::eof;
        return 0;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        continue;
      }
      ec = std::error_code(errno, std::system_category());
      return 0;
    }
  }

 private:
  int port_fd_;
  ReadClock::time_point deadline_;
};

}  // namespace

void InterruptibleRead::ReadLine(asio::streambuf& received) noexcept {
  DeadlineDescriptor source(port_.native_handle(), deadline_);
  std::error_code ec;
  asio::read_until(source, received, "\r\n", ec);
  deadline_passed_ = ec == asio::error::timed_out;
}

bool InterruptibleRead::AwaitEnd(std::future<void>& reading) noexcept {
  // The read ends at the deadline by itself; a timed wait here would only add a second
  // wake-up of this thread (one when the task's result is set, one when its thread is joined).
  reading.wait();
  return !deadline_passed_;
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::tcflush(port.native_handle(), TCIFLUSH);
}

}  // namespace TORVEK
