#include "SoakOracle.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace torvek::fault::soak {
namespace {

// The documented argument rules, and what the model gives, computed independently.

bool IsNumber(double value) {
  return std::isfinite(value);
}

bool ModelArgumentsValid(double min_angle, double span) {
  return IsNumber(min_angle) && IsNumber(span) && std::fabs(span) >= 1e-9 && min_angle > -360.0 &&
         min_angle + span < 360.0;
}

long double ModelTransmittance(float degrees, double min_angle, double span) {
  const long double s = std::sin(static_cast<long double>(kPi) / 2 *
                                 (static_cast<long double>(degrees) - min_angle) / span);
  return s * s;
}

}  // namespace

std::string HomeOffsetText(std::int32_t steps) {
  char text[64];
  std::snprintf(
      text, sizeof text, "%.6f",
      static_cast<double>(static_cast<float>(static_cast<double>(steps) / kPulsesPerDegree)));
  return text;
}

namespace {

std::string MoveCommand(std::int32_t steps) {
  char text[16];
  std::snprintf(text, sizeof text, "0ma%08" PRIX32, static_cast<std::uint32_t>(steps));
  return text;
}

std::vector<RequestEnd> RequestEnds(const Call& call, const Plan& plan, bool first, int timeout) {
  const bool status_op = call.op <= Op::kStop;
  std::vector<RequestEnd> ends;
  const RequestEnd clean{status_op ? plan.status_code : TORVEK::Ok, !status_op};
  if (!first && IsHangUp(plan.fault)) {
    return std::vector<RequestEnd>{{TORVEK::PortUnavailable, false}};
  }
  switch (plan.fault) {
    case Fault::kNone:
    case Fault::kFragments:
    case Fault::kUnsolicitedBeforeCommand:
      ends.push_back(clean);
      break;
    case Fault::kStatusInstead:
      ends.push_back({plan.status_instead, false});
      break;
    case Fault::kGarbage:
    case Fault::kCutShort:
    case Fault::kNoDigits:
    case Fault::kWrongFrame:
    case Fault::kNoiseBeforeReply:
      ends.push_back({TORVEK::UnexpectedReply, false});
      break;
    case Fault::kCarriageReturnOnly:
    case Fault::kLineFeedOnly:
    case Fault::kSilence:
    case Fault::kEndlessLine:
      break;
    case Fault::kLateReply:
      // 150 ms late for a 25 ms wait; a host descheduled that long would still see it.
      if (timeout > 0) {
        ends.push_back(clean);
      }
      break;
    // A line that hangs up has gone: the call ends at once with the port closed.
    case Fault::kHangUpMidReply:
    case Fault::kHangUpInsteadOfReply:
    case Fault::kHangUpBeforeCommand:
      ends.push_back({TORVEK::PortUnavailable, false});
      break;
  }
  if (EndsInTimeout(plan.fault) || timeout <= 0) {
    ends.push_back({TORVEK::ReplyTimeout, false});
  }
  // With no wait at all, the second request may find the first one's reply arriving.
  if (!first && timeout <= 0) {
    ends.push_back({TORVEK::UnexpectedReply, false});
  }
  return ends;
}

// The outputs a way of ending leaves: delivered values exactly, all else untouched.
bool OutputsFit(const Call& call, const Plan& plan, const Outputs& out, bool delivered_value,
                bool delivered_offset, std::string& why) {
  Outputs want;
  if (!call.null_output) {
    const float degrees = static_cast<float>(static_cast<double>(plan.position) / kPulsesPerDegree);
    switch (call.op) {
      case Op::kGetMotorSteps:
        want.steps = delivered_value ? plan.position : want.steps;
        break;
      case Op::kGetMotorDegree:
        want.degrees = delivered_value ? degrees : want.degrees;
        break;
      case Op::kGetTransmittance:
        if (delivered_value) {
          const float t = out.transmittance;
          const long double phase =
              (static_cast<long double>(degrees) - call.min_angle) / call.span;
          if (!(t >= 0.0f && t <= 1.0f)) {
            why = "a transmittance outside 0 to 1 delivered";
            return false;
          }
          if (std::fabs(phase) < 1e4L &&
              std::fabs(t - ModelTransmittance(degrees, call.min_angle, call.span)) > 1e-5L) {
            why = "the transmittance is not the model's";
            return false;
          }
          want.transmittance = t;
        }
        break;
      case Op::kGetMotorInfo:
        if (delivered_value) {
          torvek::test::FillDefaultIdentification(want.info);
        }
        want.info.home_offset_text =
            delivered_offset ? HomeOffsetText(plan.home_offset) : torvek::fault::kNoHomeOffsetText;
        break;
      default:
        break;
    }
  }
  if (!torvek::fault::SameOutputs(out, want)) {
    why =
        "outputs " + torvek::fault::Describe(out) + " instead of " + torvek::fault::Describe(want);
    return false;
  }
  return true;
}

}  // namespace

