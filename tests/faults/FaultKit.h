#pragma once

// What the fault, soak and load tests share: the public operations as data, the values the
// caller's variables hold before each call, and the replies of a well-behaved device.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Records.h"
#include "torvek/AttenuatorHandler.h"

namespace torvek_fault {

// The frame a command is answered with.
enum class Frame { kStatus, kPosition, kHomeOffset, kInfo };
Frame FrameFor(const std::string& command);

using torvek_test::SentinelInfo;

// The caller's variables, filled with values no reply can produce, so that a call which
// delivers nothing must leave them exactly so.
struct Outputs {
  int steps = -123456789;
  float degrees = -9999.5f;
  float transmittance = -7.25f;
  TORVEK::MotorInfo info = SentinelInfo();
};

// Exact comparison; floats compare by their bits, so NaN equals NaN and -0 differs from 0.
bool SameOutputs(const Outputs& a, const Outputs& b);
std::string Describe(const Outputs& outputs);

// What GetMotorInfo writes into home_offset_text when no home offset arrived.
inline const std::string kNoHomeOffsetText = "0.000000";

// One public operation with fixed, valid arguments, as the fault suite drives it.
struct Operation {
  std::string name;
  // What reaches the device, in order.
  std::vector<std::string> commands;
  // Calls the operation; the time-out applies to each of its requests.
  std::function<TORVEK::AttenuatorStatus(TORVEK::AttenuatorHandler&, Outputs&, int)> call;
  // The outputs after the device answered every command with GoodReply().
  std::function<void(Outputs&)> deliver;
  // GetMotorInfo writes home_offset_text whatever happens.
  bool always_writes_home_offset_text = false;

  // The time-out to pass so that each request gets `per_request_ms`.
  int TimeoutFor(int per_request_ms) const {
    return per_request_ms * static_cast<int>(commands.size());
  }
  // The outputs after a call that delivered nothing.
  Outputs Untouched() const;
  // The outputs after a call that delivered everything.
  Outputs Delivered() const;
};

// Every public device operation, each with arguments that make it send its command(s).
const std::vector<Operation>& AllOperations();

// The position every good position reply carries: 90 degrees on the default scale, which the
// transmittance operations use with min_angle 0 and angle_span 90, so transmittance 1.
inline constexpr std::int32_t kGoodSteps = 35840;
// The home offset of a good home-offset reply: 16 steps, "0.040179" degrees.
inline constexpr std::int32_t kGoodHomeOffsetSteps = 16;

// The reply a well-behaved device sends to `command`.
std::string GoodReply(const std::string& command);

// The result GetMotorInfo makes of its two requests: Ok when both are Ok, else the smaller.
int MergedInfoResult(int info_result, int offset_result);

// Connects, trying up to three times. Connect waits a fixed 100 ms for the identification, and
// on a machine whose cores are all busy with other builds the simulated device's thread can be
// stalled longer than that. These tests are about other things; `refusals`, when given, counts
// such refusals so that they are reported rather than hidden.
bool ConnectPatiently(TORVEK::AttenuatorHandler& handler, const std::string& port,
                      int* refusals = nullptr);

// Polls `condition` until it holds or `limit` has passed; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace torvek_fault
