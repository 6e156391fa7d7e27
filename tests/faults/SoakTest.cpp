// A randomised soak: thousands of public calls with random arguments (NaN, infinities, the
// extremes of every type, the edges of every range) against a device that misbehaves at random,
// all from one fixed seed. Every result must be one the call may give for its arguments and the
// fault it met, every output must keep its value unless the call delivered one, and afterwards
// the process must have exactly the threads and descriptors it had before.
//
// TORVEK_SOAK_OPERATIONS and TORVEK_SOAK_SEED change the length and the seed of a run.
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectedDevice.h"
#include "DeviceServer.h"
#include "FaultKit.h"
#include "Frames.h"
#include "ProcessCounters.h"
#include "Responder.h"
#include "SoakOracle.h"

namespace {

using torvek::sim::Action;
using torvek::sim::Chunk;
using namespace std::chrono_literals;
using torvek::fault::Outputs;
using torvek::fault::WaitUntil;

using namespace torvek::fault::soak;

// The device: a well-formed reply for every command, spoilt as the plan says.
class SoakDevice : public torvek::sim::Responder {
 public:
  void SetPlan(const Plan& plan) {
    std::lock_guard<std::mutex> lock(mu_);
    plan_ = plan;
    random_.seed(plan.seed);
  }

  torvek::sim::Action OnCommand(const std::string& command) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!WellFormed(command)) {
      malformed_.push_back(command);
    }
    Action action = Spoil(CleanReply(command));
    for (const Chunk& chunk : action.chunks) {
      writes_ += chunk.bytes.empty() ? 0 : 1;
    }
    ++answered_;
    return action;
  }

  // Commands the device has decided how to answer since the last ForgetWrites(). The device
  // counts a command as received before it answers it, so a count of received commands alone
  // does not say that its reply is out.
  std::size_t Answered() const {
    std::lock_guard<std::mutex> lock(mu_);
    return answered_;
  }

  // Writes the device has decided on since the last ForgetWrites().
  std::size_t Writes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return writes_;
  }
  void AddWrite() {
    std::lock_guard<std::mutex> lock(mu_);
    ++writes_;
  }
  void ForgetWrites() {
    std::lock_guard<std::mutex> lock(mu_);
    writes_ = 0;
    answered_ = 0;
  }
  std::vector<std::string> Malformed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return malformed_;
  }

 private:
  static bool WellFormed(const std::string& command) {
    if (command == "0gs" || command == "0gp" || command == "0go" || command == "0in" ||
        command == "0om" || command == "0cm" || command == "0st" || command == "0ho0") {
      return true;
    }
    return command.size() == 11 && command.compare(0, 3, "0ma") == 0 &&
           command.find_first_not_of("0123456789ABCDEF", 3) == std::string::npos;
  }

  std::string CleanReply(const std::string& command) const {
    switch (torvek::fault::FrameFor(command)) {
      case torvek::fault::Frame::kPosition:
        if (command == "0gp") {
          return torvek::sim::PositionFrame(plan_.position);
        }
        if (command == "0ho0") {
          return torvek::sim::PositionFrame(0);
        }
        return "0PO" + command.substr(3) + "\r\n";  // where it was sent
      case torvek::fault::Frame::kHomeOffset:
        return torvek::sim::HomeOffsetFrame(plan_.home_offset);
      case torvek::fault::Frame::kInfo:
        return torvek::test::kDefaultIdentification;
      case torvek::fault::Frame::kStatus:
        break;
    }
    return torvek::sim::StatusFrame(plan_.status_code);
  }

  std::string Noise(std::size_t max_length) {
    // Printable and control bytes, never a line feed, so noise never ends a line.
    static constexpr char kBytes[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZgspoin#!-+ \t\r\x7f\x01";
    std::uniform_int_distribution<std::size_t> length(1, max_length);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kBytes - 2);
    std::string noise(length(random_), ' ');
    for (char& c : noise) {
      c = kBytes[pick(random_)];
    }
    return noise;
  }

  Action Spoil(const std::string& reply) {
    const std::size_t data = reply.size() - 5;  // between the tag and CR LF
    switch (plan_.fault) {
      case Fault::kNone:
      case Fault::kUnsolicitedBeforeCommand:
      case Fault::kHangUpBeforeCommand:
        return Action::Reply(reply);
      case Fault::kStatusInstead:
        return Action::Reply(torvek::sim::StatusFrame(plan_.status_instead));
      case Fault::kGarbage: {
        std::string line = Noise(40);
        if (line.size() >= 3) {
          line[1] = '#';  // no tag of any frame
        }
        return Action::Reply(line + "\r\n");
      }
      case Fault::kCutShort: {
        const std::size_t cut = std::uniform_int_distribution<std::size_t>(1, data)(random_);
        std::string line = reply;
        line.erase(3, cut);
        return Action::Reply(line);
      }
      case Fault::kNoDigits: {
        std::string line = reply;
        for (std::size_t i = 3; i < 3 + data; ++i) {
          line[i] = "ZzG#"[random_() % 4];
        }
        return Action::Reply(line);
      }
      case Fault::kWrongFrame:
        // A position in answer to a stop would be the motion's, which the stop passes over:
        // status commands get an identification instead.
        return Action::Reply(
            (reply.size() == 13 && reply.compare(1, 2, "PO") == 0) || reply.compare(1, 2, "GS") == 0
                ? torvek::test::kDefaultIdentification
                : torvek::sim::PositionFrame(static_cast<std::int32_t>(random_())));
      case Fault::kNoiseBeforeReply:
        return Action::Fragments({Chunk{0us, Noise(10)}, Chunk{2ms, reply}});
      case Fault::kCarriageReturnOnly:
        return Action::Reply(reply.substr(0, reply.size() - 1));
      case Fault::kLineFeedOnly:
        return Action::Reply(reply.substr(0, reply.size() - 2) + "\n");
      case Fault::kSilence:
        return Action::Silence();
      case Fault::kEndlessLine: {
        std::vector<Chunk> chunks;
        for (int i = 0; i < 8; ++i) {
          chunks.push_back(Chunk{5ms, reply.substr(0, reply.size() - 1)});
        }
        return Action::Fragments(std::move(chunks));
      }
      case Fault::kLateReply:
        return Action::Late(reply, 150ms);
      case Fault::kFragments: {
        std::vector<Chunk> chunks;
        std::size_t at = 0;
        while (at < reply.size()) {
          const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 6)(random_);
          chunks.push_back(
              Chunk{std::chrono::microseconds(random_() % 3000), reply.substr(at, length)});
          at += length;
        }
        return Action::Fragments(std::move(chunks));
      }
      case Fault::kHangUpMidReply: {
        const std::size_t part =
            std::uniform_int_distribution<std::size_t>(1, reply.size() - 1)(random_);
        // Ending in CR lets the LF that never comes be what is missing.
        Action action = Action::Fragments({Chunk{0us, reply.substr(0, part)}, Chunk{20ms, ""}});
        action.hang_up = true;
        return action;
      }
      case Fault::kHangUpInsteadOfReply:
        return Action::HangUp();
    }
    return Action::Silence();
  }

  mutable std::mutex mu_;
  Plan plan_;
  std::mt19937 random_;
  std::size_t writes_ = 0;
  std::size_t answered_ = 0;
  std::vector<std::string> malformed_;
};

