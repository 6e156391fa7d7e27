#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "Frames.h"
#include "Responder.h"

namespace torvek::sim {

// What a simulated attenuator is and how fast it works. The defaults are the device the library
// expects out of the box: 360 degrees and 143360 steps per revolution.
struct DeviceConfig {
  InfoFields identity{"0E", "1234ABCD", "0102", "03", "04", 360, 143360};
  char address = '0';
  std::int32_t start_position = 0;  // steps
  std::int32_t home_offset = 0;     // steps, reported by "0go"
  int status_code = 0;              // reported by "0gs"
  // Steps per second of a move or a homing run; 0 moves instantly. The default turns the mount
  // half a revolution in one second.
  std::uint32_t speed = 71680;
  std::chrono::milliseconds optimize_time{2000};
  std::chrono::milliseconds clean_time{1500};
};

// Device status codes the model sends for commands it cannot carry out.
constexpr int kUnknownCommandStatus = 0x0A;
constexpr int kBadArgumentStatus = 0x0B;

// The attenuator's controller: keeps the mount position and answers every command with the frame
// the real controller sends, after the time the work takes. It handles one command at a time: a
// command that arrives during a motion waits until the motion has ended and its reply is out; a
// position request then gets where the motion ended. Only a stop is heard during a motion (a move,
// homing, an optimisation or cleaning run): the motion ends there and its reply goes out at once,
// with the position reached for a move or homing; the stop's own status frame follows in its turn.
// Commands for another address are ignored, as on a bus.
class AttenuatorModel : public Responder {
 public:
  using Clock = std::chrono::steady_clock;
  // `now` is the model's clock, which a test may drive by hand.
  explicit AttenuatorModel(DeviceConfig config = {},
                           std::function<Clock::time_point()> now = Clock::now);

  Action OnCommand(const std::string& command) override;
  std::optional<Action> OnCommandDuring(const std::string& command) override;
  // The mount halts where it is; the motion's reply is lost with the line.
  void OnUnplug() override;

  // The device lost its power: the mount counts from the start position again.
  void PowerCycle();

  // Where the mount is, or will be once the motion in progress ends. Thread-safe.
  std::int32_t Position() const;
  const DeviceConfig& Config() const { return config_; }

 private:
  // A move or homing run goes from `from` to `to` at the configured speed; the optimisation and
  // cleaning runs sweep the mount and bring it back, so for them `from` and `to` are the same.
  struct Motion {
    Clock::time_point start;
    Clock::time_point end;
    std::int32_t from;
    std::int32_t to;
    bool reports_position;
  };

  // The mount stops where it is now; the motion's reply, if still owed, is not sent.
  void Halt();
  Action Move(std::int32_t target);
  Action Run(std::chrono::milliseconds duration, const std::string& reply);
  Action Reply(const std::string& command);
  std::chrono::microseconds TravelTime(std::int32_t from, std::int32_t to) const;
  // Caller holds mu_.
  std::int32_t Reached(const Motion& motion, Clock::time_point when) const;
  bool Moving(Clock::time_point when) const;

  const DeviceConfig config_;
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mu_;
  std::int32_t position_;
  std::optional<Motion> motion_;  // the last one, which may still be under way
};

}  // namespace torvek::sim
