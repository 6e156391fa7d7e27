#pragma once

// The soak test's oracle: from the public header's rules alone, and apart from the library's
// code, which results and outputs a call may give for its arguments and the fault it met, and
// which commands it must put on the wire.

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "FaultKit.h"

namespace torvek::fault::soak {

inline constexpr double kPulsesPerDegree = 143360.0 / 360.0;  // the default device's scale
inline constexpr double kPi = 3.14159265358979323846;

enum class Fault {
  kNone,
  kStatusInstead,
  kGarbage,
  kCutShort,
  kNoDigits,
  kWrongFrame,
  kNoiseBeforeReply,
  kCarriageReturnOnly,
  kLineFeedOnly,
  kSilence,
  kEndlessLine,
  kLateReply,
  kFragments,
  kUnsolicitedBeforeCommand,
  kHangUpMidReply,
  kHangUpInsteadOfReply,
  kHangUpBeforeCommand,
};

const char* Name(Fault fault);
// Faults whose requests can only end by their time-out.
bool EndsInTimeout(Fault fault);
bool IsHangUp(Fault fault);

// How one request may end: its result, and whether the expected frame delivered its value.
struct RequestEnd {
  int status;
  bool delivered;
};

// What the device does with the commands of one call.
struct Plan {
  Fault fault = Fault::kNone;
  int status_code = 0;           // of a well-formed status reply
  std::int32_t position = 0;     // of a well-formed reply to "0gp"
  std::int32_t home_offset = 0;  // of a well-formed reply to "0go"
  int status_instead = 0;        // for kStatusInstead
  std::uint32_t seed = 0;        // for the random parts of a faulty reply
};

enum class Op {
  kGetCurrentStatus,
  kStartOptimization,
  kStartCleaningMechanics,
  kStop,
  kMechanicalCalibration,
  kGetMotorSteps,
  kGetMotorDegree,
  kGetTransmittance,
  kSetMotorSteps,
  kSetMotorDegree,
  kSetTransmittance,
  kGetMotorInfo,
  kCount
};

const char* Name(Op op);

// One call with its random arguments.
struct Call {
  Op op;
  bool null_output = false;
  int steps = 0;
  float degree = 0.0f;
  float transmittance = 0.0f;
  double min_angle = 0.0;
  double span = 0.0;
  int timeout_ms = 0;

  std::string Text() const {
    std::ostringstream text;
    text.precision(17);
    text << Name(op) << "(";
    switch (op) {
      case Op::kSetMotorSteps:
        text << steps << ", ";
        break;
      case Op::kSetMotorDegree:
        text << degree << ", ";
        break;
      case Op::kSetTransmittance:
        text << transmittance << ", " << min_angle << ", " << span << ", ";
        break;
      case Op::kGetTransmittance:
        text << (null_output ? "null" : "&t") << ", " << min_angle << ", " << span << ", ";
        break;
      case Op::kGetMotorSteps:
      case Op::kGetMotorDegree:
      case Op::kGetMotorInfo:
        text << (null_output ? "null" : "&out") << ", ";
        break;
      default:
        break;
    }
    text << timeout_ms << ")";
    return text.str();
  }
};

// What the header's rules say of a call's arguments.
struct ArgumentRules {
  bool valid = true;
  bool may_refuse = false;  // valid by the rules, yet beyond what 32-bit steps can carry
  std::string move;         // the move command it must send, when it is known exactly
};
ArgumentRules JudgeArguments(const Call& call);

// Whether one way this fault may end the call's requests gives both `status` and `out`; if not,
// `why` says what does not fit. For arguments the rules accept.
bool ResultFits(const Call& call, const Plan& plan, int status, const Outputs& out,
                std::string& why);

// What the call must put on the wire ({""}: any well-formed move, for SetTransmittance).
std::vector<std::string> ExpectedCommands(const Call& call, const Plan& plan,
                                          const std::string& move);

// What GetMotorInfo shows for a home offset of `steps` on the default scale.
std::string HomeOffsetText(std::int32_t steps);

}  // namespace torvek::fault::soak