// ---------------------------------------------------------------------------------------------
// Random arguments.

class Arguments {
 public:
  explicit Arguments(std::mt19937& random) : random_(random) {}

  // A quarter of the time one of `picks` (the bounds, their neighbours, values no argument may
  // take), a quarter anywhere in [wide_low, wide_high), half within [low, high).
  template <typename T, std::size_t N>
  T Draw(const T (&picks)[N], T wide_low, T wide_high, T low, T high) {
    switch (random_() % 4) {
      case 0:
        return picks[random_() % N];
      case 1:
        return std::uniform_real_distribution<T>(wide_low, wide_high)(random_);
      default:
        return std::uniform_real_distribution<T>(low, high)(random_);
    }
  }

  int Steps() {
    static constexpr int kPicks[] = {0, 1, -1, 143360, -143360, 143361, -143361, INT_MAX, INT_MIN};
    switch (random_() % 4) {
      case 0:
        return kPicks[random_() % std::size(kPicks)];
      case 1:
        return static_cast<int>(random_());
      default:
        return std::uniform_int_distribution<int>(-143360, 143360)(random_);
    }
  }

  float Degree() {
    const float kPicks[] = {0.0f,
                            -0.0f,
                            359.999f,
                            -359.999f,
                            360.0f,
                            -360.0f,
                            std::nextafter(360.0f, 0.0f),
                            std::nextafter(-360.0f, 0.0f),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::lowest(),
                            std::numeric_limits<float>::denorm_min(),
                            1e-30f};
    return Draw(kPicks, -1e6f, 1e6f, -360.0f, 360.0f);
  }

