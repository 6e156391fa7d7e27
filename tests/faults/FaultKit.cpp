#include "FaultKit.h"

#include <cstring>
#include <sstream>
#include <thread>

#include "ConnectedDevice.h"
#include "Frames.h"
#include "Records.h"

namespace torvek_fault {

Frame FrameFor(const std::string& command) {
  const std::string op = command.substr(1, 2);
  if (op == "gp" || op == "ma" || op == "ho") {
    return Frame::kPosition;
  }
  if (op == "go") {
    return Frame::kHomeOffset;
  }
  if (op == "in") {
    return Frame::kInfo;
  }
  return Frame::kStatus;
}

namespace {

bool SameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

bool SameOutputs(const Outputs& a, const Outputs& b) {
  return a.steps == b.steps && SameBits(a.degrees, b.degrees) &&
         SameBits(a.transmittance, b.transmittance) && torvek_test::SameInfo(a.info, b.info);
}

std::string Describe(const Outputs& o) {
  std::ostringstream text;
  text.precision(9);
  text << "{steps " << o.steps << ", degrees " << o.degrees << ", transmittance " << o.transmittance
       << ", info " << torvek_test::Describe(o.info) << "}";
  return text.str();
}

Outputs Operation::Untouched() const {
  Outputs outputs;
  if (always_writes_home_offset_text) {
    outputs.info.home_offset_text = kNoHomeOffsetText;
  }
  return outputs;
}

Outputs Operation::Delivered() const {
  Outputs outputs = Untouched();
  if (deliver) {
    deliver(outputs);
  }
  return outputs;
}

namespace {

using Handler = TORVEK::AttenuatorHandler;
using Call = std::function<TORVEK::AttenuatorStatus(Handler&, Outputs&, int)>;

Operation Op(std::string name, std::vector<std::string> commands, Call call,
             std::function<void(Outputs&)> deliver = nullptr) {
  Operation op;
  op.name = std::move(name);
  op.commands = std::move(commands);
  op.call = std::move(call);
  op.deliver = std::move(deliver);
  return op;
}

void DeliverInfo(Outputs& o) {
  torvek_test::FillDefaultIdentification(o.info);
  o.info.home_offset_text = "0.040179";
}

std::vector<Operation> MakeOperations() {
  std::vector<Operation> ops;
  ops.push_back(Op("GetCurrentStatus", {"0gs"},
                   [](Handler& h, Outputs&, int t) { return h.GetCurrentStatus(t); }));
  ops.push_back(Op("StartOptimization", {"0om"},
                   [](Handler& h, Outputs&, int t) { return h.StartOptimization(t); }));
  ops.push_back(Op("StartCleaningMechanics", {"0cm"},
                   [](Handler& h, Outputs&, int t) { return h.StartCleaningMechanics(t); }));
  ops.push_back(Op("Stop", {"0st"}, [](Handler& h, Outputs&, int t) { return h.Stop(t); }));
  ops.push_back(Op(
      "GetMotorSteps", {"0gp"},
      [](Handler& h, Outputs& o, int t) { return h.GetMotorSteps(&o.steps, t); },
      [](Outputs& o) { o.steps = kGoodSteps; }));
  ops.push_back(Op(
      "GetMotorDegree", {"0gp"},
      [](Handler& h, Outputs& o, int t) { return h.GetMotorDegree(&o.degrees, t); },
      [](Outputs& o) { o.degrees = 90.0f; }));
  ops.push_back(Op(
      "GetTransmittance", {"0gp"},
      [](Handler& h, Outputs& o, int t) {
        return h.GetTransmittance(&o.transmittance, 0.0, 90.0, t);
      },
      [](Outputs& o) { o.transmittance = 1.0f; }));
  ops.push_back(Op("SetMotorSteps", {"0ma00008C00"},
                   [](Handler& h, Outputs&, int t) { return h.SetMotorSteps(kGoodSteps, t); }));
  ops.push_back(Op("SetMotorDegree", {"0ma00008C00"},
                   [](Handler& h, Outputs&, int t) { return h.SetMotorDegree(90.0f, t); }));
  ops.push_back(Op("SetTransmittance", {"0ma00008C00"}, [](Handler& h, Outputs&, int t) {
    return h.SetTransmittance(1.0f, 0.0, 90.0, t);
  }));
  ops.push_back(Op("MechanicalCalibration", {"0ho0"},
                   [](Handler& h, Outputs&, int t) { return h.MechanicalCalibration(t); }));
  // Each of its two requests waits half the time-out.
  Operation info = Op(
      "GetMotorInfo", {"0in", "0go"},
      [](Handler& h, Outputs& o, int t) { return h.GetMotorInfo(&o.info, t); }, DeliverInfo);
  info.always_writes_home_offset_text = true;
  ops.push_back(std::move(info));
  return ops;
}

}  // namespace

const std::vector<Operation>& AllOperations() {
  static const std::vector<Operation> operations = MakeOperations();
  return operations;
}

std::string GoodReply(const std::string& command) {
  switch (FrameFor(command)) {
    case Frame::kPosition:
      return attsim::PositionFrame(command == "0ho0" ? 0 : kGoodSteps);
    case Frame::kHomeOffset:
      return attsim::HomeOffsetFrame(kGoodHomeOffsetSteps);
    case Frame::kInfo:
      return torvek_test::kDefaultIdentification;
    case Frame::kStatus:
      break;
  }
  return attsim::StatusFrame(0);
}

int MergedInfoResult(int info_result, int offset_result) {
  if (info_result == TORVEK::Ok && offset_result == TORVEK::Ok) {
    return TORVEK::Ok;
  }
  return info_result < offset_result ? info_result : offset_result;
}

bool ConnectPatiently(TORVEK::AttenuatorHandler& handler, const std::string& port, int* refusals) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (handler.Connect(port)) {
      return true;
    }
    if (refusals != nullptr) {
      ++*refusals;
    }
  }
  return false;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return condition();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace torvek_fault
