#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace torvek::ctl {

// While a slow operation waits, shows "| homing  1.4 s" on stderr if stderr is a terminal, and
// wipes it when done. Quick operations and pipes never see it.
class Spinner {
 public:
  explicit Spinner(std::string label);
  ~Spinner();
  Spinner(const Spinner&) = delete;
  Spinner& operator=(const Spinner&) = delete;

  static bool Enabled();

 private:
  void Run();

  const std::string label_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Runs `call` under a spinner and returns what it returns.
template <typename Call>
auto WithSpinner(const std::string& label, Call&& call) {
  Spinner spinner(label);
  return call();
}

}  // namespace torvek::ctl
