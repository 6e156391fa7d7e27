#include "DeviceServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace torvek::sim {
namespace {

using namespace std::chrono_literals;

// With the slave closed the master sits in POLLHUP, so poll cannot wait for the host to return;
// we look again this often instead of spinning.
constexpr Clock::duration kReopenCheck = 1ms;
// Longest single poll; the wake fd makes shutdown and hang-up prompt regardless.
constexpr Clock::duration kMaxPoll = 5ms;

thread_local const DeviceServer* t_device = nullptr;

timespec ToTimespec(Clock::duration d) {
  const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// A delay of centuries stands for "never": added to now() as is it would wrap past the clock's
// end into the past and the reply would go out at once.
Clock::time_point DeadlineAfter(std::chrono::microseconds delay) {
  const Clock::time_point now = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::time_point::max() - now);
  if (delay >= room)
    return Clock::time_point::max();
  return now + delay;
}

}  // namespace

DeviceServer::DeviceServer(Responder& responder, Options options)
    : responder_(responder), options_(options) {
  paths_.push_back(pty_.SlavePath());
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    close(wake_fd_);
    throw;
  }
}

DeviceServer::~DeviceServer() {
  stop_ = true;
  Signal();
  thread_.join();
  close(wake_fd_);
}

bool DeviceServer::OnDeviceThread() const {
  return t_device == this;
}

void DeviceServer::Signal() {
  const std::uint64_t one = 1;
  while (write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

Clock::duration DeviceServer::ByteTime(std::uint64_t bytes) const {
  return std::chrono::nanoseconds(bytes * 10'000'000'000ULL / options_.baud);
}

void DeviceServer::Run() {
  t_device = this;
  while (!stop_) {
    if (unplug_requested_) {
      responder_.OnUnplug();
      CloseMaster();
    }
    if (hangup_requested_)
      CloseMaster();
    if (replug_requested_)
      Reopen();
    if (pty_.MasterFd() < 0) {
      // Hung up or unplugged: nothing left to serve, so sleep until stopped or plugged back in.
      // Drain first so a stale request cannot keep the wake fd readable.
      std::uint64_t count;
      const bool drained = read(wake_fd_, &count, sizeof count) == sizeof count;
      pollfd wake{wake_fd_, POLLIN, 0};
      if (!stop_ && !drained)
        poll(&wake, 1, -1);
    } else if (!queue_.empty()) {
      const std::string command = std::move(queue_.front());
      queue_.pop_front();
      Perform(responder_.OnCommand(command), true);
      offered_ = 0;
    } else {
      WaitLine(Clock::now() + kMaxPoll, Until::kCommand);
    }
  }
}

// Commands that arrive during a delay, and those that were already queued behind this one, each
// get one chance to cut it short; what the responder answers instead is not cut short again.
void DeviceServer::Perform(const Action& action, bool may_be_cut_short) {
  offered_ = 0;
  for (const Chunk& chunk : action.chunks) {
    if (chunk.delay_before.count() > 0) {
      const Clock::time_point deadline = DeadlineAfter(chunk.delay_before);
      for (;;) {
        const Wake wake = WaitLine(deadline, may_be_cut_short ? Until::kCommand : Until::kDeadline);
        if (wake == Wake::kAborted)
          return;
        if (wake == Wake::kDeadline)
          break;
        while (offered_ < queue_.size()) {
          std::optional<Action> instead = responder_.OnCommandDuring(queue_[offered_++]);
          if (instead) {
            Perform(*instead, false);
            return;
          }
        }
      }
    }
    if (!chunk.bytes.empty())
      Write(chunk.bytes);
  }
  if (action.hang_up)
    CloseMaster();
}

bool DeviceServer::SendUnsolicited(std::string_view bytes) {
  return Write(bytes);
}

bool DeviceServer::Write(std::string_view bytes) {
  std::lock_guard<std::recursive_mutex> lock(write_mu_);
  if (options_.baud != 0 && line_start_ + ByteTime(line_bytes_) < Clock::now()) {
    line_start_ = Clock::now();  // the line went idle; a new transmission starts now
    line_bytes_ = 0;
  }
  const bool adapter = options_.adapter_latency.count() > 0;
  Clock::time_point first = Clock::now();
  std::size_t done = 0;
  while (done < bytes.size() && HostPresent()) {
    std::size_t length = bytes.size() - done;
    if (options_.baud != 0) {
      if (WaitLine(line_start_ + ByteTime(line_bytes_ + 1), Until::kDeadline) != Wake::kDeadline) {
        break;
      }
      length = 1;
    }
    const std::string_view piece = bytes.substr(done, length);
    std::size_t n = length;
    if (done == 0)
      first = Clock::now();
    if (adapter) {
      Hold(piece);
    } else {
      n = Put(piece, done == 0, first);
    }
    done += n;
    if (n < length)
      break;
    if (options_.baud != 0)
      ++line_bytes_;
  }
  if (!adapter && done > 0 && options_.observer != nullptr)
    options_.observer->OnSent(Sent{Clock::now(), std::string(bytes.substr(0, done)), first});
  return done == bytes.size();
}

// Where the host reads: waits while the host does not read and the slave's queue is full. The
// bytes start a new entry of the sent log or add to the last. Caller holds write_mu_.
std::size_t DeviceServer::Put(std::string_view bytes, bool new_entry, Clock::time_point ready) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n;
    {
      // Logged under the lock the observers take, so whoever has seen the bytes finds them.
      std::lock_guard<std::mutex> log_lock(mu_);
      n = write(pty_.MasterFd(), bytes.data() + done, bytes.size() - done);
      if (n > 0 && options_.keep_log) {
        const std::string_view piece = bytes.substr(done, static_cast<std::size_t>(n));
        if ((new_entry && done == 0) || sent_.empty()) {
          sent_.push_back(Sent{Clock::now(), std::string(piece), ready});
        } else {  // only writers append and they take turns, so the last entry is this chunk's
          sent_.back().when = Clock::now();
          sent_.back().bytes.append(piece);
        }
      }
    }
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (WaitLine(Clock::time_point::max(), Until::kWritable) != Wake::kWritable)
        break;
    } else if (!(n < 0 && errno == EINTR)) {
      break;
    }
  }
  return done;
}

