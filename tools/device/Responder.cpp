#include "Responder.h"

namespace torvek::sim {

std::chrono::microseconds InMicroseconds(std::chrono::milliseconds delay) {
  constexpr auto kLongest =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds::max());
  return delay >= kLongest ? std::chrono::microseconds::max() : std::chrono::microseconds(delay);
}

std::optional<Action> Responder::OnCommandDuring(const std::string&) {
  return std::nullopt;
}

Action Action::Reply(std::string bytes) {
  Action action;
  action.chunks.push_back(Chunk{std::chrono::microseconds(0), std::move(bytes)});
  return action;
}

Action Action::Silence() {
  return Action{};
}

Action Action::Fragments(std::vector<Chunk> chunks) {
  Action action;
  action.chunks = std::move(chunks);
  return action;
}

Action Action::Late(std::string bytes, std::chrono::milliseconds delay) {
  Action action;
  action.chunks.push_back(Chunk{InMicroseconds(delay), std::move(bytes)});
  return action;
}

Action Action::HangUp() {
  Action action;
  action.hang_up = true;
  return action;
}

void ScriptedResponder::Expect(std::string command, Action action) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.push_back(Expectation{std::move(command), std::move(action)});
}

Action ScriptedResponder::OnCommand(const std::string& command) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!script_.empty() && script_.front().command == command) {
    Action action = std::move(script_.front().action);
    script_.pop_front();
    return action;
  }
  unexpected_.push_back(command);
  return Action::Silence();
}

std::vector<std::string> ScriptedResponder::Unexpected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unexpected_;
}

std::vector<std::string> ScriptedResponder::Remaining() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> commands;
  for (const Expectation& e : script_)
    commands.push_back(e.command);
  return commands;
}

}  // namespace torvek::sim
