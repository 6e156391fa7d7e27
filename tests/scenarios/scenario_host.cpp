// Plays the host's side of a scenario through the library's public interface and checks every
// result, output value and duration. Portable: the same program runs on Linux and on Windows.
// Built as scenario_host it drives the C++ class; built as scenario_host_c (with
// SCENARIO_HOST_C_INTERFACE) every call goes through the C interface, made from C code
// (scenario_c_calls.c), so the same scenarios check both.
//
//   scenario_host SCENARIO LABEL=PORT...
//
// Every port the scenario declares needs its name ("A=/dev/pts/3", "A=COM5", "X=\\.\COM12").
// With SCENARIO_SHOW_TIMES set in the environment it prints how long each timed call took.
// Exit status: 0 when every check held, 1 when one failed, 2 when the scenario or the command
// line is unusable.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Scenario.h"
#include "torvek/AttenuatorHandler.h"
#if defined(SCENARIO_HOST_C_INTERFACE)
#include "scenario_c_calls.h"
#endif

namespace {

using scenario::HostStep;
using scenario::Printable;
using scenario::ResultName;
using Clock = std::chrono::steady_clock;

// Outputs start as values no device reply can produce, so a call that must leave them alone
// can be told from one that wrote them.
constexpr int kStepsSentinel = -7777777;
constexpr float kDegreeSentinel = -777.0f;
constexpr float kTransmittanceSentinel = -7.0f;
constexpr const char* kTextSentinel = "unchanged";
constexpr double kFloatTolerance = 1e-5;

struct Outputs {
  int steps = kStepsSentinel;
  float degree = kDegreeSentinel;
  float transmittance = kTransmittanceSentinel;
  TORVEK::MotorInfo info{kTextSentinel, kTextSentinel, kTextSentinel, kTextSentinel,
                         kTextSentinel, kTextSentinel, kTextSentinel};
};

// One handler of the library, behind whichever interface the program was built for.
// Operations take their arguments as the scenario gives them, the time-out last.
class Driver {
 public:
  virtual ~Driver() = default;
  virtual bool Connect(const std::string& port) = 0;
  virtual void Disconnect() = 0;
  virtual void Cancel() = 0;
  virtual int Call(const std::string& op, const std::vector<double>& a, Outputs& out) = 0;
  virtual const char* Version() = 0;
};

class ClassDriver : public Driver {
 public:
  bool Connect(const std::string& port) override { return handler_.Connect(port); }
  void Disconnect() override { handler_.Disconnect(); }
  void Cancel() override { handler_.Cancel(); }
  const char* Version() override { return TORVEK::LibraryVersion(); }

  int Call(const std::string& op, const std::vector<double>& a, Outputs& out) override {
    const auto Int = [&a](std::size_t i) { return static_cast<int>(a[i]); };
    const auto Float = [&a](std::size_t i) { return static_cast<float>(a[i]); };
    const int timeout = Int(a.size() - 1);
    if (op == "GetCurrentStatus")
      return handler_.GetCurrentStatus(timeout);
    if (op == "GetMotorInfo")
      return handler_.GetMotorInfo(&out.info, timeout);
    if (op == "SetMotorSteps")
      return handler_.SetMotorSteps(Int(0), timeout);
    if (op == "GetMotorSteps")
      return handler_.GetMotorSteps(&out.steps, timeout);
    if (op == "SetMotorDegree")
      return handler_.SetMotorDegree(Float(0), timeout);
    if (op == "GetMotorDegree")
      return handler_.GetMotorDegree(&out.degree, timeout);
    if (op == "MechanicalCalibration")
      return handler_.MechanicalCalibration(timeout);
    if (op == "StartOptimization")
      return handler_.StartOptimization(timeout);
    if (op == "StartCleaningMechanics")
      return handler_.StartCleaningMechanics(timeout);
    if (op == "Stop")
      return handler_.Stop(timeout);
    if (op == "SetTransmittance")
      return handler_.SetTransmittance(Float(0), a[1], a[2], timeout);
    if (op == "GetTransmittance")
      return handler_.GetTransmittance(&out.transmittance, a[0], a[1], timeout);
    throw scenario::ScenarioError("the host does not know " + op);
  }

