#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
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
// command that arrives during a motion waits until the motion has ended and its reply is out, so a
// stop finds the mount already standing. Commands for another address are ignored, as on a bus.
class AttenuatorModel : public Responder {
 public:
  explicit AttenuatorModel(DeviceConfig config = {});

  Action OnCommand(const std::string& command) override;

  // Where the mount is, or will be once the motion in progress ends. Thread-safe.
  std::int32_t Position() const;
  const DeviceConfig& Config() const { return config_; }

 private:
  Action Move(std::int32_t target);
  Action Reply(const std::string& command);
  std::chrono::microseconds TravelTime(std::int32_t from, std::int32_t to) const;

  const DeviceConfig config_;
  mutable std::mutex mu_;
  std::int32_t position_;
};

}  // namespace torvek::sim
