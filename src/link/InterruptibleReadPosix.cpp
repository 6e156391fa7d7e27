#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <asio/read_until.hpp>

#include "link/InterruptibleRead.h"

namespace TORVEK {
namespace {

// What asio::read_until reads from: the port's descriptor, and a wake-up pipe that ends the
// wait with operation_aborted.
class WakeableDescriptor {
 public:
  WakeableDescriptor(int port_fd, int wake_fd) : port_fd_(port_fd), wake_fd_(wake_fd) {}

  template <typename MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, std::error_code& ec) {
    asio::mutable_buffer buffer = *asio::buffer_sequence_begin(buffers);
    for (;;) {
      pollfd fds[2] = {{port_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        ec = std::error_code(errno, std::system_category());
        return 0;
      }
      if (fds[1].revents != 0) {
        ec = asio::error::operation_aborted;
        return 0;
      }
      ssize_t n = ::read(port_fd_, buffer.data(), buffer.size());
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
  int wake_fd_;
};

}  // namespace

InterruptibleRead::InterruptibleRead(asio::serial_port& port) : port_(port) {
  int fds[2];
  if (::pipe(fds) != 0) {
    throw std::system_error(errno, std::system_category(), "pipe");
  }
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  wake_read_fd_ = fds[0];
  wake_write_fd_ = fds[1];
}

InterruptibleRead::~InterruptibleRead() {
  ::close(wake_read_fd_);
  ::close(wake_write_fd_);
}

void InterruptibleRead::ReadLine(asio::streambuf& received) noexcept {
  WakeableDescriptor source(port_.native_handle(), wake_read_fd_);
  std::error_code ec;
  asio::read_until(source, received, "\r\n", ec);
}

void InterruptibleRead::Cancel() noexcept {
  const char wake = 1;
  while (::write(wake_write_fd_, &wake, 1) < 0 && errno == EINTR) {
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::tcflush(port.native_handle(), TCIFLUSH);
}

}  // namespace TORVEK
