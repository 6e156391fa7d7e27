#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <system_error>

#include "link/SerialIo.h"

// Asio opens the port non-blocking: a read takes what is there and a write what fits, and
// neither ever waits. The waiting is done here, in ppoll, bounded by the deadline and watching
// the handler's cancel signal beside the port.

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

enum class Wait { kReady, kTimedOut, kFailed, kCancelled };

// Waits until `fd` is ready for `events`, the call is cancelled or `deadline` has passed. Once
// the deadline has passed the port is still looked at once, without waiting. `fd` -1 waits for
// the cancel signal alone.
Wait WaitFor(int fd, short events, Deadline deadline, Cancellation& cancellation) {
  CancelSignal& signal = cancellation.Signal();
  for (;;) {
    const timespec left = TimeLeft(deadline);
    pollfd watched[2] = {{signal.Handle(), POLLIN, 0}, {fd, events, 0}};
    const int ready = ::ppoll(watched, fd < 0 ? 1 : 2, &left, nullptr);
    if (ready > 0 && watched[0].revents != 0) {
      // Cleared before the look at the request: a request made after the look raises the
      // signal again, so none is missed. A signal raised for a call that has ended is
      // cleared here and the wait goes on.
      signal.Clear();
      if (cancellation.Requested()) {
        return Wait::kCancelled;
      }
      if (watched[1].revents == 0) {
        continue;
      }
    }
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

CancelSignal::CancelSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
}

CancelSignal::~CancelSignal() {
  ::close(fd_);
}

void CancelSignal::Raise() noexcept {
  const int saved = errno;  // a signal handler must leave errno as it found it
  const std::uint64_t one = 1;
  // Only fails when the counter is about to overflow, and then it is raised already.
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  errno = saved;
}

void CancelSignal::Clear() noexcept {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
}

WriteEnd WriteCommand(asio::serial_port& port, const std::string& command, Deadline deadline,
                      Cancellation& cancellation) {
  const int fd = port.native_handle();
  for (;;) {
    const bool last_look = PastDeadline(deadline);
    const ssize_t n = ::write(fd, command.data(), command.size());
    if (n >= 0) {
      // A device that gets part of a command answers nothing that would be about this one.
      return static_cast<std::size_t>(n) == command.size() ? WriteEnd::kWritten : WriteEnd::kFailed;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return WriteEnd::kFailed;
    }
    // No room in the port's output: wait for some, then try again; after the deadline, once.
    if (last_look) {
      return WriteEnd::kFailed;
    }
    switch (WaitFor(fd, POLLOUT, deadline, cancellation)) {
      case Wait::kFailed:
        return WriteEnd::kFailed;
      case Wait::kCancelled:
        return WriteEnd::kCancelled;
      case Wait::kReady:
      case Wait::kTimedOut:
        break;
    }
  }
}

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received, Deadline deadline,
                      Cancellation& cancellation) {
  const int fd = port.native_handle();
  char chunk[256];
  for (;;) {
    // Past the deadline, what is there is read once more, and no more: a device that keeps
    // sending must not keep the caller.
    const bool last_look = PastDeadline(deadline);
    switch (WaitFor(fd, POLLIN, deadline, cancellation)) {
      case Wait::kTimedOut:
        return LineEnd::kTimedOut;
      case Wait::kFailed:
        return LineEnd::kPortFailed;
      case Wait::kCancelled:
        return LineEnd::kCancelled;
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

bool CancelledBefore(Deadline deadline, Cancellation& cancellation) {
  return WaitFor(-1, 0, deadline, cancellation) == Wait::kCancelled;
}

std::string TakePending(asio::serial_port& port) {
  std::string pending;
  char chunk[256];
  for (;;) {
    const ssize_t n = ::read(port.native_handle(), chunk, sizeof chunk);
    if (n > 0) {
      pending.append(chunk, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return pending;  // nothing more (EAGAIN), or the line has gone: the write will tell
    }
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::tcflush(port.native_handle(), TCIFLUSH);
}

}  // namespace TORVEK
