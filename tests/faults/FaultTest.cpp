// Every public operation against a device or line that misbehaves: each fault has its exact
// result, and the caller's variables keep their values unless the expected reply arrived. After
// each fault the link must still be in step: the next call gets the answer to its own command.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
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

namespace {

using torvek::sim::Action;
using torvek::sim::Chunk;
using namespace std::chrono_literals;
using torvek::fault::AllOperations;
using torvek::fault::GoodReply;
using torvek::fault::Operation;
using torvek::fault::Outputs;
using torvek::fault::WaitUntil;
using torvek::test::MillisecondsOf;

using Fault = std::function<Action(const std::string& command)>;

// What a call must give: its result, and whether the outputs then hold the delivered values.
struct Outcome {
  int status;
  bool delivered = false;
};

// The position the device reports when the test checks that the link is still in step; no
// faulty reply carries it.
constexpr std::int32_t kInStepSteps = 4660;

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { StartDevice(); }

  void TearDown() override { handler.Disconnect(); }

  // A new device on a new pseudo-terminal, and the handler connected to it.
  void StartDevice() {
    SetFault(nullptr);
    ForgetWrites();
    server = std::make_unique<torvek::sim::DeviceServer>(device);
    ASSERT_TRUE(torvek::fault::ConnectPatiently(handler, server->Path()));
    Settle();
  }

  // From now on the device answers every command as `fault` says; null means well.
  void SetFault(Fault fault) {
    std::lock_guard<std::mutex> lock(mu);
    this->fault = std::move(fault);
  }

  // Waits until the device has received `commands` commands and put on the line everything it
  // meant to answer them with; returns those commands and starts the logs afresh.
  std::vector<std::string> Settle(std::size_t commands = 0) {
    // The device counts a command as received before it answers it: wait for the answer too.
    EXPECT_TRUE(WaitUntil([&] {
      const std::size_t received = server->CommandCount();
      std::lock_guard<std::mutex> lock(mu);
      return received >= commands && answered >= received &&
             server->SentLog().size() >= planned_writes;
    })) << "the device did not get through its replies";
    std::vector<std::string> received = server->Commands();
    server->ClearLog();
    ForgetWrites();
    return received;
  }

  // The next call is answered with its own reply, not with anything the fault left behind.
  void ExpectInStep() {
    SetFault([](const std::string& command) {
      return Action::Reply(command == "0gp" ? torvek::sim::PositionFrame(kInStepSteps) : "");
    });
    int steps = 0;
    EXPECT_EQ(handler.GetMotorSteps(&steps, 2000), TORVEK::Ok) << "the link is out of step";
    EXPECT_EQ(steps, kInStepSteps) << "a stale reply was taken for the answer";
    EXPECT_EQ(Settle(1), std::vector<std::string>{"0gp"});
  }

  // Calls `op` once under the current fault and checks its result and outputs.
  void Check(const Operation& op, int timeout_ms, Outcome want) {
    Outputs outputs;
    const int status = op.call(handler, outputs, timeout_ms);
    EXPECT_EQ(status, want.status);
    const Outputs expected = want.delivered ? op.Delivered() : op.Untouched();
    EXPECT_TRUE(torvek::fault::SameOutputs(outputs, expected))
        << "outputs " << torvek::fault::Describe(outputs) << "\nexpected "
        << torvek::fault::Describe(expected);
  }

  // Every operation under `fault`, on one device: its exact outcome, exactly its commands on
  // the wire, and the link in step afterwards.
  void ForEveryOperation(const Fault& fault, int per_request_ms,
                         const std::function<Outcome(const Operation&)>& want) {
    for (const Operation& op : AllOperations()) {
      SCOPED_TRACE(op.name);
      SetFault(fault);
      Check(op, op.TimeoutFor(per_request_ms), want(op));
      EXPECT_EQ(Settle(op.commands.size()), op.commands);
      ExpectInStep();
      ++injected;
    }
    RecordProperty("injected_faults", injected);
  }

  Action Respond(const std::string& command) {
    std::lock_guard<std::mutex> lock(mu);
    Action action = fault ? fault(command) : Action::Reply(GoodReply(command));
    planned_writes +=
        static_cast<std::size_t>(std::count_if(action.chunks.begin(), action.chunks.end(),
                                               [](const Chunk& c) { return !c.bytes.empty(); }));
    ++answered;
    return action;
  }

  // For a new device: what the one before meant to send is no longer awaited.
  void ForgetWrites() {
    std::lock_guard<std::mutex> lock(mu);
    planned_writes = 0;
    answered = 0;
  }

  std::mutex mu;
  Fault fault;
  std::size_t planned_writes = 0;  // non-empty chunks the device has decided on
  std::size_t answered = 0;        // commands the device has decided how to answer
  int injected = 0;
  torvek::sim::FunctionResponder device{[this](const std::string& c) { return Respond(c); }};
  std::unique_ptr<torvek::sim::DeviceServer> server;
  TORVEK::AttenuatorHandler handler;
};