 private:
  TORVEK::AttenuatorHandler handler_;
};

#if defined(SCENARIO_HOST_C_INTERFACE)
class CInterfaceDriver : public Driver {
 public:
  CInterfaceDriver() : handle_(scenario_c_create()) {
    if (handle_ == nullptr)
      throw scenario::ScenarioError("torvek_att_create() gave no handle");
  }
  ~CInterfaceDriver() override { scenario_c_destroy(handle_); }
  CInterfaceDriver(const CInterfaceDriver&) = delete;
  CInterfaceDriver& operator=(const CInterfaceDriver&) = delete;

  bool Connect(const std::string& port) override {
    return scenario_c_connect(handle_, port.c_str()) == 0;
  }
  void Disconnect() override { scenario_c_disconnect(handle_); }
  void Cancel() override { scenario_c_cancel(handle_); }
  const char* Version() override { return scenario_c_version(); }

  int Call(const std::string& op, const std::vector<double>& a, Outputs& out) override {
    scenario_c_outputs c{};
    c.steps = out.steps;
    c.degree = out.degree;
    c.transmittance = out.transmittance;
    for (char* text : {c.info.ident_a, c.info.ident_b, c.info.ident_c, c.info.ident_d,
                       c.info.degrees_per_revolution_text, c.info.pulses_per_revolution_text,
                       c.info.home_offset_text}) {
      std::snprintf(text, sizeof c.info.ident_a, "%s", kTextSentinel);
    }
    int known = 0;
    const int result = scenario_c_call(handle_, op.c_str(), a.data(), &c, &known);
    if (!known)
      throw scenario::ScenarioError("the host does not know " + op);
    out.steps = c.steps;
    out.degree = c.degree;
    out.transmittance = c.transmittance;
    out.info = {c.info.ident_a,
                c.info.ident_b,
                c.info.degrees_per_revolution_text,
                c.info.pulses_per_revolution_text,
                c.info.ident_c,
                c.info.ident_d,
                c.info.home_offset_text};
    return result;
  }

 private:
  torvek_att_handle* handle_;
};
using HostDriver = CInterfaceDriver;
constexpr const char* kProgram = "scenario_host_c";
#else
using HostDriver = ClassDriver;
constexpr const char* kProgram = "scenario_host";
#endif

class Host {
 public:
  Host(const scenario::Scenario& scenario, std::vector<std::string> port_names)
      : scenario_(scenario),
        port_names_(std::move(port_names)),
        driver_(std::make_unique<HostDriver>()) {}

  int Run() {
    const std::vector<HostStep>& steps = scenario_.host;
    for (std::size_t i = 0; i < steps.size();) {
      if (steps[i].block == 0) {
        Execute(steps[i++]);
        continue;
      }
      std::map<int, std::vector<const HostStep*>> threads;
      const int block = steps[i].block;
      for (; i < steps.size() && steps[i].block == block; ++i)
        threads[steps[i].thread].push_back(&steps[i]);
      std::vector<std::thread> running;
      for (const auto& entry : threads) {
        const std::vector<const HostStep*>* list = &entry.second;
        running.emplace_back([this, list] {
          for (const HostStep* step : *list)
            Execute(*step);
        });
      }
      for (std::thread& thread : running)
        thread.join();
    }
    const std::string version = driver_->Version();
    driver_.reset();
    std::printf("%s: %s: %zu host statements, %d failed (library %s)\n", kProgram,
                scenario_.name.c_str(), steps.size(), failures_, version.c_str());
    return failures_;
  }

 private:
  void Fail(const HostStep& step, const std::string& message) {
    std::lock_guard<std::mutex> lock(mu_);
    ++failures_;
    std::printf("%s:%d: %s\n", scenario_.name.c_str(), step.line, message.c_str());
    std::fflush(stdout);
  }

  void CheckDuration(const HostStep& step, const std::string& what, Clock::time_point start) {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (step.within_ms && show_times_) {
      std::lock_guard<std::mutex> lock(mu_);
      std::printf("%s:%d: %s took %.1f ms\n", scenario_.name.c_str(), step.line, what.c_str(), ms);
    }
    if (step.within_ms && (ms < step.within_ms->first || ms > step.within_ms->second)) {
      char text[128];
      std::snprintf(text, sizeof text, " took %.1f ms, expected %g to %g", ms,
                    step.within_ms->first, step.within_ms->second);
      Fail(step, what + text);
    }
  }

