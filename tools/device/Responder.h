#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace torvek::sim {

// `delay` in microseconds. Delays of centuries stand for "never": one too long for a count in
// microseconds becomes the longest there is rather than wrapping.
std::chrono::microseconds InMicroseconds(std::chrono::milliseconds delay);

// A piece of a reply: wait `delay_before`, then put `bytes` on the line.
struct Chunk {
  std::chrono::microseconds delay_before{0};
  std::string bytes;
};

// What the device does about one command.
struct Action {
  std::vector<Chunk> chunks;
  bool hang_up = false;  // close the master after the chunks

  static Action Reply(std::string bytes);
  static Action Silence();
  static Action Fragments(std::vector<Chunk> chunks);
  static Action Late(std::string bytes, std::chrono::milliseconds delay);
  static Action HangUp();
};

// Called on the device thread for every complete command, in arrival order. Must not throw: an
// exception leaving the device thread ends the process.
class Responder {
 public:
  virtual ~Responder() = default;
  virtual Action OnCommand(const std::string& command) = 0;

  // A command that arrives while the reply to an earlier one still waits out its delay (a motion
  // under way). A device that works through one command at a time lets it wait its turn: nullopt,
  // the default. One that cuts the work short returns what the earlier command answers now, which
  // replaces whatever of its reply had not gone out. Either way the new command is answered by
  // OnCommand in its turn, after the earlier one's reply.
  virtual std::optional<Action> OnCommandDuring(const std::string& command);
  // The line was pulled out from under the device (DeviceServer::Unplug): the reply it was
  // waiting to send is lost, and work under way ends where it stands.
  virtual void OnUnplug() {}
};

// Answers a script of expected commands in order. A command that is not the next expected one is
// recorded as unexpected and met with silence, which leaves the script where it was.
// Thread-safe: expectations may be added while the device is serving.
class ScriptedResponder : public Responder {
 public:
  void Expect(std::string command, Action action);
  Action OnCommand(const std::string& command) override;

  std::vector<std::string> Unexpected() const;
  // Commands of expectations not met yet, in script order.
  std::vector<std::string> Remaining() const;

 private:
  struct Expectation {
    std::string command;
    Action action;
  };
  mutable std::mutex mu_;
  std::deque<Expectation> script_;
  std::vector<std::string> unexpected_;
};

class FunctionResponder : public Responder {
 public:
  explicit FunctionResponder(std::function<Action(const std::string&)> fn) : fn_(std::move(fn)) {}
  Action OnCommand(const std::string& command) override { return fn_(command); }

 private:
  std::function<Action(const std::string&)> fn_;
};

}  // namespace torvek::sim