Outcome Always(int status) {
  return Outcome{status};
}

// The good reply to `command` with its tag and data changed by `edit` (offsets into the line).
std::string Edited(const std::string& command, const std::function<void(std::string&)>& edit) {
  std::string line = GoodReply(command);
  edit(line);
  return line;
}

struct GarbageCase {
  const char* name;
  std::function<std::string(const std::string& command)> reply;
};

TEST_F(Faults, GarbageIsAnUnexpectedReplyAndTouchesNothing) {
  const GarbageCase cases[] = {
      {"words", [](const std::string&) { return std::string("garbage\r\n"); }},
      {"an empty line", [](const std::string&) { return std::string("\r\n"); }},
      {"binary", [](const std::string&) { return std::string("\x00\xff\x80\x7f\r\n", 6); }},
      {"one data character short",
       [](const std::string& c) { return Edited(c, [](std::string& l) { l.erase(3, 1); }); }},
      {"one data character too many",
       [](const std::string& c) { return Edited(c, [](std::string& l) { l.insert(3, "0"); }); }},
      {"a lower-case tag",
       [](const std::string& c) {
         return Edited(c, [](std::string& l) {
           l[1] = static_cast<char>(std::tolower(l[1]));
           l[2] = static_cast<char>(std::tolower(l[2]));
         });
       }},
      {"another frame's tag at the right length",
       [](const std::string& c) {
         return Edited(
             c, [](std::string& l) { l.replace(1, 2, l.substr(1, 2) == "PO" ? "HO" : "PO"); });
       }},
      {"no hexadecimal digit",
       [](const std::string& c) {
         return Edited(c, [](std::string& l) { std::fill(l.begin() + 3, l.end() - 2, 'Z'); });
       }},
      {"a status of -2, which would pose as ReplyTimeout",
       [](const std::string&) { return std::string("0GS-2\r\n"); }},
      {"the reply to another command",
       [](const std::string& c) {
         return torvek::fault::FrameFor(c) == torvek::fault::Frame::kPosition
                    ? torvek::test::kDefaultIdentification
                    : torvek::sim::PositionFrame(torvek::fault::kGoodSteps);
       }},
  };
  for (const GarbageCase& garbage : cases) {
    SCOPED_TRACE(garbage.name);
    ForEveryOperation([&](const std::string& c) { return Action::Reply(garbage.reply(c)); }, 1000,
                      [](const Operation&) { return Always(TORVEK::UnexpectedReply); });
  }
}

TEST_F(Faults, AStatusInPlaceOfTheReplyIsItsCodeAndDeliversNothing) {
  // Code 0 gives Ok, yet no value arrived: the outputs must still keep the caller's values.
  for (const int code : {0, 7, 255}) {
    SCOPED_TRACE(code);
    ForEveryOperation(
        [code](const std::string&) { return Action::Reply(torvek::sim::StatusFrame(code)); }, 1000,
        [code](const Operation&) { return Always(code); });
  }
}

TEST_F(Faults, RandomFragmentsWithRandomPausesMakeOneReply) {
  std::mt19937 random(20261208);
  const Fault fragments = [&random](const std::string& command) {
    const std::string reply = GoodReply(command);
    // Cut points anywhere, the one between CR and LF included.
    std::vector<std::size_t> cuts{0, reply.size()};
    std::uniform_int_distribution<std::size_t> cut_at(1, reply.size() - 1);
    const std::size_t pieces = std::uniform_int_distribution<std::size_t>(2, reply.size())(random);
    while (cuts.size() < pieces + 1) {
      const std::size_t cut = cut_at(random);
      if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) {
        cuts.push_back(cut);
      }
    }
    std::sort(cuts.begin(), cuts.end());
    std::uniform_int_distribution<int> pause_us(0, 8000);
    std::vector<Chunk> chunks;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      chunks.push_back(Chunk{std::chrono::microseconds(pause_us(random)),
                             reply.substr(cuts[i], cuts[i + 1] - cuts[i])});
    }
    return Action::Fragments(std::move(chunks));
  };
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    ForEveryOperation(fragments, 3000, [](const Operation&) { return Outcome{TORVEK::Ok, true}; });
  }
}

struct UnendedCase {
  const char* name;
  std::function<std::string(const std::string& command)> reply;
};