  void Execute(const HostStep& step) {
    switch (step.kind) {
      case HostStep::Kind::kConnect: {
        const std::string& port = port_names_[static_cast<std::size_t>(step.port)];
        const Clock::time_point start = Clock::now();
        const bool connected = driver_->Connect(port);
        CheckDuration(step, "Connect(" + port + ")", start);
        if (connected != step.connected) {
          Fail(step, "Connect(" + port + ") returned " + (connected ? "true" : "false"));
        }
        break;
      }
      case HostStep::Kind::kCall:
        Call(step);
        break;
      case HostStep::Kind::kDisconnect:
        driver_->Disconnect();
        break;
      case HostStep::Kind::kDestroy:
        driver_.reset();
        driver_ = std::make_unique<HostDriver>();
        break;
      case HostStep::Kind::kCancel:
        driver_->Cancel();
        break;
      case HostStep::Kind::kSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.sleep_ms));
        break;
    }
  }

  void Call(const HostStep& step) {
    Outputs out;
    const Clock::time_point start = Clock::now();
    const int result = driver_->Call(step.operation, step.args, out);
    CheckDuration(step, step.operation, start);
    if (result != step.result) {
      Fail(step, step.operation + " returned " + ResultName(result) + ", expected " +
                     ResultName(step.result));
    }
    for (const auto& [name, expected] : step.values)
      CheckValue(step, out, name, expected);
  }

  void CheckValue(const HostStep& step, const Outputs& out, const std::string& name,
                  const std::string& expected) {
    const bool unchanged = expected == "unchanged";
    std::string actual;
    bool same = false;
    if (name == "steps") {
      actual = std::to_string(out.steps);
      same = unchanged ? out.steps == kStepsSentinel : actual == expected;
    } else if (name == "degree" || name == "transmittance") {
      const float value = name == "degree" ? out.degree : out.transmittance;
      const float sentinel = name == "degree" ? kDegreeSentinel : kTransmittanceSentinel;
      char text[64];
      std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
      actual = text;
      same = unchanged
                 ? value == sentinel
                 : std::fabs(static_cast<double>(value) - std::strtod(expected.c_str(), nullptr)) <=
                       kFloatTolerance;
    } else {
      const TORVEK::MotorInfo& info = out.info;
      const std::map<std::string, const std::string*> fields = {
          {"ident_a", &info.ident_a},
          {"ident_b", &info.ident_b},
          {"ident_c", &info.ident_c},
          {"ident_d", &info.ident_d},
          {"degrees_per_revolution_text", &info.degrees_per_revolution_text},
          {"pulses_per_revolution_text", &info.pulses_per_revolution_text},
          {"home_offset_text", &info.home_offset_text}};
      actual = *fields.at(name);
      same = actual == (unchanged ? kTextSentinel : expected);
      actual = Printable(actual);
    }
    if (!same)
      Fail(step, step.operation + ": " + name + " is " + actual + ", expected " + expected);
  }

  const scenario::Scenario& scenario_;
  const std::vector<std::string> port_names_;
  std::unique_ptr<Driver> driver_;
  const bool show_times_ = std::getenv("SCENARIO_SHOW_TIMES") != nullptr;
  std::mutex mu_;
  int failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SCENARIO LABEL=PORT...\n", kProgram);
    return 2;
  }
  try {
    const scenario::Scenario scenario = scenario::LoadScenario(argv[1]);
    std::map<std::string, std::string> given;
    for (int i = 2; i < argc; ++i) {
      const std::string arg = argv[i];
      const std::size_t equals = arg.find('=');
      if (equals == std::string::npos)
        throw scenario::ScenarioError("'" + arg + "' is not LABEL=PORT");
      given[arg.substr(0, equals)] = arg.substr(equals + 1);
    }
    std::vector<std::string> port_names;
    for (const scenario::Port& port : scenario.ports) {
      const auto found = given.find(port.label);
      if (found == given.end())
        throw scenario::ScenarioError("no port name given for " + port.label);
      port_names.push_back(found->second);
    }
    Host host(scenario, std::move(port_names));
    return host.Run() == 0 ? 0 : 1;
  } catch (const scenario::ScenarioError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 2;
  }
}