// The adapter takes the bytes off the line; its timer starts with the first byte it holds.
void DeviceServer::Hold(std::string_view bytes) {
  const Clock::time_point now = Clock::now();
  if (held_.empty()) {
    held_since_ = now;
    flush_due_ = (now + options_.adapter_latency).time_since_epoch().count();
  }
  held_.append(bytes);
  while (held_.size() >= kAdapterPacketData && !flushing_)
    Flush(kAdapterPacketData);
}

// Hands the first `count` bytes held to the host, or loses them if no host has the port open.
// What stays behind came off the line now and starts the timer again. Caller holds write_mu_.
void DeviceServer::Flush(std::size_t count) {
  const std::string out = held_.substr(0, count);
  held_.erase(0, count);
  const Clock::time_point ready = held_since_;
  held_since_ = Clock::now();
  flush_due_ = held_.empty() ? kNothingHeld
                             : (held_since_ + options_.adapter_latency).time_since_epoch().count();
  // Waiting for room in the host's queue, the wait must not flush what follows ahead of this.
  flushing_ = true;
  const std::size_t n = HostPresent() ? Put(out, true, ready) : 0;
  flushing_ = false;
  if (n > 0 && options_.observer != nullptr)
    options_.observer->OnSent(Sent{Clock::now(), out.substr(0, n), ready});
}

// From a wait: whoever holds write_mu_ is in a wait of its own and flushes there.
void DeviceServer::FlushIfDue() {
  std::unique_lock<std::recursive_mutex> lock(write_mu_, std::try_to_lock);
  if (lock && !flushing_ && flush_due_ <= Clock::now().time_since_epoch().count())
    Flush(held_.size());
}

// The device thread learns of a new host only on its next look (up to kReopenCheck later), so a
// writer asks the master directly: no POLLHUP means the slave is open. Caller holds write_mu_,
// which also keeps DiscardHostInput()'s own brief open of the slave out of the picture.
bool DeviceServer::HostPresent() {
  if (pty_.MasterFd() < 0)
    return false;
  if (host_open_)
    return true;
  pollfd master{pty_.MasterFd(), 0, 0};
  if (poll(&master, 1, 0) < 0 || (master.revents & POLLHUP))
    return false;
  host_open_ = true;
  return true;
}

// Waits for `until` or the deadline, whichever comes first. On the device thread it keeps reading
// the host meanwhile; other threads (unsolicited writes) only watch for the host going away.
DeviceServer::Wake DeviceServer::WaitLine(Clock::time_point deadline, Until until) {
  const bool device = OnDeviceThread();
  for (;;) {
    if (stop_ || hangup_requested_ || unplug_requested_)
      return Wake::kAborted;
    if (device)
      ReadHost();
    if (until == Until::kCommand && queue_.size() > offered_)
      return Wake::kCommand;
    const bool host_open = host_open_;
    if (until == Until::kWritable && !host_open)
      return Wake::kHostGone;
    Clock::time_point now = Clock::now();
    if (!flushing_ && flush_due_ <= now.time_since_epoch().count()) {
      FlushIfDue();
      now = Clock::now();
    }
    if (now >= deadline)
      return Wake::kDeadline;

    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {pty_.MasterFd(), 0, 0}};
    if (device)
      fds[1].events |= POLLIN;
    if (until == Until::kWritable)
      fds[1].events |= POLLOUT;
    // Only watch the master while the host is there: without it, POLLHUP would never clear.
    const nfds_t count = host_open ? 2 : 1;
    Clock::duration longest = std::min(deadline - now, host_open ? kMaxPoll : kReopenCheck);
    if (!flushing_ && flush_due_ != kNothingHeld)
      longest = std::min(longest, Clock::time_point(Clock::duration(flush_due_)) - now);
    const timespec timeout = ToTimespec(std::max(longest, Clock::duration::zero()));
    if (ppoll(fds, count, &timeout, nullptr) <= 0)
      continue;
    if (count == 2 && (fds[1].revents & POLLHUP)) {
      if (!device)
        return Wake::kHostGone;
      continue;  // the next ReadHost() drains what is left and sees EIO
    }
    if (until == Until::kWritable && (fds[1].revents & POLLOUT))
      return Wake::kWritable;
  }
}