  float Transmittance() {
    const float kPicks[] = {0.0f,
                            1.0f,
                            -0.0f,
                            0.5f,
                            std::nextafter(1.0f, 2.0f),
                            std::nextafter(0.0f, -1.0f),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min()};
    return Draw(kPicks, -2.0f, 2.0f, 0.0f, 1.0f);
  }

  double MinAngle() {
    const double kPicks[] = {0.0,
                             -359.9,
                             -360.0,
                             std::nextafter(-360.0, 0.0),
                             359.9,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::denorm_min(),
                             1e300};
    return Draw(kPicks, -1e4, 1e4, -360.0, 360.0);
  }

  double Span() {
    const double kPicks[] = {90.0,
                             -90.0,
                             0.0,
                             -0.0,
                             1e-300,
                             -1e-300,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::min(),
                             720.0,
                             -720.0,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::lowest(),
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -1e300};
    return Draw(kPicks, -1e4, 1e4, -720.0, 720.0);
  }

  std::int32_t Position() {
    static constexpr std::int32_t kPicks[] = {0, 1, -1, 143360, -143360, INT32_MAX, INT32_MIN};
    switch (random_() % 3) {
      case 0:
        return kPicks[random_() % std::size(kPicks)];
      case 1:
        return static_cast<std::int32_t>(random_());
      default:
        return std::uniform_int_distribution<std::int32_t>(-143360, 143360)(random_);
    }
  }

 private:
  std::mt19937& random_;
};

class Soak : public ::testing::Test {
 protected:
  void StartDevice() {
    device.ForgetWrites();
    device.SetPlan(Plan{});
    server = std::make_unique<torvek::sim::DeviceServer>(device);
    ASSERT_TRUE(torvek::fault::ConnectPatiently(*handler, server->Path(), &refusals));
    Settle(0);
  }

  // Waits until the device has everything it was asked for on the line, then starts its logs
  // afresh; returns the commands it received.
  std::vector<std::string> Settle(std::size_t commands) {
    const bool idle = WaitUntil([&] {
      const std::size_t received = server->CommandCount();
      return received >= commands && device.Answered() >= received &&
             server->SentLog().size() >= device.Writes();
    });
    EXPECT_TRUE(idle) << "the device did not get through its replies";
    std::vector<std::string> received = server->Commands();
    server->ClearLog();
    device.ForgetWrites();
    return received;
  }

  SoakDevice device;
  std::unique_ptr<torvek::sim::DeviceServer> server;
  std::unique_ptr<TORVEK::AttenuatorHandler> handler;
  int refusals = 0;  // identifications refused (see ConnectPatiently)
};

// Whether `value` is what a request delivered or the untouched sentinel.
struct Verdict {
  bool ok = true;
  std::string why;
  void Fail(const std::string& reason) {
    if (ok) {
      ok = false;
      why = reason;
    }
  }
};

