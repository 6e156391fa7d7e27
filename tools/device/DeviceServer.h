#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "CommandSplitter.h"
#include "PseudoTerminal.h"
#include "Responder.h"

namespace torvek::sim {

using Clock = std::chrono::steady_clock;

// One read() of bytes the host wrote, stamped right after the read returned.
struct Received {
  Clock::time_point when;
  std::string bytes;
};

// Bytes the device put on the line in one go (a chunk or an unsolicited write), stamped when the
// last of them was written. An entry is listed before the host can read its bytes, and grows as a
// paced chunk goes out. Bytes dropped because the host had the port closed are not listed. With
// an adapter in the line (ServerOptions::adapter_latency) an entry is what the adapter passed on
// in one go, and `ready` is when the first of those bytes reached it; without one, `ready` is when
// the first of them was written.
struct Sent {
  Clock::time_point when;
  std::string bytes;
  Clock::time_point ready{};
};

// Sees the line as it happens, on the thread that moved the bytes; must be quick and must not call
// back into the server.
class LineObserver {
 public:
  virtual ~LineObserver() = default;
  // A whole command, stamped when the read that completed it returned.
  virtual void OnCommand(Clock::time_point when, const std::string& command) = 0;
  virtual void OnSent(const Sent& sent) = 0;
};

struct ServerOptions {
  // 0 hands replies over at once. Otherwise each byte takes 10 bit times (8N1) and becomes readable
  // when its stop bit is through, on a schedule kept against absolute deadlines so it cannot drift.
  unsigned baud = 0;
  LineObserver* observer = nullptr;
  // A device that serves for days must not keep every byte: without the log, Log(), Commands(),
  // SentLog() and WaitForCommands() see nothing.
  bool keep_log = true;
  // A USB serial adapter's latency timer between the line and the host; 0: no adapter, each byte
  // is readable as soon as it is off the line. An adapter gathers what comes off the line and
  // hands it to the host when this long has passed since the first byte it holds arrived, or at
  // once when it holds a full USB packet (64 bytes, 2 of them the adapter's status: 62 of data).
  // It has no idea where a reply ends, so a short reply waits out the whole timer.
  std::chrono::milliseconds adapter_latency{0};
};

// Data bytes in one full-speed USB packet of a serial adapter.
constexpr std::size_t kAdapterPacketData = 62;

// Plays the device on the master side of a pty, on its own thread, so the host can open Path()
// like a serial port.
//
// The device keeps reading while it waits to reply, so Log() and Commands() carry the time each
// command really arrived, and a command that arrives while a reply waits out its delay may cut it
// short (Responder::OnCommandDuring). A host closing the port is noticed and counted; the device
// keeps serving and answers the next host that opens the path. While no host has the port open,
// whatever the device sends is lost, as on a real line, and so is anything the last host left
// unread. A command the host had only half written when it closed stays buffered, since a device
// cannot tell.
class DeviceServer {
 public:
  using Options = ServerOptions;

  // Throws std::system_error if the pty cannot be set up.
  explicit DeviceServer(Responder& responder, Options options = {});
  // Stops promptly, even in the middle of a reply delay, and closes the master.
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // The slave path the host opens (open it with O_NOCTTY: a hang-up sends SIGHUP to a session
  // whose controlling terminal this is); after Replug(), the new one. The reference stays valid
  // as long as the server.
  const std::string& Path() const;

  // Writes at once from any thread, paced like replies. False if not all bytes reached the line.
  bool SendUnsolicited(std::string_view bytes);
  // Closes the master now: the host's reads see end-of-file, its writes fail with EIO, and the
  // path disappears. The device itself goes on as if it had not noticed: it only lost its line.
  // Returns once closed; from another thread that waits for a running responder call.
  void HangUp();
  // The adapter pulled out: the line closes as with HangUp(), the reply the device was waiting to
  // send is lost, and the responder hears of it (Responder::OnUnplug).
  void Unplug();
  // After HangUp() or Unplug(): the device back on a new pty, which it returns (the old path
  // stays gone). Commands and replies then flow as before; the responder keeps its state. When
  // the line is open already, returns its path. Throws std::system_error if no pty can be made.
  std::string Replug();
  // Whether the line is open: false after a hang-up or an unplug, until Replug().
  bool Plugged() const;

  // Observation; thread-safe. Everything below counts from construction or the last ClearLog().
  std::vector<Received> Log() const;
  std::string AllReceived() const;
  std::vector<std::string> Commands() const;
  std::size_t CommandCount() const;
  bool WaitForCommands(std::size_t n, std::chrono::milliseconds timeout) const;
  std::vector<Sent> SentLog() const;
  // How often a host that had the port open closed it. Setting up the pty does not count; a host
  // that opens and closes again within about a millisecond without writing may go unnoticed.
  int PeerCloseCount() const;
  // True as soon as PeerCloseCount() >= count, false if that does not happen within `timeout`.
  bool WaitForPeerClose(std::chrono::milliseconds timeout, int count = 1) const;
  void ClearLog();

 private:
  enum class Until { kDeadline, kWritable, kCommand };
  enum class Wake { kDeadline, kWritable, kCommand, kHostGone, kAborted };

  void Run();
  void Perform(const Action& action, bool may_be_cut_short);
  bool Write(std::string_view bytes);
  std::size_t Put(std::string_view bytes, bool new_entry, Clock::time_point ready);
  void Hold(std::string_view bytes);
  void Flush(std::size_t count);
  void FlushIfDue();
  void Reopen();
  bool HostPresent();
  Wake WaitLine(Clock::time_point deadline, Until until);
  void ReadHost();
  void SetHostOpen(bool open);
  void CloseMaster();
  void Signal();
  bool OnDeviceThread() const;
  Clock::duration ByteTime(std::uint64_t bytes) const;

  Responder& responder_;
  const Options options_;
  PseudoTerminal pty_;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hangup_requested_{false};
  std::atomic<bool> unplug_requested_{false};
  std::atomic<bool> replug_requested_{false};
  std::atomic<bool> host_open_{false};

  // Device thread only.
  CommandSplitter splitter_;
  std::deque<std::string> queue_;
  std::size_t offered_ = 0;  // queued commands that have had their chance to cut a reply short

  // Serialises writes, closing the master and flushing the slave. Recursive because the device
  // thread notices a host hang-up while waiting inside a write.
  std::recursive_mutex write_mu_;
  Clock::time_point line_start_;  // the line has been busy since then...
  std::uint64_t line_bytes_ = 0;  // ...sending this many bytes
  // The adapter's buffer, and when its timer runs out (steady_clock ticks; kNothingHeld while it
  // is empty), readable without the lock so that a wait can see it.
  std::string held_;
  Clock::time_point held_since_;
  std::atomic<bool> flushing_{false};
  static constexpr Clock::rep kNothingHeld = std::numeric_limits<Clock::rep>::max();
  std::atomic<Clock::rep> flush_due_{kNothingHeld};

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<Received> received_;
  std::vector<std::string> commands_;
  std::vector<Sent> sent_;
  int peer_closes_ = 0;
  bool master_closed_ = false;
  std::deque<std::string> paths_;  // every slave path so far, the current one last
  int replug_error_ = 0;           // errno of the last failed Replug

  std::thread thread_;
};

}  // namespace torvek::sim
