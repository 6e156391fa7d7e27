#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "link/SerialIo.h"

// Asio opens the port non-blocking: a read takes what is there and a write what fits, and
// neither ever waits. The waiting is done here, in ppoll, bounded by the deadline.

namespace TORVEK {
namespace {

timespec TimeLeft(Deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return timespec{0, 0};
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until `fd` is ready for `events` or `deadline` has passed. Once the deadline has
// passed the port is still looked at once, without waiting.
Wait WaitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    const timespec left = TimeLeft(deadline);
    pollfd watched{fd, events, 0};
    const int ready = ::ppoll(&watched, 1, &left, nullptr);
    if (ready > 0) {
      return Wait::kReady;  // an error or hang-up too: the read or write that follows reports it
    }
    if (ready < 0 && errno != EINTR) {
      return Wait::kFailed;
    }
    if (ready == 0 && left.tv_sec == 0 && left.tv_nsec == 0) {
      return Wait::kTimedOut;
    }
  }
}

}  // namespace

bool WriteCommand(asio::serial_port& port, const std::string& command, Deadline deadline) {
  const int fd = port.native_handle();
  for (;;) {
    const bool last_look = PastDeadline(deadline);
    const ssize_t n = ::write(fd, command.data(), command.size());
    if (n >= 0) {
      // A device that gets part of a command answers nothing that would be about this one.
      return static_cast<std::size_t>(n) == command.size();
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return false;
    }
    // No room in the port's output: wait for some, then try again; after the deadline, once.
    if (last_look || WaitFor(fd, POLLOUT, deadline) == Wait::kFailed) {
      return false;
    }
  }
}

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received, Deadline deadline) {
  const int fd = port.native_handle();
  char chunk[256];
  for (;;) {
    // Past the deadline, what is there is read once more, and no more: a device that keeps
    // sending must not keep the caller.
    const bool last_look = PastDeadline(deadline);
    switch (WaitFor(fd, POLLIN, deadline)) {
      case Wait::kTimedOut:
        return LineEnd::kTimedOut;
      case Wait::kFailed:
        return LineEnd::kPortFailed;
      case Wait::kReady:
        break;
    }
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      const std::size_t before = received.size();
      received.append(chunk, static_cast<std::size_t>(n));
      if (HoldsLineEnd(received, before)) {
        return LineEnd::kComplete;
      }
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      // End of file or an error (EIO once the other end of the line has gone).
      return LineEnd::kPortFailed;
    }
    if (last_look) {
      return LineEnd::kTimedOut;
    }
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::tcflush(port.native_handle(), TCIFLUSH);
}

}  // namespace TORVEK