TEST_F(Soak, RandomCallsAgainstARandomlyMisbehavingDevice) {
  const char* operations_env = std::getenv("TORVEK_SOAK_OPERATIONS");
  const char* seed_env = std::getenv("TORVEK_SOAK_SEED");
  const int operations = operations_env != nullptr ? std::atoi(operations_env) : 3000;
  const std::uint32_t seed = seed_env != nullptr
                                 ? static_cast<std::uint32_t>(std::strtoul(seed_env, nullptr, 10))
                                 : 20261208u;
  std::mt19937 random(seed);
  Arguments arguments(random);

  // A sanitizer may start a helper thread with the first thread of the process; let it.
  std::thread([] {}).join();
  const std::size_t threads_before = torvek::sim::SettledThreadCount();
  const std::size_t descriptors_before = torvek::sim::DescriptorCount();

  handler = std::make_unique<TORVEK::AttenuatorHandler>();
  ASSERT_NO_FATAL_FAILURE(StartDevice());
  const std::size_t threads_connected = torvek::sim::SettledThreadCount();
  const std::size_t descriptors_connected = torvek::sim::DescriptorCount();

  // Faults by weight; half the calls meet a well-behaved device.
  const std::vector<std::pair<Fault, int>> weights = {
      {Fault::kNone, 300},
      {Fault::kStatusInstead, 25},
      {Fault::kGarbage, 25},
      {Fault::kCutShort, 25},
      {Fault::kNoDigits, 25},
      {Fault::kWrongFrame, 25},
      {Fault::kNoiseBeforeReply, 25},
      {Fault::kCarriageReturnOnly, 15},
      {Fault::kLineFeedOnly, 15},
      {Fault::kSilence, 15},
      {Fault::kEndlessLine, 10},
      {Fault::kLateReply, 10},
      {Fault::kFragments, 25},
      {Fault::kUnsolicitedBeforeCommand, 25},
      {Fault::kHangUpMidReply, 4},
      {Fault::kHangUpInsteadOfReply, 4},
      {Fault::kHangUpBeforeCommand, 4},
  };
  std::vector<int> weight_values;
  for (const auto& w : weights) {
    weight_values.push_back(w.second);
  }
  std::discrete_distribution<std::size_t> pick_fault(weight_values.begin(), weight_values.end());

  std::map<Fault, int> injected;
  std::map<Fault, int> wrong;
  std::map<int, int> results;
  int refused = 0;
  int reconnects = 0;
  int wrong_total = 0;
  std::string previous = "none";

  for (int index = 0; index < operations; ++index) {
    Call call;
    call.op = static_cast<Op>(random() % static_cast<unsigned>(Op::kCount));
    call.null_output = random() % 8 == 0;
    call.steps = arguments.Steps();
    call.degree = arguments.Degree();
    call.transmittance = arguments.Transmittance();
    call.min_angle = arguments.MinAngle();
    call.span = arguments.Span();

    Plan plan;
    plan.fault = weights[pick_fault(random)].first;
    plan.status_code = static_cast<int>(random() % 256);
    plan.position = arguments.Position();
    plan.home_offset = arguments.Position();
    plan.status_instead = static_cast<int>(random() % 256);
    plan.seed = static_cast<std::uint32_t>(random());

    // Time-outs: short ones where only the time-out can end a request, long ones elsewhere,
    // and now and then zero, negative and the extremes.
    const int pick = static_cast<int>(random() % 20);
    if (EndsInTimeout(plan.fault)) {
      call.timeout_ms = pick == 0 ? 0 : pick == 1 ? -1 : pick == 2 ? INT_MIN : 25;
    } else if (IsHangUp(plan.fault)) {
      call.timeout_ms = 3000;
    } else {
      call.timeout_ms = pick == 0 ? 0 : pick == 1 ? -5 : pick == 2 ? INT_MAX : 3000;
    }
    const ArgumentRules rules = JudgeArguments(call);

    if (plan.fault == Fault::kHangUpBeforeCommand) {
      server->HangUp();
    }
    if (plan.fault == Fault::kUnsolicitedBeforeCommand) {
      device.AddWrite();
      ASSERT_TRUE(server->SendUnsolicited("0GS07\r\n0PO00000001\r\n0IN#"));
    }
    device.SetPlan(plan);

    // The call.
    Outputs out;
    TORVEK::AttenuatorHandler& h = *handler;
    int status = 0;
    switch (call.op) {
      case Op::kGetCurrentStatus:
        status = h.GetCurrentStatus(call.timeout_ms);
        break;
      case Op::kStartOptimization:
        status = h.StartOptimization(call.timeout_ms);
        break;
      case Op::kStartCleaningMechanics:
        status = h.StartCleaningMechanics(call.timeout_ms);
        break;
      case Op::kStop:
        status = h.Stop(call.timeout_ms);
        break;
      case Op::kMechanicalCalibration:
        status = h.MechanicalCalibration(call.timeout_ms);
        break;
      case Op::kGetMotorSteps:
        status = h.GetMotorSteps(call.null_output ? nullptr : &out.steps, call.timeout_ms);
        break;
      case Op::kGetMotorDegree:
        status = h.GetMotorDegree(call.null_output ? nullptr : &out.degrees, call.timeout_ms);
        break;
      case Op::kGetTransmittance:
        status = h.GetTransmittance(call.null_output ? nullptr : &out.transmittance, call.min_angle,
                                    call.span, call.timeout_ms);
        break;
      case Op::kSetMotorSteps:
        status = h.SetMotorSteps(call.steps, call.timeout_ms);
        break;
      case Op::kSetMotorDegree:
        status = h.SetMotorDegree(call.degree, call.timeout_ms);
        break;
      case Op::kSetTransmittance:
        status = h.SetTransmittance(call.transmittance, call.min_angle, call.span, call.timeout_ms);
        break;
      case Op::kGetMotorInfo:
        status = h.GetMotorInfo(call.null_output ? nullptr : &out.info, call.timeout_ms);
        break;
      case Op::kCount:
        break;
    }
    ++results[status > 0 && status <= 255 ? 1 : status];

    Verdict verdict;
    std::vector<std::string> expected_commands;
    if (!rules.valid) {
      if (status != TORVEK::InvalidArgument) {
        verdict.Fail("refused arguments must give InvalidArgument");
      }
      ++refused;
    } else if (rules.may_refuse && status == TORVEK::InvalidArgument) {
      ++refused;
    } else {
      if (status == TORVEK::InvalidArgument) {
        verdict.Fail("valid arguments refused");
      }
      std::string why;
      if (!ResultFits(call, plan, status, out, why)) {
        verdict.Fail(why);
      }
      expected_commands = ExpectedCommands(call, plan, rules.move);
    }

    // What reached the device.
    std::vector<std::string> commands;
    if (IsHangUp(plan.fault)) {
      commands = server->Commands();
    } else {
      commands = Settle(expected_commands.size());
    }
    if (call.op == Op::kSetTransmittance && commands.size() == 1 && expected_commands.size() == 1 &&
        commands[0].compare(0, 3, "0ma") == 0) {
      expected_commands[0] = commands[0];
    }
    if (commands != expected_commands) {
      std::string sent;
      for (const std::string& c : commands) {
        sent += c + " ";
      }
      verdict.Fail("the device received [" + sent + "]");
    }

    // A refused call never met the device's fault.
    if (status != TORVEK::InvalidArgument) {
      ++injected[plan.fault];
    }
    if (!verdict.ok) {
      ++wrong[plan.fault];
      ++wrong_total;
      ADD_FAILURE() << "call " << index << " (seed " << seed << "): " << call.Text() << " under \""
                    << Name(plan.fault) << "\" gave " << status << ": " << verdict.why
                    << "\n  the call before: " << previous;
      if (wrong_total > 20) {
        FAIL() << "giving up after 20 wrong results";
      }
    }

    previous = call.Text() + " under \"" + Name(plan.fault) + "\" gave " + std::to_string(status);

    if (IsHangUp(plan.fault)) {
      // Unplugged: the next device comes on a new port.
      handler->Disconnect();
      server.reset();
      ASSERT_NO_FATAL_FAILURE(StartDevice());
      ++reconnects;
    } else if (random() % 100 == 0) {
      device.SetPlan(Plan{});
      handler->Disconnect();
      EXPECT_EQ(handler->GetCurrentStatus(1000), TORVEK::PortUnavailable);
      ASSERT_TRUE(torvek::fault::ConnectPatiently(*handler, server->Path(), &refusals));
      Settle(0);
      ++reconnects;
    }
  }

  EXPECT_EQ(device.Malformed(), std::vector<std::string>{}) << "malformed commands on the wire";

  // The same device and handler count as at the start, the same threads and descriptors.
  EXPECT_TRUE(WaitUntil([&] { return torvek::sim::ThreadCount() == threads_connected; }, 1000ms))
      << torvek::sim::ThreadCount() << " threads, " << threads_connected << " at the start";
  const std::size_t threads_after = torvek::sim::ThreadCount();
  const std::size_t descriptors_after = torvek::sim::DescriptorCount();
  EXPECT_EQ(descriptors_after, descriptors_connected);
  handler.reset();
  server.reset();
  EXPECT_TRUE(WaitUntil([&] { return torvek::sim::ThreadCount() == threads_before; }, 1000ms))
      << torvek::sim::ThreadCount() << " threads, " << threads_before << " before";
  EXPECT_EQ(torvek::sim::DescriptorCount(), descriptors_before);

  std::ostringstream report;
  report << "soak: " << operations << " calls, seed " << seed << ", " << refused
         << " refused as InvalidArgument, " << reconnects << " reconnections (" << refusals
         << " identifications refused on a busy machine and tried again)\n";
  for (const auto& [fault, count] : injected) {
    report << "  " << Name(fault) << ": met by " << count << " calls, " << wrong[fault]
           << " wrong\n";
  }
  report << "  results:";
  for (const auto& [result, count] : results) {
    report << " " << (result == 1 ? "1..255" : std::to_string(result)) << " x" << count;
  }
  report << "\n  connected: threads " << threads_connected << " -> " << threads_after
         << ", descriptors " << descriptors_connected << " -> " << descriptors_after
         << "\n  with no handler and no device: threads " << threads_before << " -> "
         << torvek::sim::ThreadCount() << ", descriptors " << descriptors_before << " -> "
         << torvek::sim::DescriptorCount() << "\n";
  std::cout << report.str();
  RecordProperty("wrong_results", wrong_total);
}

}  // namespace