TEST_F(Faults, ALineThatNeverEndsInCarriageReturnLineFeedTimesOut) {
  const UnendedCase cases[] = {
      {"CR without LF",
       [](const std::string& c) { return Edited(c, [](std::string& l) { l.pop_back(); }); }},
      {"LF without CR",
       [](const std::string& c) {
         return Edited(c, [](std::string& l) { l.erase(l.size() - 2, 1); });
       }},
      {"LF before CR",
       [](const std::string& c) {
         return Edited(c, [](std::string& l) { std::swap(l[l.size() - 2], l.back()); });
       }},
      {"CR, a space, LF",
       [](const std::string& c) {
         return Edited(c, [](std::string& l) { l.insert(l.size() - 1, " "); });
       }},
  };
  for (const UnendedCase& unended : cases) {
    SCOPED_TRACE(unended.name);
    ForEveryOperation([&](const std::string& c) { return Action::Reply(unended.reply(c)); }, 100,
                      [](const Operation&) { return Always(TORVEK::ReplyTimeout); });
  }
}

TEST_F(Faults, AnEndlessLineTimesOutOnTimeAndLeavesNoThreadBehind) {
  // The reply without its LF, over and over: CRs aplenty, never followed by an LF.
  const Fault endless = [](const std::string& command) {
    std::string piece = GoodReply(command);
    piece.pop_back();
    std::vector<Chunk> chunks;
    for (int i = 0; i < 60; ++i) {
      chunks.push_back(Chunk{10ms, piece});
    }
    return Action::Fragments(std::move(chunks));
  };
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    const std::size_t threads = torvek::sim::ThreadCount();
    const std::size_t descriptors = torvek::sim::DescriptorCount();
    SetFault(endless);
    const int timeout = op.TimeoutFor(100);
    const double elapsed =
        MillisecondsOf([&] { Check(op, timeout, Always(TORVEK::ReplyTimeout)); });
    // The stream goes on for 600 ms per request; the call must not wait for it to stop.
    EXPECT_GE(elapsed, timeout);
    EXPECT_LT(elapsed, timeout + 300.0);
    EXPECT_TRUE(WaitUntil([&] { return torvek::sim::ThreadCount() == threads; }, 1000ms))
        << torvek::sim::ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(torvek::sim::DescriptorCount(), descriptors);
    EXPECT_EQ(Settle(op.commands.size()), op.commands);
    ExpectInStep();
  }
}

TEST_F(Faults, BytesTheDeviceSentBeforeTheCommandAreNotTakenForItsReply) {
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    // Whole lines a host could mistake for answers, and the start of one.
    ASSERT_TRUE(server->SendUnsolicited("0GS07\r\n0PO00000001\r\n0IN#"));
    SetFault(nullptr);
    Check(op, op.TimeoutFor(2000), Outcome{TORVEK::Ok, true});
    EXPECT_EQ(Settle(op.commands.size()), op.commands);
  }
}

TEST_F(Faults, NoiseBetweenTheCommandAndItsReplySpoilsThatReplyOnly) {
  ForEveryOperation(
      [](const std::string& c) {
        return Action::Fragments({Chunk{0us, "#!"}, Chunk{5ms, GoodReply(c)}});
      },
      1000, [](const Operation&) { return Always(TORVEK::UnexpectedReply); });
}

TEST_F(Faults, AStrayStatusLineBeforeTheReplyIsTakenAndTheRealReplyDropped) {
  // The first complete line is the reply. The real one comes 400 ms later, after the call: it
  // must not be taken for the answer to the next command. GetMotorInfo's second request meets
  // the device still busy with the first and times out. 200 ms per request leaves a device
  // thread stalled by a busy machine room on either side.
  ForEveryOperation(
      [](const std::string& c) {
        return Action::Fragments(
            {Chunk{0us, torvek::sim::StatusFrame(7)}, Chunk{400ms, GoodReply(c)}});
      },
      200,
      [](const Operation& op) {
        return Always(op.commands.size() == 1 ? 7 : TORVEK::ReplyTimeout);
      });
}

TEST_F(Faults, ALateReplyIsATimeOutAndNeverTheNextCallsAnswer) {
  // 500 ms late for requests that wait 100 ms each: even GetMotorInfo's second request is
  // over long before the first one's reply comes.
  ForEveryOperation([](const std::string& c) { return Action::Late(GoodReply(c), 500ms); }, 100,
                    [](const Operation&) { return Always(TORVEK::ReplyTimeout); });
}

// The host cuts the wait short from another thread once the command is out, and the reply
// comes later. Only that command went out (GetMotorInfo does not send its second request), and
// its late reply is never the next call's answer.
TEST_F(Faults, ACancelledWaitIsATimeOutAndItsLateReplyNeverTheNextCallsAnswer) {
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    SetFault([](const std::string& c) { return Action::Late(GoodReply(c), 300ms); });
    const std::size_t commands = server->CommandCount();
    std::thread canceller([&] {
      EXPECT_TRUE(server->WaitForCommands(commands + 1, 10s));
      handler.Cancel();
    });
    const double elapsed = MillisecondsOf([&] { Check(op, 20000, Always(TORVEK::ReplyTimeout)); });
    canceller.join();
    EXPECT_LT(elapsed, 10000.0) << "the wait was not cut short";
    EXPECT_EQ(Settle(1), std::vector<std::string>{op.commands.front()});
    ExpectInStep();
  }
}

