#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "link/LineReader.h"

namespace TORVEK {
namespace {

timespec TimeLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return timespec{0, 0};
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

LineEnd ReadLineUntil(asio::serial_port& port, std::string& received,
                      std::chrono::steady_clock::time_point deadline) {
  // Asio opens the port non-blocking, so a read takes what is there and never waits.
  const int fd = port.native_handle();
  char chunk[256];
  for (;;) {
    const timespec left = TimeLeft(deadline);
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::ppoll(&watched, 1, &left, nullptr);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return LineEnd::kPortFailed;
    }
    if (ready == 0) {
      // Nothing readable, and the time left was at most what ppoll waited.
      if (left.tv_sec == 0 && left.tv_nsec == 0) {
        return LineEnd::kTimedOut;
      }
      continue;
    }
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      const std::size_t before = received.size();
      received.append(chunk, static_cast<std::size_t>(n));
      if (HoldsLineEnd(received, before)) {
        return LineEnd::kComplete;
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      continue;
    }
    // End of file or an error (EIO once the other end of the line has gone).
    return LineEnd::kPortFailed;
  }
}

void PurgeInput(asio::serial_port& port) noexcept {
  ::tcflush(port.native_handle(), TCIFLUSH);
}

}  // namespace TORVEK
