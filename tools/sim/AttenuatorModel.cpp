#include "AttenuatorModel.h"

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

}  // namespace

AttenuatorModel::AttenuatorModel(DeviceConfig config)
    : config_(std::move(config)), position_(config_.start_position) {}

std::int32_t AttenuatorModel::Position() const {
  std::lock_guard<std::mutex> lock(mu_);
  return position_;
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
    position_ = target;
  }
  return Action::Fragments({Chunk{travel, PositionFrame(target, config_.address)}});
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
  if (op == "st")
    return Action::Reply(StatusFrame(0, a));
  // Both routines sweep the mount and bring it back to where it stood.
  if (op == "om")
    return Action::Late(StatusFrame(0, a), config_.optimize_time);
  if (op == "cm")
    return Action::Late(StatusFrame(0, a), config_.clean_time);
  return Action::Reply(StatusFrame(kUnknownCommandStatus, a));
}

}  // namespace torvek::sim