// A hang-up is a port that has gone: the call ends at once, the handler closes its side, and a
// second request (GetMotorInfo's), like any later call, finds no port.
Outcome AfterHangUp(const Operation&) {
  return Always(TORVEK::PortUnavailable);
}

void ExpectPortGone(TORVEK::AttenuatorHandler& handler) {
  EXPECT_EQ(handler.GetCurrentStatus(1000), TORVEK::PortUnavailable);
}

TEST_F(Faults, AHangUpInTheMiddleOfAReplyIsAPortGone) {
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    StartDevice();
    SetFault([](const std::string& c) {
      const std::string reply = GoodReply(c);
      // The pause lets the host read the first half before the line drops.
      Action cut =
          Action::Fragments({Chunk{0us, reply.substr(0, reply.size() / 2)}, Chunk{30ms, ""}});
      cut.hang_up = true;
      return cut;
    });
    Check(op, op.TimeoutFor(3000), AfterHangUp(op));
    EXPECT_EQ(server->Commands(), std::vector<std::string>{op.commands.front()});
    ExpectPortGone(handler);
  }
}

TEST_F(Faults, AHangUpInsteadOfAReplyEndsTheCallWithoutWaitingForTheTimeOut) {
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    StartDevice();
    SetFault([](const std::string&) { return Action::HangUp(); });
    const double elapsed = MillisecondsOf([&] { Check(op, op.TimeoutFor(3000), AfterHangUp(op)); });
    EXPECT_LT(elapsed, 1500.0);
    ExpectPortGone(handler);
  }
}

TEST_F(Faults, AHangUpBeforeTheCommandMeansPortUnavailable) {
  EXPECT_EQ(handler.CheckPort(), TORVEK::Ok);
  server->HangUp();
  // Seen without a command, and the port closed: every call then finds none.
  EXPECT_EQ(handler.CheckPort(), TORVEK::PortUnavailable);
  for (const Operation& op : AllOperations()) {
    SCOPED_TRACE(op.name);
    Check(op, op.TimeoutFor(1000), Always(TORVEK::PortUnavailable));
  }
  EXPECT_EQ(server->CommandCount(), 0u);
}

TEST_F(Faults, AVanishedDeviceAndANewOneOnANewPort) {
  handler.Disconnect();
  server.reset();
  const std::size_t threads = torvek::sim::SettledThreadCount();
  const std::size_t descriptors = torvek::sim::DescriptorCount();
  {
    auto first = std::make_unique<torvek::sim::DeviceServer>(device);
    const std::string first_path = first->Path();
    ASSERT_TRUE(torvek::fault::ConnectPatiently(handler, first_path));
    Outputs outputs;
    ASSERT_EQ(handler.GetMotorSteps(&outputs.steps, 1000), TORVEK::Ok);

    first->HangUp();  // unplugged: the port's path is gone with it
    for (const Operation& op : AllOperations()) {
      SCOPED_TRACE(op.name);
      Check(op, op.TimeoutFor(1000), Always(TORVEK::PortUnavailable));
    }
    EXPECT_FALSE(handler.Connect(first_path));

    // The handler closed the dead port when the first call met it: a new device may get its
    // number again.
    ForgetWrites();
    server = std::make_unique<torvek::sim::DeviceServer>(device);
    ASSERT_TRUE(torvek::fault::ConnectPatiently(handler, server->Path()));
    Settle();
    for (const Operation& op : AllOperations()) {
      SCOPED_TRACE(op.name);
      Check(op, op.TimeoutFor(2000), Outcome{TORVEK::Ok, true});
      EXPECT_EQ(Settle(op.commands.size()), op.commands);
    }

    // Unplugged and plugged in again, this time without a Disconnect in between: Connect
    // replaces the dead port.
    server->HangUp();
    auto third = std::make_unique<torvek::sim::DeviceServer>(device);
    ASSERT_TRUE(torvek::fault::ConnectPatiently(handler, third->Path()));
    EXPECT_EQ(handler.GetMotorSteps(&outputs.steps, 2000), TORVEK::Ok);
    EXPECT_EQ(outputs.steps, torvek::fault::kGoodSteps);
    handler.Disconnect();
    server.reset();
  }
  EXPECT_TRUE(WaitUntil([&] { return torvek::sim::ThreadCount() == threads; }, 1000ms));
  EXPECT_EQ(torvek::sim::DescriptorCount(), descriptors);
  server = std::make_unique<torvek::sim::DeviceServer>(device);  // for TearDown
}

}  // namespace