void DeviceServer::ReadHost() {
  char buffer[256];
  for (;;) {
    const ssize_t n = read(pty_.MasterFd(), buffer, sizeof buffer);
    if (n > 0) {
      const Clock::time_point now = Clock::now();
      SetHostOpen(true);
      const std::string_view bytes(buffer, static_cast<std::size_t>(n));
      splitter_.Feed(bytes);
      const std::size_t first_new = queue_.size();
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (options_.keep_log)
          received_.push_back(Received{now, std::string(bytes)});
        while (std::optional<std::string> command = splitter_.Next()) {
          if (options_.keep_log)
            commands_.push_back(*command);
          queue_.push_back(std::move(*command));
        }
        cv_.notify_all();
      }
      if (options_.observer != nullptr) {
        for (std::size_t i = first_new; i < queue_.size(); ++i)
          options_.observer->OnCommand(now, queue_[i]);
      }
      if (static_cast<std::size_t>(n) < sizeof buffer)
        return;
    } else if (n < 0 && errno == EAGAIN) {
      SetHostOpen(true);  // a slave that is open reads as "no data" rather than EIO
      return;
    } else if (!(n < 0 && errno == EINTR)) {
      // EIO: the last slave descriptor is closed; whatever the host wrote before has been read.
      SetHostOpen(false);
      return;
    }
  }
}

void DeviceServer::SetHostOpen(bool open) {
  if (host_open_ == open)
    return;
  if (open) {
    host_open_ = true;
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(write_mu_);
    host_open_ = false;
    pty_.DiscardHostInput();
    held_.clear();
    flush_due_ = kNothingHeld;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ++peer_closes_;
  cv_.notify_all();
}

void DeviceServer::HangUp() {
  if (OnDeviceThread()) {
    CloseMaster();
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (master_closed_)
    return;
  hangup_requested_ = true;
  Signal();
  cv_.wait(lock, [this] { return master_closed_; });
}

void DeviceServer::Unplug() {
  if (OnDeviceThread()) {
    responder_.OnUnplug();
    CloseMaster();
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (master_closed_)
    return;
  unplug_requested_ = true;
  Signal();
  cv_.wait(lock, [this] { return master_closed_; });
}

void DeviceServer::CloseMaster() {
  {
    std::lock_guard<std::recursive_mutex> lock(write_mu_);
    pty_.Close();
    host_open_ = false;
    held_.clear();
    flush_due_ = kNothingHeld;
  }
  queue_.clear();
  splitter_.Clear();
  hangup_requested_ = false;
  unplug_requested_ = false;
  std::lock_guard<std::mutex> lock(mu_);
  master_closed_ = true;
  cv_.notify_all();
}

std::string DeviceServer::Replug() {
  if (OnDeviceThread()) {
    Reopen();
  } else {
    std::unique_lock<std::mutex> lock(mu_);
    if (master_closed_) {
      replug_error_ = 0;
      replug_requested_ = true;
      Signal();
      cv_.wait(lock, [this] { return !replug_requested_; });
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (master_closed_)
    throw std::system_error(replug_error_, std::generic_category(), "replug");
  return paths_.back();
}

void DeviceServer::Reopen() {
  int error = 0;
  if (pty_.MasterFd() < 0) {
    std::lock_guard<std::recursive_mutex> lock(write_mu_);
    try {
      pty_.Open();
    } catch (const std::system_error& e) {
      error = e.code().value();
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (pty_.MasterFd() >= 0) {
    if (master_closed_)
      paths_.push_back(pty_.SlavePath());
    master_closed_ = false;
  }
  replug_error_ = error;
  replug_requested_ = false;
  cv_.notify_all();
}

bool DeviceServer::Plugged() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !master_closed_;
}

const std::string& DeviceServer::Path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paths_.back();
}

std::vector<Received> DeviceServer::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

std::string DeviceServer::AllReceived() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string all;
  for (const Received& r : received_)
    all += r.bytes;
  return all;
}

std::vector<std::string> DeviceServer::Commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

std::size_t DeviceServer::CommandCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_.size();
}

bool DeviceServer::WaitForCommands(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return commands_.size() >= n; });
}

std::vector<Sent> DeviceServer::SentLog() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

int DeviceServer::PeerCloseCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return peer_closes_;
}

bool DeviceServer::WaitForPeerClose(std::chrono::milliseconds timeout, int count) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return peer_closes_ >= count; });
}

void DeviceServer::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  received_.clear();
  commands_.clear();
  sent_.clear();
  peer_closes_ = 0;
}

}  // namespace torvek::sim
