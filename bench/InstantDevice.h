#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "PseudoTerminal.h"

namespace torvek::bench {

using Clock = std::chrono::steady_clock;

// The device every client of the benchmark talks to, so that a difference between clients is
// the clients' own. One thread serves a pty master with poll/read/write and answers a command
// as soon as its last byte is read: no log, no lock, no allocation between the read and the
// write.
//
// With a baud rate the device plays a real 8N1 line instead: a command arrives when its last
// stop bit would have, and each reply byte becomes readable when its own stop bit is through,
// on a schedule kept against absolute deadlines. The last byte of a reply, which ends the
// client's wait, is written on time by spinning through the last 200 us rather than trusting a
// timer to wake the thread punctually.
class InstantDevice {
 public:
  // Throws std::system_error if the pty or the thread cannot be set up.
  explicit InstantDevice(unsigned baud = 0);
  ~InstantDevice();
  InstantDevice(const InstantDevice&) = delete;
  InstantDevice& operator=(const InstantDevice&) = delete;

  // The slave path clients open.
  const std::string& Path() const { return pty_.SlavePath(); }

  // While silent the device reads every command and answers none.
  void SetSilent(bool silent) { silent_.store(silent, std::memory_order_relaxed); }

  // Commands answered so far.
  std::uint64_t Answered() const { return answered_.load(std::memory_order_relaxed); }

  // Time one byte takes on the line at `baud` (10 bit times), in nanoseconds.
  static std::chrono::nanoseconds ByteTime(unsigned baud);

 private:
  void Run();
  void Take(const char* bytes, std::size_t count, Clock::time_point read_at);
  void Answer(const char* command, Clock::time_point arrived);
  void Send(const char* reply, std::size_t length, Clock::time_point arrived);

  const unsigned baud_;
  torvek::sim::PseudoTerminal pty_;
  // Held open so that the master never sees a hang-up while clients take turns on the slave.
  int slave_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> silent_{false};
  std::atomic<std::uint64_t> answered_{0};

  // Device thread only: the start of a command whose bytes are still coming.
  char pending_[16] = {};
  std::size_t pending_length_ = 0;
  Clock::time_point line_in_free_{};

  std::thread thread_;
};

}  // namespace torvek::bench
