#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
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
      return static_cast<std::size_t>(n) == command.size() ? WriteEnd::kWritten
                                                           : WriteEnd::kStalled;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return WriteEnd::kGone;  // EIO once the line has hung up or the adapter has gone
    }
    // No room in the port's output: wait for some, then try again; after the deadline, once.
    if (last_look) {
      return WriteEnd::kStalled;
    }
    switch (WaitFor(fd, POLLOUT, deadline, cancellation)) {
      case Wait::kFailed:
        return WriteEnd::kGone;
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
        return LineEnd::kPortGone;
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
      // End of file or an error: EIO once the other end of the line has hung up, EIO or
      // ENODEV once a USB adapter has been unplugged. Nothing more will come.
      return LineEnd::kPortGone;
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

ConnectResult OpenRefusal(const std::error_code& error) {
  switch (error.value()) {
    case ENOENT:
    case ENOTDIR:
    // A device node without its hardware, or a pseudo-terminal whose other side has closed.
    case ENXIO:
    case ENODEV:
    case EIO:
      return ConnectResult::NoSuchPort;
    case EACCES:
    case EPERM:
      return ConnectResult::AccessDenied;
    case EBUSY:
      return ConnectResult::PortBusy;
    // Opening a port sets it up as a terminal; a file, a directory or /dev/null is none.
    case ENOTTY:
    case EISDIR:
    case EINVAL:
      return ConnectResult::NotASerialPort;
    default:
      return ConnectResult::PortUnavailable;
  }
}

std::string RequestLowLatency(asio::serial_port& port) {
#ifdef __linux__
  const int fd = port.native_handle();
  serial_struct settings{};
  if (::ioctl(fd, TIOCGSERIAL, &settings) != 0) {
    return std::string("not offered by the driver (") + std::strerror(errno) + ")";
  }
  if ((settings.flags & ASYNC_LOW_LATENCY) != 0) {
    return "on";
  }
  settings.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &settings) != 0) {
    return std::string("refused by the driver (") + std::strerror(errno) + ")";
  }
  // Some drivers take the request and ignore the flag: believe only what reads back.
  serial_struct now{};
  if (::ioctl(fd, TIOCGSERIAL, &now) != 0 || (now.flags & ASYNC_LOW_LATENCY) == 0) {
    return "ignored by the driver";
  }
  return "on (was off)";
#else
  (void)port;
  return "not offered on this system";
#endif
}

bool PortHasGone(asio::serial_port& port) {
  pollfd watched{port.native_handle(), POLLIN, 0};
  if (::poll(&watched, 1, 0) < 0) {
    return false;
  }
  return (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace TORVEK