const char* Name(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return "no fault (well-formed reply)";
    case Fault::kStatusInstead:
      return "status frame instead of the reply";
    case Fault::kGarbage:
      return "garbage line";
    case Fault::kCutShort:
      return "reply cut short";
    case Fault::kNoDigits:
      return "number without digits";
    case Fault::kWrongFrame:
      return "reply to another command";
    case Fault::kNoiseBeforeReply:
      return "noise between command and reply";
    case Fault::kCarriageReturnOnly:
      return "CR without LF";
    case Fault::kLineFeedOnly:
      return "LF without CR";
    case Fault::kSilence:
      return "silence";
    case Fault::kEndlessLine:
      return "endless line";
    case Fault::kLateReply:
      return "late reply";
    case Fault::kFragments:
      return "fragments with pauses";
    case Fault::kUnsolicitedBeforeCommand:
      return "unsolicited bytes before the command";
    case Fault::kHangUpMidReply:
      return "hang-up in the middle of a reply";
    case Fault::kHangUpInsteadOfReply:
      return "hang-up instead of a reply";
    case Fault::kHangUpBeforeCommand:
      return "hang-up before the command";
  }
  return "?";
}

// Faults whose requests can only end by their time-out.
bool EndsInTimeout(Fault fault) {
  return fault == Fault::kCarriageReturnOnly || fault == Fault::kLineFeedOnly ||
         fault == Fault::kSilence || fault == Fault::kEndlessLine || fault == Fault::kLateReply;
}

bool IsHangUp(Fault fault) {
  return fault == Fault::kHangUpMidReply || fault == Fault::kHangUpInsteadOfReply ||
         fault == Fault::kHangUpBeforeCommand;
}

const char* Name(Op op) {
  static const char* const kNames[] = {
      "GetCurrentStatus",      "StartOptimization", "StartCleaningMechanics", "Stop",
      "MechanicalCalibration", "GetMotorSteps",     "GetMotorDegree",         "GetTransmittance",
      "SetMotorSteps",         "SetMotorDegree",    "SetTransmittance",       "GetMotorInfo"};
  return kNames[static_cast<int>(op)];
}

ArgumentRules JudgeArguments(const Call& call) {
  ArgumentRules rules;
  bool& valid = rules.valid;
  bool& may_refuse = rules.may_refuse;
  std::string& move = rules.move;
  switch (call.op) {
    case Op::kSetMotorSteps:
      valid = call.steps >= -143360 && call.steps <= 143360;
      move = MoveCommand(call.steps);
      break;
    case Op::kSetMotorDegree:
      valid = IsNumber(call.degree) && call.degree > -360.0f && call.degree < 360.0f;
      if (valid) {
        move = MoveCommand(static_cast<std::int32_t>(
            std::trunc(static_cast<double>(call.degree) * kPulsesPerDegree)));
      }
      break;
    case Op::kSetTransmittance:
      valid = IsNumber(call.transmittance) && call.transmittance >= 0.0f &&
              call.transmittance <= 1.0f && ModelArgumentsValid(call.min_angle, call.span);
      if (valid) {
        const long double angle =
            call.min_angle + call.span / static_cast<long double>(kPi) *
                                 (std::asin(2.0L * call.transmittance - 1.0L) + kPi / 2);
        const long double steps = angle * kPulsesPerDegree;
        if (!(std::fabs(steps) < 2.0e9L)) {
          may_refuse = true;
          valid = std::fabs(steps) < 2.2e9L;  // far beyond: must be refused
        }
      }
      break;
    case Op::kGetTransmittance:
      valid = !call.null_output && ModelArgumentsValid(call.min_angle, call.span);
      break;
    default:
      break;
  }
  return rules;
}

bool ResultFits(const Call& call, const Plan& plan, int status, const Outputs& out,
                std::string& why) {
  const bool two_requests = call.op == Op::kGetMotorInfo;
  const int per_request = two_requests ? call.timeout_ms / 2 : call.timeout_ms;
  // The call is right if one way this fault may end its requests gives both its result
  // and its outputs.
  why = "a result this fault cannot give";
  bool fits = false;
  for (const RequestEnd& a : RequestEnds(call, plan, true, per_request)) {
    if (two_requests) {
      for (const RequestEnd& b : RequestEnds(call, plan, false, per_request)) {
        fits = fits || (torvek::fault::MergedInfoResult(a.status, b.status) == status &&
                        OutputsFit(call, plan, out, a.delivered, b.delivered, why));
      }
    } else {
      fits = fits || (a.status == status && OutputsFit(call, plan, out, a.delivered, false, why));
    }
  }
  return fits;
}

std::vector<std::string> ExpectedCommands(const Call& call, const Plan& plan,
                                          const std::string& move) {
  std::vector<std::string> expected_commands;
  if (plan.fault != Fault::kHangUpBeforeCommand) {
    switch (call.op) {
      case Op::kGetCurrentStatus:
        expected_commands = {"0gs"};
        break;
      case Op::kStartOptimization:
        expected_commands = {"0om"};
        break;
      case Op::kStartCleaningMechanics:
        expected_commands = {"0cm"};
        break;
      case Op::kStop:
        expected_commands = {"0st"};
        break;
      case Op::kMechanicalCalibration:
        expected_commands = {"0ho0"};
        break;
      case Op::kGetMotorSteps:
      case Op::kGetMotorDegree:
      case Op::kGetTransmittance:
        expected_commands = {"0gp"};
        break;
      case Op::kSetMotorSteps:
      case Op::kSetMotorDegree:
        expected_commands = {move};
        break;
      case Op::kSetTransmittance:
        expected_commands = {""};  // any well-formed move; checked below
        break;
      case Op::kGetMotorInfo:
        expected_commands = IsHangUp(plan.fault) ? std::vector<std::string>{"0in"}
                                                 : std::vector<std::string>{"0in", "0go"};
        break;
      case Op::kCount:
        break;
    }
  }
  return expected_commands;
}

}  // namespace torvek::fault::soak
