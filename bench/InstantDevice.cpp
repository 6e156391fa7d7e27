#include "InstantDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace torvek::bench {
namespace {

// Replies as the device sends them; every status is 0 and every position the home position.
constexpr char kStatus[] = "0GS00\r\n";
constexpr char kPosition[] = "0PO00000000\r\n";
constexpr char kHomeOffset[] = "0HO00000000\r\n";
// 360 degrees and 143360 steps per revolution.
constexpr char kIdentification[] = "0IN0E1234ABCD01020304016800023000\r\n";

std::size_t CommandLength(const char* head) {
  if (head[1] == 'm' && head[2] == 'a') {
    return 11;
  }
  if (head[1] == 'h' && head[2] == 'o') {
    return 4;
  }
  return 3;
}

// A timer wakes this thread some tens of microseconds late on a virtual machine; the last byte of a
// reply, which ends the client's wait, is instead written on time by spinning for this long.
constexpr std::chrono::microseconds kSpinBeforeLastByte{200};

void SleepUntil(Clock::time_point deadline) {
  // steady_clock is CLOCK_MONOTONIC on Linux, so its epoch is the one clock_nanosleep uses.
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  const timespec at{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace

std::chrono::nanoseconds InstantDevice::ByteTime(unsigned baud) {
  return std::chrono::nanoseconds(10'000'000'000ULL / baud);
}

InstantDevice::InstantDevice(unsigned baud) : baud_(baud) {
  slave_fd_ = ::open(Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "open pty slave");
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    const int error = errno;
    ::close(slave_fd_);
    throw std::system_error(error, std::generic_category(), "eventfd");
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    ::close(wake_fd_);
    ::close(slave_fd_);
    throw;
  }
}

InstantDevice::~InstantDevice() {
  stop_ = true;
  const std::uint64_t one = 1;
  while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(wake_fd_);
  ::close(slave_fd_);
}

void InstantDevice::Run() {
  if (baud_ != 0) {
    // The default slack of 50 us would make every paced byte late by that much.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  }
  char buffer[256];
  pollfd fds[2] = {{pty_.MasterFd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  while (!stop_.load(std::memory_order_relaxed)) {
    if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
      continue;
    }
    const ssize_t n = ::read(pty_.MasterFd(), buffer, sizeof buffer);
    if (n > 0) {
      Take(buffer, static_cast<std::size_t>(n), Clock::now());
    }
  }
}

void InstantDevice::Take(const char* bytes, std::size_t count, Clock::time_point read_at) {
  // On a real line the bytes the host wrote at once come in one after another.
  Clock::time_point byte_end = read_at;
  if (baud_ != 0) {
    byte_end = std::max(read_at, line_in_free_);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (baud_ != 0) {
      byte_end += ByteTime(baud_);
    }
    pending_[pending_length_++] = bytes[i];
    if (pending_length_ >= 3 && pending_length_ == CommandLength(pending_)) {
      Answer(pending_, byte_end);
      pending_length_ = 0;
    } else if (pending_length_ == sizeof pending_) {
      pending_length_ = 0;
    }
  }
  line_in_free_ = byte_end;
}

void InstantDevice::Answer(const char* command, Clock::time_point arrived) {
  if (silent_.load(std::memory_order_relaxed)) {
    return;
  }
  if (command[1] == 'g' && command[2] == 'p') {
    Send(kPosition, sizeof kPosition - 1, arrived);
  } else if (command[1] == 'g' && command[2] == 'o') {
    Send(kHomeOffset, sizeof kHomeOffset - 1, arrived);
  } else if (command[1] == 'i' && command[2] == 'n') {
    Send(kIdentification, sizeof kIdentification - 1, arrived);
  } else if (command[1] == 'm' || command[1] == 'h') {
    Send(kPosition, sizeof kPosition - 1, arrived);
  } else {
    Send(kStatus, sizeof kStatus - 1, arrived);
  }
  answered_.fetch_add(1, std::memory_order_relaxed);
}

void InstantDevice::Send(const char* reply, std::size_t length, Clock::time_point arrived) {
  if (baud_ == 0) {
    std::size_t done = 0;
    while (done < length) {
      const ssize_t n = ::write(pty_.MasterFd(), reply + done, length - done);
      if (n <= 0 && errno != EINTR) {
        return;  // the slave's queue is full: nobody reads, so nobody misses the rest
      }
      done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return;
  }
  Clock::time_point due = arrived;
  for (std::size_t i = 0; i < length; ++i) {
    due += ByteTime(baud_);
    if (i + 1 < length) {
      SleepUntil(due);
    } else {
      SleepUntil(due - kSpinBeforeLastByte);
      while (Clock::now() < due) {
      }
    }
    while (::write(pty_.MasterFd(), reply + i, 1) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace torvek::bench
