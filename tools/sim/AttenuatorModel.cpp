#include "AttenuatorModel.h"

#include <algorithm>
#include <cstdlib>

namespace torvek::sim {
namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The controller takes the eight target digits in either case and nothing else.
bool ParseTarget(const std::string& digits, std::int32_t* target) {
  if (digits.size() != 8)
    return false;
  for (char c : digits) {
    if (!IsHexDigit(c))
      return false;
  }
  *target = static_cast<std::int32_t>(std::strtoul(digits.c_str(), nullptr, 16));
  return true;
}

// A run of centuries stands for "never" and must not wrap round the clock.
AttenuatorModel::Clock::time_point After(AttenuatorModel::Clock::time_point start,
                                         std::chrono::microseconds duration) {
  const auto room = std::chrono::duration_cast<std::chrono::microseconds>(
      AttenuatorModel::Clock::time_point::max() - start);
  return duration >= room ? AttenuatorModel::Clock::time_point::max() : start + duration;
}

}  // namespace

AttenuatorModel::AttenuatorModel(DeviceConfig config, std::function<Clock::time_point()> now)
    : config_(std::move(config)), now_(std::move(now)), position_(config_.start_position) {}

std::int32_t AttenuatorModel::Position() const {
  std::lock_guard<std::mutex> lock(mu_);
  return position_;
}

void AttenuatorModel::PowerCycle() {
  std::lock_guard<std::mutex> lock(mu_);
  position_ = config_.start_position;
  motion_.reset();
}

bool AttenuatorModel::Moving(Clock::time_point when) const {
  return motion_ && when < motion_->end;
}

// The mount turns at the configured speed from the start on; the step it has reached is counted
// toward the target and never past it.
std::int32_t AttenuatorModel::Reached(const Motion& motion, Clock::time_point when) const {
  const std::int64_t elapsed_us =
      std::chrono::duration_cast<std::chrono::microseconds>(when - motion.start).count();
  const std::int64_t distance = std::llabs(static_cast<std::int64_t>(motion.to) - motion.from);
  const std::int64_t steps =
      std::min<std::int64_t>(distance, std::max<std::int64_t>(0, elapsed_us) *
                                           static_cast<std::int64_t>(config_.speed) / 1'000'000);
  return static_cast<std::int32_t>(motion.to >= motion.from ? motion.from + steps
                                                            : motion.from - steps);
}

std::optional<Action> AttenuatorModel::OnCommandDuring(const std::string& command) {
  if (command.size() != 3 || command[0] != config_.address || command.compare(1, 2, "st") != 0)
    return std::nullopt;
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = now_();
  if (!Moving(now))
    return std::nullopt;
  const Motion motion = *motion_;
  motion_.reset();
  if (!motion.reports_position)
    return Action::Reply(StatusFrame(0, config_.address));
  position_ = Reached(motion, now);
  return Action::Reply(PositionFrame(position_, config_.address));
}

void AttenuatorModel::OnUnplug() {
  Halt();
}

void AttenuatorModel::Halt() {
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = now_();
  if (Moving(now))
    position_ = Reached(*motion_, now);
  motion_.reset();
}

std::chrono::microseconds AttenuatorModel::TravelTime(std::int32_t from, std::int32_t to) const {
  if (config_.speed == 0)
    return std::chrono::microseconds(0);
  const std::int64_t distance = std::llabs(static_cast<std::int64_t>(to) - from);
  return std::chrono::microseconds(distance * 1'000'000 / config_.speed);
}

Action AttenuatorModel::Move(std::int32_t target) {
  std::chrono::microseconds travel;
  {
    std::lock_guard<std::mutex> lock(mu_);
    travel = TravelTime(position_, target);
    const Clock::time_point now = now_();
    motion_ = Motion{now, After(now, travel), position_, target, true};
    position_ = target;
  }
  return Action::Fragments({Chunk{travel, PositionFrame(target, config_.address)}});
}

Action AttenuatorModel::Run(std::chrono::milliseconds duration, const std::string& reply) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Clock::time_point now = now_();
    motion_ = Motion{now, After(now, InMicroseconds(duration)), position_, position_, false};
  }
  return Action::Late(reply, duration);
}

Action AttenuatorModel::OnCommand(const std::string& command) {
  if (command.empty() || command[0] != config_.address)
    return Action::Silence();
  return Reply(command);
}

Action AttenuatorModel::Reply(const std::string& command) {
  const char a = config_.address;
  const std::string op = command.substr(1, 2);
  const std::string argument = command.substr(3);
  if (op == "ma") {
    std::int32_t target = 0;
    if (!ParseTarget(argument, &target))
      return Action::Reply(StatusFrame(kBadArgumentStatus, a));
    return Move(target);
  }
  if (op == "ho")
    return argument == "0" ? Move(0) : Action::Reply(StatusFrame(kBadArgumentStatus, a));
  if (!argument.empty())
    return Action::Reply(StatusFrame(kUnknownCommandStatus, a));
  if (op == "gs")
    return Action::Reply(StatusFrame(config_.status_code, a));
  if (op == "gp")
    return Action::Reply(PositionFrame(Position(), a));
  if (op == "go")
    return Action::Reply(HomeOffsetFrame(config_.home_offset, a));
  if (op == "in")
    return Action::Reply(InfoFrame(config_.identity, a));
  // A stop that reaches the device here found no reply of a motion waiting to go out (none, or
  // one lost on the line): the mount still stops where it is.
  if (op == "st") {
    Halt();
    return Action::Reply(StatusFrame(0, a));
  }
  // Both routines sweep the mount and bring it back to where it stood.
  if (op == "om")
    return Run(config_.optimize_time, StatusFrame(0, a));
  if (op == "cm")
    return Run(config_.clean_time, StatusFrame(0, a));
  return Action::Reply(StatusFrame(kUnknownCommandStatus, a));
}

}  // namespace torvek::sim
